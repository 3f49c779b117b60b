#include "SheetDialog.h"

#include "SheetTexts.h"
#include "Theme.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleOption>
#include <QVBoxLayout>

namespace larkhold {

namespace {

constexpr int kMargin = 22;
constexpr int kSpacing = 16;
// Room left for the window manager's frame before the window has one to measure.
constexpr int kFrameGuess = 40;

// Layouts keep what they measured until their widget is laid out again; a text changed just now
// would be measured with its old height.
void forgetMeasures(QWidget* top) {
    for (QWidget* w : top->findChildren<QWidget*>()) {
        if (w->isWindow())
            continue;
        if (w->layout())
            w->layout()->invalidate();
        w->updateGeometry();
    }
    if (top->layout())
        top->layout()->invalidate();
}

// The height a layout takes at this width, whether or not its rows wrap.
int heightAt(const QLayout* layout, int width) {
    return layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : layout->totalSizeHint().height();
}

// A label painted in a tone read from its palette at paint time, so that it follows a change
// between light and dark at once. Red text, which the kit's labels do not offer.
class ToneLabel : public QLabel {
public:
    explicit ToneLabel(SheetDialog::Tone tone) : tone_(tone) { setTextFormat(Qt::PlainText); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(SheetDialog::toneColor(tone_, palette()));
        painter.setFont(font());
        painter.drawText(contentsRect(), int(alignment()) | (wordWrap() ? Qt::TextWordWrap : 0), text());
    }

private:
    SheetDialog::Tone tone_;
};

// A symbol drawn in a tone, sized to the text beside it.
class ToneSymbol : public QWidget {
public:
    ToneSymbol(QString symbol, SheetDialog::Tone tone, int pixelSize)
        : symbol_(std::move(symbol)), tone_(tone), size_(pixelSize) {
        setFixedSize(size_, size_ + 2);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QPixmap glyph =
            Symbols::pixmap(symbol_, size_, SheetDialog::toneColor(tone_, palette()), devicePixelRatioF());
        painter.drawPixmap(QPointF(0, 1), glyph);
    }

private:
    QString symbol_;
    SheetDialog::Tone tone_;
    int size_;
};

// Text fields and checkboxes as the sheets draw them: a rounded field with a visible border and a
// rounded check box, in both schemes (the desktop style's own frames all but vanish on the dark
// groups). Colours come from the widget's palette at paint time.
class SheetStyle : public QProxyStyle {
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_PanelLineEdit && qobject_cast<const QLineEdit*>(widget)) {
            drawField(option, painter);
            return;
        }
        if (element == PE_FrameLineEdit && qobject_cast<const QLineEdit*>(widget))
            return;
        if (element == PE_IndicatorCheckBox) {
            drawCheckBox(option, painter);
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override {
        if (control == CC_SpinBox) {
            if (const auto* spin = qstyleoption_cast<const QStyleOptionSpinBox*>(option)) {
                drawField(option, painter);
                QStyleOptionSpinBox frameless = *spin;
                frameless.frame = false;
                QProxyStyle::drawComplexControl(control, &frameless, painter, widget);
                return;
            }
        }
        QProxyStyle::drawComplexControl(control, option, painter, widget);
    }

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        if (metric == PM_IndicatorWidth || metric == PM_IndicatorHeight)
            return 16;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

private:
    static void drawField(const QStyleOption* option, QPainter* painter) {
        const QPalette& pal = option->palette;
        const bool dark = Theme::isDark(pal);
        const bool focused = option->state & State_HasFocus;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5);
        const QColor fill = dark ? pal.color(QPalette::Base).lighter(150) : pal.color(QPalette::Base);
        painter->setBrush(fill);
        painter->setPen(focused ? QPen(pal.color(QPalette::Highlight), 1.5)
                                : QPen(Theme::withAlpha(Theme::primary(pal), dark ? 0.28 : 0.22), 1));
        painter->drawRoundedRect(box, 5, 5);
        painter->restore();
    }

    static void drawCheckBox(const QStyleOption* option, QPainter* painter) {
        const QPalette& pal = option->palette;
        const bool dark = Theme::isDark(pal);
        const bool on = option->state & State_On;
        const bool enabled = option->state & State_Enabled;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        if (!enabled)
            painter->setOpacity(0.45);
        const qreal side = std::min(option->rect.width(), option->rect.height()) - 1;
        const QRectF box(option->rect.x() + 0.5, option->rect.center().y() - side / 2.0, side, side);
        if (on) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(Theme::accent(box));
            painter->drawRoundedRect(box, 4, 4);
            QPen tick(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
            painter->setPen(tick);
            painter->setBrush(Qt::NoBrush);
            const QPointF o = box.topLeft();
            const qreal w = box.width();
            painter->drawPolyline(QPolygonF{o + QPointF(0.26 * w, 0.52 * w), o + QPointF(0.43 * w, 0.69 * w),
                                            o + QPointF(0.75 * w, 0.33 * w)});
        } else {
            painter->setBrush(dark ? pal.color(QPalette::Base).lighter(150) : pal.color(QPalette::Base));
            painter->setPen(QPen(Theme::withAlpha(Theme::primary(pal), dark ? 0.38 : 0.30), 1));
            painter->drawRoundedRect(box, 4, 4);
        }
        if (option->state & State_HasFocus) {
            painter->setPen(QPen(Theme::withAlpha(pal.color(QPalette::Highlight), 0.6), 2));
            painter->setBrush(Qt::NoBrush);
            painter->drawRoundedRect(box.adjusted(-1.5, -1.5, 1.5, 1.5), 5, 5);
        }
        painter->restore();
    }
};

QStyle* sheetStyle() {
    // Lives as long as the application; every sheet field shares it.
    static QPointer<SheetStyle> style;
    if (!style) {
        style = new SheetStyle;
        style->setParent(QCoreApplication::instance());
    }
    return style;
}

} // namespace

