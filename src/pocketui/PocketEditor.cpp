#include "PocketEditor.h"

#include "Defaults.h"
#include "DesignWidgets.h"
#include "Dialogs.h"
#include "PocketDocument.h"
#include "PocketItemListModel.h"
#include "PocketPanels.h"
#include "PocketViewers.h"
#include "PocketWidgets.h"
#include "SecretText.h"
#include "SettingsKeys.h"
#include "SheetDialog.h"
#include "Theme.h"

#include <QApplication>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>

namespace larkhold {

namespace {

// One sidebar row: the kind's symbol, the name on one line and the size beneath it.
class ItemRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return {200, 40}; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        painter->save();
        const QPalette& palette = option.palette;
        const bool selected = option.state & QStyle::State_Selected;
        if (selected) {
            painter->setRenderHint(QPainter::Antialiasing);
            painter->fillPath(Theme::roundedRect(QRectF(option.rect).adjusted(6, 1, -6, -1), 6),
                              palette.color(QPalette::Highlight));
        }
        const QColor text = selected ? palette.color(QPalette::HighlightedText) : Theme::primary(palette);
        const QColor secondary = selected ? Theme::withAlpha(text, 0.8) : Theme::secondary(palette);

        const QRect row = option.rect.adjusted(14, 0, -14, 0);
        const QRect iconArea(row.left(), row.center().y() - 8, 16, 16);
        const QPixmap symbol = Symbols::pixmap(index.data(PocketItemListModel::SymbolRole).toString(), 14, secondary,
                                               painter->device()->devicePixelRatioF());
        painter->drawPixmap(iconArea.center() - QPoint(7, 7), symbol);

        const int textLeft = iconArea.right() + 9;
        const QFont nameFont = Theme::font(13);
        const QFont sizeFont = Theme::font(10);
        const QFontMetrics nameMetrics(nameFont);
        const QFontMetrics sizeMetrics(sizeFont);
        const int block = nameMetrics.height() + 1 + sizeMetrics.height();
        const int top = row.center().y() - block / 2;
        const int width = row.right() - textLeft;
        painter->setFont(nameFont);
        painter->setPen(text);
        painter->drawText(QRect(textLeft, top, width, nameMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                          nameMetrics.elidedText(index.data().toString(), Qt::ElideRight, width));
        painter->setFont(sizeFont);
        painter->setPen(secondary);
        painter->drawText(QRect(textLeft, top + nameMetrics.height() + 1, width, sizeMetrics.height()),
                          Qt::AlignLeft | Qt::AlignVCenter, index.data(PocketItemListModel::SizeTextRole).toString());
        painter->restore();
    }
};

// The frame shown while files are dragged over the editor.
class DropHighlight : public QWidget {
public:
    explicit DropHighlight(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setObjectName(QStringLiteral("dropHighlight"));
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF frame = QRectF(rect()).adjusted(5, 5, -5, -5);
        painter.setPen(QPen(QBrush(Theme::accent(frame)), 2));
        painter.drawPath(Theme::roundedRect(frame, 8));
    }
};

void makeBaseTransparent(QWidget* widget) {
    QPalette palette;
    palette.setColor(QPalette::Base, Qt::transparent);
    widget->setPalette(palette);
}

QStringList localFiles(const QMimeData* mime) {
    QStringList paths;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    return paths;
}

} // namespace

