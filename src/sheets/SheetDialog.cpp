#include "SheetDialog.h"

#include <QCheckBox>
#include <QEvent>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace larkhold {

namespace {

constexpr int kMargin = 22;
constexpr int kSpacing = 16;

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QIcon symbolIcon(const QString& symbol) {
    static const QHash<QString, QString> names{
        {QStringLiteral("plus.square.fill"), QStringLiteral("list-add")},
        {QStringLiteral("key.fill"), QStringLiteral("dialog-password")},
        {QStringLiteral("arrow.up.right.circle.fill"), QStringLiteral("zoom-fit-best")},
        {QStringLiteral("pencil.circle.fill"), QStringLiteral("document-edit")},
        {QStringLiteral("gearshape.fill"), QStringLiteral("preferences-system")},
        {QStringLiteral("key.horizontal.fill"), QStringLiteral("dialog-password")},
        {QStringLiteral("arrow.down.right.circle.fill"), QStringLiteral("edit-clear")},
        {QStringLiteral("checkmark.seal.fill"), QStringLiteral("emblem-ok")},
        {QStringLiteral("trash.fill"), QStringLiteral("user-trash")},
        {QStringLiteral("folder"), QStringLiteral("folder")},
        {QStringLiteral("exclamationmark.triangle"), QStringLiteral("dialog-warning")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("dialog-warning")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("emblem-ok")},
        {QStringLiteral("xmark.circle.fill"), QStringLiteral("dialog-error")},
        {QStringLiteral("icloud.and.arrow.up"), QStringLiteral("folder-cloud")},
        {QStringLiteral("arrow.triangle.2.circlepath.icloud"), QStringLiteral("folder-sync")},
    };
    return QIcon::fromTheme(names.value(symbol, symbol));
}

void setDimmed(QWidget* widget, bool dimmed) {
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(widget);
        widget->setGraphicsEffect(effect);
    }
    effect->setOpacity(dimmed ? 0.5 : 1.0);
}

} // namespace

SheetDialog::SheetDialog(SheetModel* model, int width, QWidget* parent)
    : QDialog(parent), model_(model), width_(width), root_(new QVBoxLayout(this)) {
    model_->setParent(this);
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(true);
    root_->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    root_->setSpacing(kSpacing);
    setFixedWidth(width_);
    connect(model_, &SheetModel::changed, this, &SheetDialog::refresh);
    connect(model_, &SheetModel::closeRequested, this, &QDialog::accept);
}

SheetDialog::~SheetDialog() = default;

QColor SheetDialog::toneColor(Tone tone, const QPalette& palette) {
    const bool dark = isDark(palette);
    switch (tone) {
    case Tone::secondary: {
        QColor c = palette.color(QPalette::WindowText);
        c.setAlphaF(dark ? 0.62 : 0.58);
        return c;
    }
    case Tone::warning:
        return dark ? QColor(0xFF, 0xB3, 0x40) : QColor(0xB2, 0x50, 0x00);
    case Tone::error:
        return dark ? QColor(0xFF, 0x69, 0x61) : QColor(0xD7, 0x00, 0x15);
    case Tone::success:
        return dark ? QColor(0x30, 0xD1, 0x58) : QColor(0x24, 0x8A, 0x3D);
    }
    return palette.color(QPalette::WindowText);
}

void SheetDialog::setHeader(const QString& symbol, const QString& title, const QString& subtitle) {
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    headerIcon_ = new QLabel;
    headerIcon_->setPixmap(symbolIcon(symbol).pixmap(38, 38));
    headerIcon_->setFixedSize(38, 38);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    title_ = new QLabel(title);
    QFont titleFont = title_->font();
    titleFont.setPointSize(13);
    titleFont.setBold(true);
    title_->setFont(titleFont);
    title_->setWordWrap(true);
    subtitle_ = new QLabel(subtitle);
    subtitle_->setWordWrap(true);
    QFont subtitleFont = subtitle_->font();
    subtitleFont.setPointSize(9);
    subtitle_->setFont(subtitleFont);
    subtitle_->setVisible(!subtitle.isEmpty());
    texts->addWidget(title_);
    texts->addWidget(subtitle_);
    row->addWidget(headerIcon_, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    root_->addLayout(row);
    setWindowTitle(title);
}

void SheetDialog::bindSubtitle(std::function<QString()> subtitle) {
    syncs_.push_back([this, subtitle = std::move(subtitle)] {
        const QString text = subtitle();
        subtitle_->setText(text);
        subtitle_->setVisible(!text.isEmpty());
    });
}

QVBoxLayout* SheetDialog::addGroup() {
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(10);
    root_->addWidget(frame);
    return layout;
}

void SheetDialog::addRow(QWidget* widget) {
    root_->addWidget(widget);
}

void SheetDialog::addButtons(bool destructive) {
    Q_UNUSED(destructive);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    cancel_->setAutoDefault(false);
    primary_ = new QPushButton;
    primary_->setDefault(true);
    row->addWidget(cancel_);
    row->addWidget(primary_);
    root_->addLayout(row);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(primary_, &QPushButton::clicked, this, [this] { primaryAction(); });
}

QLabel* SheetDialog::caption(const QString& text, Tone tone, int pointSize) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    font.setPointSizeF(pointSize * 0.75);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, toneColor(tone, palette));
    label->setPalette(palette);
    label->setProperty("tone", static_cast<int>(tone));
    return label;
}

