#include "ImportWindow.h"

#include "SheetDialog.h"
#include "SheetTexts.h"
#include "Theme.h"
#include "WindowPresenter.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScopedValueRollback>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

namespace larkhold {

namespace {

constexpr int kWidth = 460;

ImportDeps& dependencies() {
    static ImportDeps deps;
    return deps;
}

QPointer<ImportWindow>& slot() {
    static QPointer<ImportWindow> window;
    return window;
}

ThemeLabel* textLine(qreal size, ThemeLabel::Tone tone, QWidget* parent) {
    auto* label = new ThemeLabel(QString(), parent);
    label->setFont(Theme::font(size));
    label->setWordWrap(true);
    label->setTone(tone);
    return label;
}

QPixmap tickFor(const QWidget* widget) {
    return Symbols::pixmap(QStringLiteral("checkmark.circle.fill"), 12, Theme::systemGreen(widget->palette()),
                           widget->devicePixelRatioF());
}

} // namespace

void ImportWindow::setDependencies(ImportDeps deps) {
    dependencies() = std::move(deps);
}

ImportWindow* ImportWindow::current() {
    return slot().data();
}

void ImportWindow::show(const QList<QUrl>& files) {
    if (ImportWindow* shown = slot())
        shown->close();
    auto* window = new ImportWindow(dependencies(), files);
    slot() = window;
    window->model_->selectFirstVault();
    window->refresh();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    if (WindowPresenter* presenter = dependencies().presenter)
        presenter->moveToCurrentDesktop(window->winId());
    window->QWidget::show();
    window->raise();
    window->activateWindow();
}

ImportWindow::ImportWindow(ImportDeps deps, const QList<QUrl>& files)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      model_(new ImportModel(std::move(deps), files, this)) {
    setObjectName(QStringLiteral("importWindow"));
    setWindowTitle(QStringLiteral("Add to Vault"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedWidth(kWidth);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(22, 22, 22, 22);
    root->setSpacing(16);
    auto* header =
        new SheetHeader(QStringLiteral("tray.and.arrow.down.fill"), model_->title(), ImportModel::subtitle(), this);
    // A long file name is cut in the middle rather than widening the window.
    header->titleLabel()->setElideMode(Qt::ElideMiddle);
    header->titleLabel()->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    header->titleLabel()->setToolTip(model_->title());
    root->addWidget(header);

    auto* group = new FieldGroup(this);
    auto* pickerRow = new QHBoxLayout;
    pickerRow->setSpacing(8);
    auto* pickerLabel = new QLabel(QStringLiteral("Vault"), group);
    picker_ = new QComboBox(group);
    picker_->setObjectName(QStringLiteral("vaultPicker"));
    pickerLabel->setBuddy(picker_);
    pickerRow->addWidget(pickerLabel);
    pickerRow->addWidget(picker_, 1);
    group->addRow(pickerRow);
    password_ = SheetDialog::passwordField(SheetTexts::password, group);
    password_->setObjectName(QStringLiteral("passwordField"));
    group->addRow(password_);
    resultRow_ = new QWidget(group);
    auto* resultLine = new QHBoxLayout(resultRow_);
    resultLine->setContentsMargins(0, 0, 0, 0);
    resultLine->setSpacing(6);
    tick_ = new QLabel(resultRow_);
    tick_->setTextFormat(Qt::PlainText);
    tick_->setPixmap(tickFor(this));
    result_ = textLine(12, ThemeLabel::Tone::green, resultRow_);
    result_->setObjectName(QStringLiteral("resultMessage"));
    resultLine->addWidget(tick_, 0, Qt::AlignTop);
    resultLine->addWidget(result_, 1);
    group->addRow(resultRow_);
    remarks_ = textLine(11, ThemeLabel::Tone::orange, group);
    remarks_->setObjectName(QStringLiteral("remarks"));
    group->addRow(remarks_);
    error_ = SheetDialog::caption(QString(), SheetDialog::Tone::error, 12);
    error_->setTextFormat(Qt::PlainText);
    error_->setObjectName(QStringLiteral("errorText"));
    group->addRow(error_);
    root->addWidget(group);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancel_ = new QuietButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("cancelButton"));
    move_ = new QuietButton(QString(), this);
    move_->setObjectName(QStringLiteral("moveButton"));
    copy_ = new ProminentButton(QString(), GradientKind::accent, this);
    copy_->setObjectName(QStringLiteral("copyButton"));
    for (QPushButton* button :
         {static_cast<QPushButton*>(cancel_), static_cast<QPushButton*>(move_), static_cast<QPushButton*>(copy_)}) {
        button->setAutoDefault(false);
        buttons->addWidget(button);
    }
    root->addLayout(buttons);

    connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
    connect(move_, &QPushButton::clicked, this, [this] { start(true); });
    connect(copy_, &QPushButton::clicked, this, [this] { start(false); });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* enter = new QShortcut(QKeySequence(key), this);
        connect(enter, &QShortcut::activated, this, [this] {
            if (model_->canRun())
                start(false);
        });
    }
    connect(picker_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!refreshing_ && index >= 0)
            model_->setSelectedVaultID(picker_->itemData(index).toUuid());
    });
    connect(password_, &QLineEdit::textChanged, model_, &ImportModel::setPassword);
    // Return in the password field is Return in the window.
    connect(password_, &QLineEdit::returnPressed, this, [this] { start(false); });
    connect(model_, &ImportModel::changed, this, &ImportWindow::refresh);
    // This window's own import closes this window only: a newer window is left alone.
    connect(model_, &ImportModel::closeRequested, this, &QWidget::close);
    refresh();
}

void ImportWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && tick_)
        tick_->setPixmap(tickFor(this));
}

void ImportWindow::start(bool moveOriginals) {
    if (model_->canRun())
        model_->run(moveOriginals);
}

void ImportWindow::refresh() {
    const QScopedValueRollback<bool> guard(refreshing_, true);
    const QList<Vault> vaults = model_->vaults();
    bool listChanged = picker_->count() != vaults.size();
    for (int i = 0; !listChanged && i < vaults.size(); ++i)
        listChanged = picker_->itemData(i).toUuid() != vaults.at(i).id || picker_->itemText(i) != vaults.at(i).name;
    if (listChanged) {
        picker_->clear();
        for (const Vault& vault : vaults)
            picker_->addItem(vault.name, vault.id);
    }
    const std::optional<QUuid> selected = model_->selectedVaultID();
    picker_->setCurrentIndex(selected ? picker_->findData(*selected) : -1);
    picker_->setEnabled(!model_->working() && !model_->finished());

    password_->setVisible(model_->needsPassword());
    password_->setEnabled(!model_->working());
    resultRow_->setVisible(model_->resultMessage().has_value());
    result_->setText(model_->resultMessage().value_or(QString()));
    remarks_->setVisible(!model_->remarks().isEmpty());
    remarks_->setText(model_->remarks().join(QLatin1Char('\n')));
    error_->setVisible(model_->errorText().has_value());
    error_->setText(model_->errorText().value_or(QString()));

    cancel_->setText(model_->cancelButtonLabel());
    move_->setText(model_->moveButtonLabel());
    copy_->setText(model_->copyButtonLabel());
    move_->setEnabled(model_->canRun());
    copy_->setEnabled(model_->canRun());
    // The height follows what the window shows and is not the user's to drag.
    setMinimumHeight(0);
    setMaximumHeight(QWIDGETSIZE_MAX);
    adjustSize();
    setFixedHeight(height());
}

} // namespace larkhold