PocketEditor::PocketEditor(PocketDocument& document, Defaults* defaults, QWidget* parent)
    : QWidget(parent), model_(document, defaults), items_(new PocketItemListModel(&document, this)) {
    setObjectName(QStringLiteral("pocketEditor"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    split_ = new QSplitter(Qt::Horizontal, this);
    split_->setChildrenCollapsible(false);
    split_->setHandleWidth(1);
    split_->addWidget(buildSidebar());
    split_->addWidget(buildDetail());
    split_->setStretchFactor(1, 1);
    split_->setSizes({260, 520});
    layout->addWidget(split_);

    highlight_ = new DropHighlight(this);
    setAcceptDrops(true);
    watchDrops(this);

    connect(&document, &PocketDocument::itemsChanged, this, &PocketEditor::refresh);
    connect(&document, &PocketDocument::selectionChanged, this, &PocketEditor::refresh);
    connect(&document, &PocketDocument::noticeChanged, this, &PocketEditor::refreshNotice);
    connect(&model_, &PocketEditorModel::readOnlyChanged, this, &PocketEditor::refresh);
    refresh();
    refreshNotice();
}

PocketEditor::~PocketEditor() {
    wipe();
}

QWidget* PocketEditor::buildSidebar() {
    auto* sidebar = new Band([](const QPalette& p) { return Theme::underPageBackground(p); }, this);
    sidebar->setObjectName(QStringLiteral("sidebar"));
    sidebar->setMinimumWidth(250);
    sidebar->setMaximumWidth(340);
    auto* column = new QVBoxLayout(sidebar);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(8, 8, 8, 8);
    buttons->setSpacing(6);
    newNote_ = new QuietButton(QStringLiteral("New Note"), sidebar);
    newNote_->setSymbol(QStringLiteral("square.and.pencil"));
    addFiles_ = new QuietButton(QStringLiteral("Add Files…"), sidebar);
    addFiles_->setSymbol(QStringLiteral("plus"));
    buttons->addWidget(newNote_);
    buttons->addWidget(addFiles_);
    buttons->addStretch(1);
    column->addLayout(buttons);
    // Typing goes on in the new note: a keyboard user's next Space must not make another empty one.
    connect(newNote_, &QPushButton::clicked, this, [this] {
        model_.addNote();
        if (note_->isVisibleTo(this) && note_->noteID())
            note_->setFocus(Qt::OtherFocusReason);
    });
    connect(addFiles_, &QPushButton::clicked, this, &PocketEditor::chooseFiles);

    list_ = new QListView(sidebar);
    list_->setObjectName(QStringLiteral("itemList"));
    list_->setAccessibleName(QStringLiteral("Items"));
    list_->setModel(items_);
    list_->setItemDelegate(new ItemRowDelegate(list_));
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    // The sidebar's own colour shows through; only the base colour is set, so text keeps following
    // the light or dark palette.
    list_->setAutoFillBackground(false);
    list_->viewport()->setAutoFillBackground(false);
    makeBaseTransparent(list_);
    column->addWidget(list_, 1);
    connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        if (!syncing_)
            model_.select(items_->idAt(current.row()));
    });
    connect(list_, &QWidget::customContextMenuRequested, this, &PocketEditor::showContextMenu);
    // A reset of the rows moves the list's current row, not the document's selection.
    connect(items_, &QAbstractItemModel::modelAboutToBeReset, this, [this] { syncing_ = true; });
    connect(items_, &QAbstractItemModel::modelReset, this, [this] { syncing_ = false; });

    dropHint_ = new ThemeLabel(PocketEditorModel::dropHint(), list_);
    dropHint_->setObjectName(QStringLiteral("dropHint"));
    dropHint_->setTone(ThemeLabel::Tone::secondary);
    dropHint_->setFont(Theme::font(12));
    dropHint_->setAlignment(Qt::AlignCenter);
    dropHint_->setWordWrap(true);
    dropHint_->setAttribute(Qt::WA_TransparentForMouseEvents);

    optimize_ = new QCheckBox(PocketEditorModel::optimizeLabel(), sidebar);
    optimize_->setObjectName(QStringLiteral("optimizePhotos"));
    optimize_->setFont(Theme::font(11));
    optimize_->setToolTip(PocketEditorModel::optimizeToolTip());
    optimize_->setChecked(model_.optimizePhotos());
    SheetDialog::styleField(optimize_);
    connect(optimize_, &QCheckBox::toggled, this, [this](bool on) { model_.setOptimizePhotos(on); });
    // One setting for every editor: a change made in another shows here at once.
    if (Defaults* defaults = model_.defaults()) {
        connect(defaults, &Defaults::changed, optimize_, [this](const QString& key) {
            if (key != SettingsKeys::pocketOptimizePhotos.name)
                return;
            const QSignalBlocker quiet(optimize_);
            optimize_->setChecked(model_.optimizePhotos());
        });
    }
    auto* option = new QHBoxLayout;
    option->setContentsMargins(8, 8, 8, 8);
    option->addWidget(optimize_);
    column->addLayout(option);
    return sidebar;
}

