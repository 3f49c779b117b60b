#include "SecondPasswordDialog.h"

#include "PasswordStrengthView.h"
#include "PocketDocument.h"
#include "PocketEditor.h"
#include "PocketSession.h"
#include "PocketWidgets.h"
#include "SheetDialog.h"
#include "Theme.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QScrollArea>
#include <QShortcut>
#include <QStyle>
#include <QVBoxLayout>

namespace larkhold {

namespace {

constexpr QSize kSheetSize{980, 680};

// The mark of one check: a green tick when it passed, an empty ring when not.
class CheckMark : public QWidget {
public:
    CheckMark(bool passed, QWidget* parent) : QWidget(parent), passed_(passed) { setFixedSize(14, 14); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (passed_) {
            painter.drawPixmap(0, 0,
                               Symbols::pixmap(QStringLiteral("checkmark.circle.fill"), 14,
                                               Theme::systemGreen(palette()), devicePixelRatioF()));
            return;
        }
        painter.setPen(QPen(Theme::secondary(palette()), 1.2));
        painter.drawEllipse(QRectF(1, 1, 12, 12));
    }

private:
    bool passed_;
};

// The editor's surroundings: the text background in a rounded frame with a faint border.
class EditorFrame : public QWidget {
public:
    explicit EditorFrame(QWidget* parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPainterPath shape = Theme::roundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8);
        painter.fillPath(shape, palette().color(QPalette::Base));
        painter.setPen(QPen(Theme::withAlpha(Theme::primary(palette()), 0.1), 1));
        painter.drawPath(shape);
    }
};

ThemeLabel* label(const QString& text, qreal size, QFont::Weight weight, ThemeLabel::Tone tone, QWidget* parent) {
    auto* made = new ThemeLabel(text, parent);
    made->setFont(Theme::font(size, weight));
    made->setTone(tone);
    return made;
}

} // namespace