void SheetDialog::styleField(QWidget* field) {
    field->setStyle(sheetStyle());
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(field))
        spin->setMinimumHeight(26);
    if (auto* edit = qobject_cast<QLineEdit*>(field)) {
        edit->setTextMargins(4, 2, 4, 2);
        edit->setMinimumHeight(26);
    }
}

QLineEdit* SheetDialog::textField(const QString& placeholder, const QString& name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setPlaceholderText(placeholder);
    edit->setAccessibleName(name.isEmpty() ? placeholder : name);
    styleField(edit);
    return edit;
}

QLineEdit* SheetDialog::passwordField(const QString& placeholder, QWidget* parent) {
    QLineEdit* edit = textField(placeholder, {}, parent);
    edit->setEchoMode(QLineEdit::Password);
    edit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    edit->setContextMenuPolicy(Qt::NoContextMenu);
    return edit;
}

SheetDialog::SheetDialog(SheetModel* model, int width, QWidget* parent)
    : QDialog(parent), model_(model), width_(width), scroll_(new QScrollArea(this)), content_(new QWidget),
      root_(new QVBoxLayout(content_)), foot_(new QVBoxLayout) {
    model_->setParent(this);
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    // The fields scroll when the screen is shorter than the sheet; the buttons stay in reach below them.
    auto* frame = new QVBoxLayout(this);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->setSpacing(0);
    scroll_->setObjectName(QStringLiteral("sheetContent"));
    scroll_->setFrameShape(QFrame::NoFrame);
    // The fields take the focus, and the area scrolls to the one that has it.
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setWidgetResizable(true);
    scroll_->setWidget(content_);
    content_->setAutoFillBackground(false);
    scroll_->viewport()->setAutoFillBackground(false);
    frame->addWidget(scroll_, 1);
    frame->addLayout(foot_);
    root_->setContentsMargins(kMargin, kMargin, kMargin, 0);
    root_->setSpacing(kSpacing);
    foot_->setContentsMargins(kMargin, kSpacing, kMargin, kMargin);
    setFixedWidth(width_);
    connect(model_, &SheetModel::changed, this, &SheetDialog::refresh);
    connect(model_, &SheetModel::closeRequested, this, &QDialog::accept);
}

SheetDialog::~SheetDialog() = default;

QColor SheetDialog::toneColor(Tone tone, const QPalette& palette) {
    switch (tone) {
    case Tone::secondary:
        return Theme::secondary(palette);
    case Tone::warning:
        return Theme::systemOrange(palette);
    case Tone::error:
        return Theme::systemRed(palette);
    case Tone::success:
        return Theme::systemGreen(palette);
    }
    return Theme::primary(palette);
}

void SheetDialog::setHeader(const QString& symbol, const QString& title, const QString& subtitle) {
    header_ = new SheetHeader(symbol, title, subtitle.isEmpty() ? std::nullopt : std::optional<QString>(subtitle));
    header_->setObjectName(QStringLiteral("header"));
    // A long title or subtitle wraps within the sheet's width instead of being cut.
    if (auto* row = qobject_cast<QBoxLayout*>(header_->layout()); row && row->count() == 3) {
        row->setStretch(1, 1);
        row->setStretch(2, 0);
    }
    header_->titleLabel()->setWordWrap(true);
    if (header_->subtitleLabel())
        header_->subtitleLabel()->setWordWrap(true);
    root_->addWidget(header_);
    setWindowTitle(title);
}

void SheetDialog::bindSubtitle(std::function<QString()> subtitle) {
    ThemeLabel* label = header_->subtitleLabel();
    Q_ASSERT(label);
    syncs_.push_back([label, subtitle = std::move(subtitle)] { label->setText(subtitle()); });
}

QVBoxLayout* SheetDialog::addGroup() {
    auto* group = new FieldGroup;
    // Rows take the group's whole width.
    group->contentLayout()->setAlignment(Qt::Alignment());
    root_->addWidget(group);
    return group->contentLayout();
}

void SheetDialog::addRow(QWidget* widget) {
    root_->addWidget(widget);
}