QWidget* PocketEditor::buildDetail() {
    auto* detail = new QWidget(this);
    detail->setObjectName(QStringLiteral("detail"));
    detail->setMinimumWidth(320);
    auto* column = new QVBoxLayout(detail);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    banner_ = new Band([](const QPalette& p) { return Theme::withAlpha(Theme::systemOrange(p), 0.1); }, detail);
    banner_->setObjectName(QStringLiteral("noticeBanner"));
    auto* bannerRow = new QHBoxLayout(banner_);
    bannerRow->setContentsMargins(8, 8, 8, 8);
    auto* warning =
        new SymbolView(QStringLiteral("exclamationmark.triangle.fill"), 13, ThemeLabel::Tone::orange, banner_);
    noticeText_ = new QLabel(banner_);
    noticeText_->setTextFormat(Qt::PlainText);
    noticeText_->setObjectName(QStringLiteral("noticeText"));
    noticeText_->setFont(Theme::font(11));
    noticeText_->setTextFormat(Qt::PlainText);
    noticeText_->setWordWrap(true);
    noticeText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* dismiss = new QToolButton(banner_);
    dismiss->setObjectName(QStringLiteral("dismissNotice"));
    dismiss->setAutoRaise(true);
    dismiss->setIcon(Symbols::icon(QStringLiteral("xmark")));
    dismiss->setToolTip(QStringLiteral("Close"));
    dismiss->setAccessibleName(QStringLiteral("Close"));
    connect(dismiss, &QToolButton::clicked, this, [this] { model_.dismissNotice(); });
    bannerRow->addWidget(warning, 0, Qt::AlignTop);
    bannerRow->addWidget(noticeText_, 1);
    bannerRow->addWidget(dismiss, 0, Qt::AlignTop);
    column->addWidget(banner_);

    pages_ = new QStackedWidget(detail);
    placeholder_ = new ThemeLabel(QString(), pages_);
    placeholder_->setObjectName(QStringLiteral("detailPlaceholder"));
    placeholder_->setTone(ThemeLabel::Tone::secondary);
    placeholder_->setAlignment(Qt::AlignCenter);
    pages_->addWidget(placeholder_);

    auto* itemPage = new QWidget(pages_);
    auto* itemColumn = new QVBoxLayout(itemPage);
    itemColumn->setContentsMargins(0, 0, 0, 0);
    itemColumn->setSpacing(0);
    auto* header = new QHBoxLayout;
    header->setContentsMargins(12, 8, 12, 8);
    header->setSpacing(8);
    name_ = new QLineEdit(itemPage);
    name_->setObjectName(QStringLiteral("nameField"));
    name_->setAccessibleName(QStringLiteral("Name"));
    name_->setPlaceholderText(QStringLiteral("Name"));
    name_->setFrame(false);
    name_->setFont(Theme::font(14, QFont::DemiBold));
    makeBaseTransparent(name_);
    connect(name_, &QLineEdit::textEdited, this, [this](const QString& text) {
        const PocketItem* item = model_.selectedItem();
        if (!item)
            return;
        const QUuid id = item->id;
        model_.rename(id, text);
        // Refused (no room left, or the vault is locking): the field shows the name the vault holds.
        const PocketItem* kept = model_.document() ? model_.document()->item(id) : nullptr;
        if (kept && kept->name != text) {
            const int cursor = name_->cursorPosition();
            name_->setText(kept->name);
            name_->setCursorPosition(std::min<int>(cursor, int(kept->name.size())));
        }
    });
    export_ = new QuietButton(QString(), itemPage);
    export_->setObjectName(QStringLiteral("exportButton"));
    export_->setSymbol(QStringLiteral("square.and.arrow.up"));
    export_->setToolTip(QStringLiteral("Export an unencrypted copy"));
    // Symbols only: screen readers read these names.
    export_->setAccessibleName(QStringLiteral("Export"));
    delete_ = new QuietButton(QString(), itemPage);
    delete_->setObjectName(QStringLiteral("deleteButton"));
    delete_->setSymbol(QStringLiteral("trash"));
    delete_->setToolTip(QStringLiteral("Delete"));
    delete_->setAccessibleName(QStringLiteral("Delete"));
    connect(export_, &QPushButton::clicked, this, [this] {
        if (const PocketItem* item = model_.selectedItem())
            exportItem(item->id);
    });
    connect(delete_, &QPushButton::clicked, this, [this] {
        if (const PocketItem* item = model_.selectedItem())
            confirmDelete(item->id);
    });
    header->addWidget(name_, 1);
    header->addWidget(export_);
    header->addWidget(delete_);
    itemColumn->addLayout(header);
    itemColumn->addWidget(new Rule(Qt::Horizontal, 1.0, itemPage));

    viewers_ = new QStackedWidget(itemPage);
    note_ = new NoteView(viewers_);
    note_->installEventFilter(this);
    image_ = new ImageView(viewers_);
    pdf_ = new PdfItemView(viewers_);
    viewers_->addWidget(note_);
    viewers_->addWidget(image_);
    viewers_->addWidget(pdf_);
    itemColumn->addWidget(viewers_, 1);
    connect(note_, &NoteView::edited, this, [this](const QUuid& id, const QString& text) {
        model_.setText(id, text);
        // Refused (no room left, or the vault is locking): the note shows what the vault holds.
        if (const PocketItem* item = model_.document() ? model_.document()->item(id) : nullptr) {
            QString held = item->text();
            note_->showNote(id, held);
            wipeText(held);
        }
    });
    pages_->addWidget(itemPage);
    column->addWidget(pages_, 1);
    return detail;
}