SecondPasswordDialog::SecondPasswordDialog(PocketSession& session, PocketItems main, SecretStore& secrets,
                                           VaultStore* store, PocketDocumentHost* importer, Defaults* defaults,
                                           QWidget* parent)
    : QDialog(parent), setup_(new SecondPasswordSetup(session, std::move(main), secrets, store, importer, this)) {
    setObjectName(QStringLiteral("secondPassword"));
    setWindowTitle(QStringLiteral("Second Password"));
    setFixedSize(kSheetSize);
    setAttribute(Qt::WA_DeleteOnClose);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(22, 22, 22, 22);
    root->setSpacing(14);
    root->addWidget(new SheetHeader(QStringLiteral("key.2.on.ring.fill"), QStringLiteral("Second Password"),
                                    QStringLiteral("Opens this vault with different items"), this));

    auto* columns = new QHBoxLayout;
    columns->setSpacing(16);
    root->addLayout(columns, 1);

    // Left: the password, the checks, the advice.
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("leftColumn"));
    scroll->setAccessibleName(QStringLiteral("Second password"));
    // The column's content is 296 wide; the scroll bar (which overlays nothing here) comes on top.
    scroll->setFixedWidth(296 + scroll->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* left = new QWidget(scroll);
    left->setAutoFillBackground(false);
    scroll->viewport()->setAutoFillBackground(false);
    auto* leftColumn = new QVBoxLayout(left);
    leftColumn->setContentsMargins(0, 0, 6, 0);
    leftColumn->setSpacing(12);

    auto* fields = new FieldGroup(left);
    password_ = SheetDialog::passwordField(QStringLiteral("Second password"), fields);
    password_->setObjectName(QStringLiteral("secondPasswordField"));
    confirm_ = SheetDialog::passwordField(QStringLiteral("Confirm second password"), fields);
    confirm_->setObjectName(QStringLiteral("confirmSecondPasswordField"));
    meter_ = new PasswordStrengthView(fields);
    meter_->setObjectName(QStringLiteral("passwordMeter"));
    message_ = SheetDialog::caption(QString(), SheetDialog::Tone::error, 11);
    message_->setObjectName(QStringLiteral("passwordMessage"));
    remember_ = new QCheckBox(SecondPasswordSetup::rememberLabel(), fields);
    remember_->setFont(Theme::font(12));
    SheetDialog::styleField(remember_);
    fields->addRow(password_);
    fields->addRow(confirm_);
    fields->addRow(meter_);
    fields->addRow(message_);
    fields->addRow(remember_);
    leftColumn->addWidget(fields);
    connect(password_, &QLineEdit::textChanged, this, [this](const QString& text) {
        setup_->setPassword(text);
        meter_->setPassword(text);
    });
    connect(confirm_, &QLineEdit::textChanged, setup_, &SecondPasswordSetup::setConfirmPassword);
    connect(remember_, &QCheckBox::toggled, setup_, &SecondPasswordSetup::setRememberInKeychain);

    auto* checklist = new QVBoxLayout;
    checklist->setSpacing(6);
    auto* readyRow = new QHBoxLayout;
    readyRow->addWidget(label(QStringLiteral("Ready to save"), 12, QFont::DemiBold, ThemeLabel::Tone::primary, left));
    readyRow->addStretch(1);
    count_ = label(QString(), 11, QFont::Normal, ThemeLabel::Tone::secondary, left);
    count_->setObjectName(QStringLiteral("checkCount"));
    readyRow->addWidget(count_);
    checklist->addLayout(readyRow);
    progress_ = new QProgressBar(left);
    progress_->setObjectName(QStringLiteral("checkProgress"));
    progress_->setAccessibleName(QStringLiteral("Checks done"));
    progress_->setTextVisible(false);
    progress_->setFixedHeight(6);
    checklist->addWidget(progress_);
    checkRowsHost_ = new QWidget(left);
    checkRows_ = new QVBoxLayout(checkRowsHost_);
    checkRows_->setContentsMargins(0, 0, 0, 0);
    checkRows_->setSpacing(6);
    checklist->addWidget(checkRowsHost_);
    leftColumn->addLayout(checklist);

    auto* guidance = new QVBoxLayout;
    guidance->setSpacing(4);
    guidance->addWidget(label(QStringLiteral("Good to know"), 11, QFont::DemiBold, ThemeLabel::Tone::primary, left));
    for (const QString& line : SecondPasswordSetup::guidance()) {
        ThemeLabel* advice = label(line, 10, QFont::Normal, ThemeLabel::Tone::secondary, left);
        advice->setWordWrap(true);
        guidance->addWidget(advice);
    }
    leftColumn->addLayout(guidance);
    leftColumn->addStretch(1);
    scroll->setWidget(left);
    columns->addWidget(scroll);

    // Right: the items the second password opens.
    auto* right = new QVBoxLayout;
    right->setSpacing(6);
    right->addWidget(
        label(QStringLiteral("Items this password opens"), 12, QFont::DemiBold, ThemeLabel::Tone::primary, this));
    auto* frame = new EditorFrame(this);
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->setContentsMargins(1, 1, 1, 1);
    editor_ = new PocketEditor(setup_->decoy(), defaults, frame);
    frameLayout->addWidget(editor_);
    right->addWidget(frame, 1);
    usage_ = label(QString(), 10, QFont::Normal, ThemeLabel::Tone::secondary, this);
    usage_->setObjectName(QStringLiteral("usageCaption"));
    right->addWidget(usage_);
    columns->addLayout(right, 1);

    error_ = SheetDialog::caption(QString(), SheetDialog::Tone::error, 12);
    error_->setObjectName(QStringLiteral("errorText"));
    root->addWidget(error_);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(label(QStringLiteral("Takes the place of any second password set up before."), 11, QFont::Normal,
                             ThemeLabel::Tone::secondary, this));
    buttons->addStretch(1);
    cancel_ = new QuietButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("cancelButton"));
    save_ = new ProminentButton(QStringLiteral("Save Second Password"), GradientKind::accent, this);
    save_->setObjectName(QStringLiteral("saveButton"));
    save_->setAutoDefault(false);
    cancel_->setAutoDefault(false);
    buttons->addWidget(cancel_);
    buttons->addWidget(save_);
    root->addLayout(buttons);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(save_, &QPushButton::clicked, this, &SecondPasswordDialog::confirmAndSave);

    connect(setup_, &SecondPasswordSetup::changed, this, &SecondPasswordDialog::refresh);
    connect(setup_, &SecondPasswordSetup::saved, this, &QDialog::accept);
    refresh();
}