QWidget* SheetDialog::symbolLabel(const QString& symbol, QLabel* text) {
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    auto* icon = new QLabel;
    icon->setPixmap(symbolIcon(symbol).pixmap(14, 14));
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addWidget(text, 1);
    return box;
}

void SheetDialog::bind(QLineEdit* edit, std::function<QString()> get, std::function<void(const QString&)> set) {
    connect(edit, &QLineEdit::textEdited, this, [set](const QString& text) { set(text); });
    syncs_.push_back([edit, get = std::move(get)] {
        const QString value = get();
        if (edit->text() != value)
            edit->setText(value);
    });
}

void SheetDialog::bind(QCheckBox* box, std::function<bool()> get, std::function<void(bool)> set) {
    connect(box, &QCheckBox::toggled, this, [set](bool on) { set(on); });
    syncs_.push_back([box, get = std::move(get)] {
        const bool value = get();
        if (box->isChecked() != value)
            box->setChecked(value);
    });
}

void SheetDialog::bindVisible(QWidget* widget, std::function<bool()> visible) {
    syncs_.push_back([widget, visible = std::move(visible)] { widget->setVisible(visible()); });
}

void SheetDialog::bindMessage(QLabel* label, std::function<std::optional<QString>()> text, QWidget* shown) {
    QWidget* target = shown ? shown : label;
    syncs_.push_back([label, target, text = std::move(text)] {
        const std::optional<QString> value = text();
        if (value)
            label->setText(*value);
        target->setVisible(value.has_value());
    });
}

void SheetDialog::bindText(QLabel* label, std::function<QString()> text) {
    syncs_.push_back([label, text = std::move(text)] { label->setText(text()); });
}

void SheetDialog::bindText(QAbstractButton* button, std::function<QString()> text) {
    syncs_.push_back([button, text = std::move(text)] { button->setText(text()); });
}

void SheetDialog::bindPrimary(std::function<QString()> label, std::function<bool()> enabled) {
    syncs_.push_back([this, label = std::move(label), enabled = std::move(enabled)] {
        primary_->setText(label());
        const bool on = enabled();
        primary_->setEnabled(on);
        setDimmed(primary_, !on);
    });
}

void SheetDialog::onRefresh(std::function<void()> refresh) {
    syncs_.push_back(std::move(refresh));
}

void SheetDialog::showEvent(QShowEvent* event) {
    refresh();
    QDialog::showEvent(event);
    model_->open();
}

void SheetDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        for (QLabel* label : findChildren<QLabel*>()) {
            const QVariant tone = label->property("tone");
            if (!tone.isValid())
                continue;
            QPalette palette = label->palette();
            palette.setColor(QPalette::WindowText, toneColor(static_cast<Tone>(tone.toInt()), this->palette()));
            label->setPalette(palette);
        }
    }
}

void SheetDialog::refresh() {
    // A bound widget's own signal may change the model again while it is being updated: the pass
    // then runs once more, so that every widget shows the final state.
    if (refreshing_) {
        again_ = true;
        return;
    }
    refreshing_ = true;
    for (int pass = 0; pass < 3; ++pass) {
        again_ = false;
        for (const auto& sync : syncs_)
            sync();
        if (!again_)
            break;
    }
    refreshing_ = false;
    fitHeight();
}

void SheetDialog::fitHeight() {
    layout()->activate();
    const int height = layout()->totalHeightForWidth(width_);
    if (height > 0 && (height != minimumHeight() || height != maximumHeight()))
        setFixedHeight(height);
}

} // namespace larkhold