QString PocketEditor::placeholderText() const {
    return pages_->currentWidget() == placeholder_ ? placeholder_->text() : QString();
}

bool PocketEditor::showsDropHint() const {
    return dropHint_->isVisible();
}

void PocketEditor::refresh() {
    const bool editable = !model_.readOnly();
    newNote_->setEnabled(editable);
    addFiles_->setEnabled(editable);
    dropHint_->setVisible(model_.showsDropHint());
    placeDropHint();
    syncListSelection();

    const PocketItem* item = model_.selectedItem();
    if (!item) {
        placeholder_->setText(model_.placeholder().value_or(QString()));
        pages_->setCurrentWidget(placeholder_);
        note_->wipe();
        image_->wipe();
        pdf_->wipe();
        return;
    }
    pages_->setCurrentIndex(1);
    if (name_->text() != item->name)
        name_->setText(item->name);
    name_->setReadOnly(!editable);
    export_->setEnabled(true);
    delete_->setEnabled(editable);
    note_->setReadOnly(!editable);

    // Only the viewer of the shown kind holds anything; the others let go of what they showed.
    switch (item->kind) {
    case PocketItem::Kind::note: {
        image_->wipe();
        pdf_->wipe();
        QString held = item->text();
        note_->showNote(item->id, held);
        wipeText(held);
        viewers_->setCurrentWidget(note_);
        break;
    }
    case PocketItem::Kind::image:
        note_->wipe();
        pdf_->wipe();
        image_->showImage(item->id, ByteView(item->data));
        viewers_->setCurrentWidget(image_);
        break;
    case PocketItem::Kind::pdf:
        note_->wipe();
        image_->wipe();
        pdf_->showPdf(item->id, ByteView(item->data));
        viewers_->setCurrentWidget(pdf_);
        break;
    }
}

void PocketEditor::placeDropHint() {
    // Centred over the list, as tall as its wrapped lines need.
    const int width = std::max(0, list_->width() - 24);
    const int height = std::min(list_->height(), dropHint_->heightForWidth(width));
    dropHint_->setGeometry(12, (list_->height() - height) / 2, width, height);
}

void PocketEditor::refreshNotice() {
    const PocketDocument* document = model_.document();
    const std::optional<QString> notice = document ? document->notice() : std::nullopt;
    banner_->setVisible(notice.has_value());
    noticeText_->setText(notice.value_or(QString()));
}

void PocketEditor::syncListSelection() {
    const PocketItem* item = model_.selectedItem();
    const QModelIndex index = item ? items_->indexOf(item->id) : QModelIndex();
    if (list_->currentIndex() == index && (index.isValid() == list_->selectionModel()->isSelected(index)))
        return;
    syncing_ = true;
    if (index.isValid())
        list_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    else
        list_->selectionModel()->clear();
    syncing_ = false;
}