SecondPasswordDialog::~SecondPasswordDialog() {
    // The setup goes with the dialog and wipes its items on the way: nothing here is redrawn then.
    setup_->disconnect(this);
    wipe();
}

void SecondPasswordDialog::wipe() {
    if (question_)
        question_->close();
    password_->clear();
    confirm_->clear();
    if (editor_)
        editor_->wipe();
}

void SecondPasswordDialog::refresh() {
    const std::optional<QString> message = setup_->passwordMessage();
    message_->setText(message.value_or(QString()));
    message_->setVisible(message.has_value());
    count_->setText(setup_->countText());
    const int total = std::max<int>(static_cast<int>(setup_->checks().size()), 1);
    progress_->setRange(0, total);
    progress_->setValue(setup_->passedChecks());
    QPalette tint = progress_->palette();
    tint.setColor(QPalette::Highlight,
                  setup_->allChecksPassed() ? Theme::systemGreen(palette()) : Theme::systemOrange(palette()));
    progress_->setPalette(tint);
    if (setup_->checks() != shownChecks_)
        rebuildChecks();
    usage_->setText(setup_->usageCaption());
    error_->setText(setup_->errorText().value_or(QString()));
    error_->setVisible(setup_->errorText().has_value());

    save_->setText(setup_->working() ? QStringLiteral("Saving…") : QStringLiteral("Save Second Password"));
    save_->setEnabled(setup_->ready());
}

void SecondPasswordDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // The progress tint comes from the palette: light and dark have their own green and orange.
    if (event->type() == QEvent::PaletteChange && progress_)
        refresh();
}

void SecondPasswordDialog::rebuildChecks() {
    shownChecks_ = setup_->checks();
    while (QLayoutItem* item = checkRows_->takeAt(0)) {
        if (QWidget* row = item->widget()) {
            row->hide();
            row->deleteLater();
        }
        delete item;
    }
    for (const DecoyChecklist::Check& check : shownChecks_) {
        auto* row = new QWidget(checkRowsHost_);
        row->setObjectName(QStringLiteral("check-") + check.id);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(6);
        line->addWidget(new CheckMark(check.passed, row), 0, Qt::AlignTop);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(0);
        ThemeLabel* title = label(check.title, 12, QFont::Normal, ThemeLabel::Tone::primary, row);
        ThemeLabel* detail = label(check.detail, 10, QFont::Normal, ThemeLabel::Tone::secondary, row);
        detail->setWordWrap(true);
        texts->addWidget(title);
        texts->addWidget(detail);
        line->addLayout(texts, 1);
        checkRows_->addWidget(row);
    }
}

void SecondPasswordDialog::confirmAndSave() {
    if (!setup_->ready() || question_)
        return;
    auto* box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("replaceQuestion"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setText(SecondPasswordSetup::confirmationMessage());
    box->setInformativeText(SecondPasswordSetup::confirmationInformativeText());
    const QStringList labels = SecondPasswordSetup::confirmationButtons();
    QPushButton* replace = box->addButton(labels.at(0), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(labels.at(1), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, replace](QAbstractButton* clicked) {
        if (clicked == replace)
            setup_->save();
    });
    question_ = box;
    box->open();
}

} // namespace larkhold