void SheetDialog::addButtons(bool destructive) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    cancel_ = new QuietButton(SheetTexts::cancel);
    cancel_->setObjectName(QStringLiteral("cancel"));
    cancel_->setAutoDefault(false);
    primary_ = new ProminentButton(QString(), destructive ? GradientKind::critical : GradientKind::accent);
    primary_->setObjectName(QStringLiteral("primary"));
    primary_->setAutoDefault(false);
    primary_->setDefault(true);
    row->addWidget(cancel_);
    row->addWidget(primary_);
    foot_->addLayout(row);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(primary_, &QPushButton::clicked, this, [this] { primaryAction(); });
}

QLabel* SheetDialog::caption(const QString& text, Tone tone, int pixelSize, QFont::Weight weight) {
    QLabel* label = nullptr;
    if (tone == Tone::error) {
        label = new ToneLabel(tone);
    } else {
        auto* themed = new ThemeLabel;
        themed->setTone(tone == Tone::warning   ? ThemeLabel::Tone::orange
                        : tone == Tone::success ? ThemeLabel::Tone::green
                                                : ThemeLabel::Tone::secondary);
        label = themed;
    }
    label->setText(text);
    label->setWordWrap(true);
    label->setFont(Theme::font(pixelSize, weight));
    return label;
}

QWidget* SheetDialog::symbolLabel(const QString& symbol, QLabel* text, Tone tone) {
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(new ToneSymbol(symbol, tone, text->font().pixelSize() > 0 ? text->font().pixelSize() + 1 : 12), 0,
                   Qt::AlignTop);
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
        primary_->setEnabled(enabled());
    });
}

QLineEdit* SheetDialog::addPasswordField(QVBoxLayout* group, VaultPasswordModel& model, const QString& placeholder) {
    QLineEdit* password = passwordField(placeholder);
    password->setObjectName(QStringLiteral("password"));
    group->addWidget(password);
    bind(
        password, [&model] { return model.password(); }, [&model](const QString& v) { model.setPassword(v); });
    return password;
}

void SheetDialog::addHintFields(QVBoxLayout* group, std::function<QString()> get,
                                std::function<void(const QString&)> set,
                                std::function<std::optional<QString>()> message) {
    QLineEdit* hint = textField(SheetTexts::hintPlaceholder, SheetTexts::hintField);
    hint->setObjectName(QStringLiteral("hint"));
    group->addWidget(hint);
    bind(hint, std::move(get), std::move(set));
    group->addWidget(caption(SheetTexts::hintCaption));
    if (!message)
        return;
    QLabel* refusal = caption(QString(), Tone::error);
    refusal->setObjectName(QStringLiteral("hintMessage"));
    group->addWidget(refusal);
    bindMessage(refusal, std::move(message));
}

void SheetDialog::onRefresh(std::function<void()> refresh) {
    syncs_.push_back(std::move(refresh));
}

void SheetDialog::showEvent(QShowEvent* event) {
    refresh();
    QDialog::showEvent(event);
    placed_ = true;
    keepOnScreen();
    // Typing starts in the first field.
    if (!focusWidget() || !qobject_cast<QLineEdit*>(focusWidget())) {
        for (QLineEdit* edit : findChildren<QLineEdit*>()) {
            const bool inSpinBox = qobject_cast<QAbstractSpinBox*>(edit->parentWidget());
            if (!inSpinBox && edit->isVisibleTo(this) && edit->isEnabled() && !edit->isReadOnly()) {
                edit->setFocus(Qt::OtherFocusReason);
                break;
            }
        }
    }
    model_->open();
}

void SheetDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // Wrapped texts may take other heights in another font.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        fitHeight();
}

bool SheetDialog::event(QEvent* event) {
    const bool handled = QDialog::event(event);
    // A label that took another text or a row that showed lays its parent out later than the
    // refresh that changed it; the height follows once it has.
    if (event->type() == QEvent::LayoutRequest && !refreshing_)
        fitHeight();
    return handled;
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
    forgetMeasures(this);
    fitHeight();
}

void SheetDialog::fitHeight() {
    root_->activate();
    const int content = heightAt(root_, width_);
    const int foot = heightAt(foot_, width_);
    if (content <= 0)
        return;
    int height = content + foot;
    if (QScreen* shownOn = screen()) {
        // The whole window, frame included, stays on the screen; what does not fit scrolls.
        const int frame = isVisible() && frameGeometry().height() > geometry().height()
                              ? frameGeometry().height() - geometry().height()
                              : kFrameGuess;
        const int room = shownOn->availableGeometry().height() - frame;
        height = std::min(height, std::max(room, foot + 2 * kMargin));
    }
    if (height != minimumHeight() || height != maximumHeight())
        setFixedHeight(height);
    keepOnScreen();
}

void SheetDialog::keepOnScreen() {
    QScreen* shownOn = screen();
    if (!placed_ || !isVisible() || !shownOn)
        return;
    const QRect room = shownOn->availableGeometry();
    const QRect outer = frameGeometry();
    QPoint to = outer.topLeft();
    if (outer.bottom() > room.bottom())
        to.setY(room.bottom() - outer.height() + 1);
    if (to.y() < room.top())
        to.setY(room.top());
    if (outer.right() > room.right())
        to.setX(room.right() - outer.width() + 1);
    if (to.x() < room.left())
        to.setX(room.left());
    if (to != outer.topLeft())
        move(to);
}

} // namespace larkhold