void PocketEditor::setReadOnly(bool readOnly) {
    model_.setReadOnly(readOnly);
}

void PocketEditor::wipe() {
    if (question_)
        question_->close();
    note_->wipe();
    image_->wipe();
    pdf_->wipe();
    name_->clear();
}

void PocketEditor::chooseFiles() {
    if (model_.readOnly())
        return;
    PocketPanels::chooseFilesToAdd(this, [self = QPointer<PocketEditor>(this)](const QStringList& paths) {
        if (self)
            self->model_.addFiles(paths);
    });
}

void PocketEditor::exportItem(const QUuid& id) {
    const QString proposed = model_.exportFileName(id);
    if (proposed.isEmpty())
        return;
    PocketPanels::chooseExportPath(this, proposed, [self = QPointer<PocketEditor>(this), id](const QString& path) {
        if (self)
            self->model_.exportItem(id, path);
    });
}

void PocketEditor::confirmDelete(const QUuid& id) {
    const std::optional<EditorQuestion> question = model_.deleteQuestion(id);
    if (!question || model_.readOnly() || question_)
        return;
    auto* box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("deleteQuestion"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setText(question->message);
    box->setInformativeText(question->informativeText);
    Dialogs::keepPlain(box);
    QPushButton* remove = box->addButton(question->buttons.at(0), QMessageBox::DestructiveRole);
    box->addButton(question->buttons.at(1), QMessageBox::RejectRole);
    box->setDefaultButton(remove);
    connect(box, &QMessageBox::buttonClicked, this, [this, remove, id](QAbstractButton* clicked) {
        if (clicked == remove)
            model_.deleteItem(id);
    });
    question_ = box;
    box->open();
}

void PocketEditor::showContextMenu(const QPoint& position) {
    const std::optional<QUuid> id = items_->idAt(list_->indexAt(position).row());
    if (!id)
        return;
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("Export…"), this, [this, id] { exportItem(*id); });
    menu->addSeparator();
    QAction* remove = menu->addAction(QStringLiteral("Delete"), this, [this, id] { confirmDelete(*id); });
    remove->setEnabled(!model_.readOnly());
    menu->popup(list_->viewport()->mapToGlobal(position));
}

// ---- drops ----

void PocketEditor::watchDrops(QWidget* widget) {
    // Child widgets that take drops of their own (the note's text, the name field) would take a
    // file's path as text; the editor takes every file drop instead.
    widget->installEventFilter(this);
    widget->setAcceptDrops(true);
    for (QWidget* child : widget->findChildren<QWidget*>())
        if (child != highlight_) {
            child->installEventFilter(this);
            child->setAcceptDrops(true);
        }
}

bool PocketEditor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && event->type() == QEvent::Resize)
        placeDropHint();
    // Tab types a tab into a note, as in other editors; Ctrl+Tab moves the focus on (and with Shift, back).
    if (watched == note_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
            key->modifiers().testFlag(Qt::ControlModifier)) {
            focusNextPrevChild(key->key() == Qt::Key_Tab && !key->modifiers().testFlag(Qt::ShiftModifier));
            return true;
        }
    }
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::DragLeave:
    case QEvent::Drop:
        if (handleDrag(event))
            return true;
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

bool PocketEditor::handleDrag(QEvent* event) {
    if (event->type() == QEvent::DragLeave) {
        setDropTargeted(false);
        return false;
    }
    auto* drop = static_cast<QDropEvent*>(event);
    if (!drop->mimeData()->hasUrls())
        return false;
    if (model_.readOnly()) {
        drop->ignore();
        setDropTargeted(false);
        return true;
    }
    drop->acceptProposedAction();
    if (event->type() == QEvent::Drop) {
        setDropTargeted(false);
        // Files only; links to anything else are left out. An empty list still clears the notice.
        model_.addFiles(localFiles(drop->mimeData()));
    } else {
        setDropTargeted(true);
    }
    return true;
}

void PocketEditor::setDropTargeted(bool targeted) {
    highlight_->setGeometry(rect());
    highlight_->setVisible(targeted);
    if (targeted)
        highlight_->raise();
}

void PocketEditor::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    highlight_->setGeometry(rect());
}

} // namespace larkhold
