#include "AuxWindows.h"

#include "Changelog.h"
#include "DesignWidgets.h"
#include "Glossary.h"
#include "Theme.h"
#include "WindowPresenting.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QVBoxLayout>
#include <cmath>

namespace larkhold {

namespace {

QFont textFont(double size, QFont::Weight weight = QFont::Normal,
               Theme::FontDesign design = Theme::FontDesign::standard) {
    return Theme::font(size, weight, design);
}

ThemeLabel* label(const QString& text, double size, QFont::Weight weight, QWidget* parent,
                  ThemeLabel::Tone tone = ThemeLabel::Tone::primary,
                  Theme::FontDesign design = Theme::FontDesign::standard) {
    auto* l = new ThemeLabel(text, parent);
    l->setFont(textFont(size, weight, design));
    l->setTone(tone);
    l->setTextFormat(Qt::PlainText);
    return l;
}

constexpr auto secondaryTone = ThemeLabel::Tone::secondary;

// The application icon draws its shadow outside the icon's square; layouts give that room back so
// the square itself sits on the margins the windows are drawn with.
int shadowRoom(const AppIconImage* icon) {
    return (icon->sizeHint().width() - int(std::ceil(icon->iconSize()))) / 2;
}

// A single line that keeps to its place: it is cut at the end rather than pushing its card wider
// than the window (the window's own texts are chosen to fit whole).
ThemeLabel* lineLabel(const QString& objectName, const QString& text, double size, QFont::Weight weight,
                      QWidget* parent, ThemeLabel::Tone tone = ThemeLabel::Tone::primary,
                      Theme::FontDesign design = Theme::FontDesign::standard) {
    ThemeLabel* l = label(text, size, weight, parent, tone, design);
    l->setObjectName(objectName);
    l->setElideMode(Qt::ElideRight);
    return l;
}

// A web link in the palette's link colour. Rich text keeps the colour it was laid out with, so the
// text is laid out again whenever the colour scheme changes.
class LinkLabel : public QLabel {
public:
    LinkLabel(const QString& text, const QString& address, QWidget* parent)
        : QLabel(parent), text_(text), address_(address) {
        setTextFormat(Qt::RichText);
        setOpenExternalLinks(true);
        setTextInteractionFlags(Qt::TextBrowserInteraction);
        setToolTip(address);
        refresh();
    }

protected:
    void changeEvent(QEvent* event) override {
        QLabel::changeEvent(event);
        if (event->type() == QEvent::PaletteChange)
            refresh();
    }

private:
    void refresh() {
        const QString colour = palette().color(QPalette::Link).name();
        const QString html = QStringLiteral("<a href=\"%1\" style=\"color:%2\">%3</a>")
                                 .arg(address_.toHtmlEscaped(), colour, text_.toHtmlEscaped());
        if (html != QLabel::text())
            setText(html);
    }

    QString text_;
    QString address_;
};

// A window shown on first use, then reused as it is.
// Escape and Ctrl+W close the window, as they close the desktop's own small windows.
void closeByKeys(QWidget* window) {
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        auto* shortcut = new QShortcut(keys, window);
        QObject::connect(shortcut, &QShortcut::activated, window, &QWidget::close);
    }
}

void showSingle(QPointer<QWidget>& slot, const std::function<QWidget*()>& make, WindowPresenter* presenter) {
    if (!slot) {
        slot = make();
        closeByKeys(slot);
        slot->adjustSize();
        if (QScreen* screen = QApplication::primaryScreen()) {
            QRect frame = slot->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            slot->move(frame.topLeft());
        }
    }
    presentWindow(slot, presenter);
}

constexpr Qt::WindowFlags titledClosable =
    Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

QPointer<QWidget> aboutSlot;
QPointer<QWidget> changelogSlot;

// The version in a small gradient capsule.
class VersionCapsule : public QLabel {
public:
    VersionCapsule(const QString& version, QWidget* parent) : QLabel(version, parent) {
        setFont(Theme::font(11, QFont::Bold, Theme::FontDesign::monospaced));
        setContentsMargins(8, 3, 8, 3);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = rect();
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::accent(r));
        p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
        p.setPen(Qt::white);
        p.setFont(font());
        p.drawText(r, Qt::AlignCenter, text());
    }
};

// A 28-point tile tinted with the accent, the point's symbol in the middle.
class PointTile : public QWidget {
public:
    PointTile(const QString& symbol, QWidget* parent) : QWidget(parent), symbol_(symbol) { setFixedSize(28, 28); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        // The accent's middle as the tint: the icons take the accent's colour, the tile a whisper of it.
        const QColor accent = QColor::fromRgbF(0.35f, 0.38f, 0.95f);
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::withAlpha(accent, 0.12));
        p.drawPath(Theme::roundedRect(rect(), 7));
        const QPixmap glyph =
            Symbols::pixmap(symbol_, 14, Theme::isDark(palette()) ? accent.lighter(140) : accent, devicePixelRatioF());
        const QSizeF glyphSize = glyph.deviceIndependentSize();
        p.drawPixmap(QPointF((width() - glyphSize.width()) / 2, (height() - glyphSize.height()) / 2), glyph);
    }

private:
    QString symbol_;
};

class VersionCard : public QFrame {
public:
    VersionCard(const ChangelogEntry& entry, QWidget* parent) : QFrame(parent) {
        setObjectName(QStringLiteral("versionCard"));
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(16, 16, 16, 16);
        column->setSpacing(14);
        auto* head = new QHBoxLayout;
        head->setSpacing(9);
        head->addWidget(new VersionCapsule(entry.version, this));
        head->addWidget(lineLabel(QStringLiteral("versionTitle"), entry.title, 14, QFont::Bold, this,
                                  ThemeLabel::Tone::primary, Theme::FontDesign::rounded),
                        1);
        column->addLayout(head);
        for (const ChangelogEntry::Point& point : entry.points) {
            auto* line = new QHBoxLayout;
            line->setSpacing(11);
            line->addWidget(new PointTile(point.icon, this));
            auto* texts = new QVBoxLayout;
            texts->setSpacing(1);
            texts->addWidget(lineLabel(QStringLiteral("pointName"), point.name, 13, QFont::DemiBold, this));
            texts->addWidget(
                lineLabel(QStringLiteral("pointDetail"), point.detail, 11.5, QFont::Normal, this, secondaryTone));
            line->addLayout(texts, 1);
            column->addLayout(line);
        }
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(Theme::withAlpha(Theme::primary(palette()), 0.06), 1));
        p.setBrush(Theme::withAlpha(Theme::controlBackground(palette()), 0.6));
        p.drawPath(Theme::roundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 14));
    }
};

} // namespace

AboutView::AboutView(QWidget* parent) : QWidget(parent, titledClosable) {
    setObjectName(QStringLiteral("about"));
    setWindowTitle(QStringLiteral("About Larkhold"));
    // One centred column, 10 px between its parts; the spacing is explicit because the icon's shadow
    // room counts as neither margin nor gap.
    auto* column = new QVBoxLayout(this);
    auto* icon = new AppIconImage(84, this);
    const int room = shadowRoom(icon);
    column->setContentsMargins(28, 28 - room, 28, 28);
    column->setSpacing(0);
    column->addWidget(icon, 0, Qt::AlignHCenter);
    column->addSpacing(10 - room);
    column->addWidget(
        label(QStringLiteral("Larkhold"), 22, QFont::Bold, this, ThemeLabel::Tone::primary, Theme::FontDesign::rounded),
        0, Qt::AlignHCenter);
    column->addSpacing(10);
    ThemeLabel* versionLine = label(QStringLiteral("Version ") + version(), 12, QFont::Normal, this, secondaryTone);
    versionLine->setObjectName(QStringLiteral("version"));
    column->addWidget(versionLine, 0, Qt::AlignHCenter);

    column->addSpacing(10 + 4);
    column->addWidget(new Rule(Qt::Horizontal, 1.0, this));
    column->addSpacing(4 + 10);

    auto* credits = new QVBoxLayout;
    credits->setSpacing(3);
    credits->addWidget(label(QStringLiteral("Made by Quillmere"), 13, QFont::DemiBold, this), 0, Qt::AlignHCenter);
    credits->addWidget(label(QStringLiteral("Encrypted vaults for your private files."), 12, QFont::Normal, this), 0,
                       Qt::AlignHCenter);
    for (const auto& [text, address] :
         {std::pair{QStringLiteral("larkhold.app"), QStringLiteral("https://larkhold.app")},
          std::pair{QStringLiteral("quillmere.com"), QStringLiteral("https://quillmere.com")}}) {
        auto* link = new LinkLabel(text, address, this);
        link->setFont(textFont(12));
        credits->addWidget(link, 0, Qt::AlignHCenter);
    }
    column->addLayout(credits);
    column->addSpacing(10 + 6);
    ThemeLabel* notice = label(QStringLiteral("Your vaults and passwords never leave this %1.").arg(glossary::computer),
                               10, QFont::Normal, this, secondaryTone);
    notice->setObjectName(QStringLiteral("notice"));
    column->addWidget(notice, 0, Qt::AlignHCenter);
    setFixedWidth(340);
    setFixedHeight(sizeHint().height());
}

QString AboutView::version() {
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("dev") : version;
}

void AboutWindow::show(WindowPresenter* presenter) {
    showSingle(
        aboutSlot, [] { return new AboutView; }, presenter);
}

QWidget* AboutWindow::window() {
    return aboutSlot;
}

ChangelogView::ChangelogView(QWidget* parent) : QWidget(parent, titledClosable) {
    setObjectName(QStringLiteral("whatsNew"));
    setWindowTitle(QStringLiteral("What’s New"));
    setAutoFillBackground(true);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* head = new QHBoxLayout;
    auto* icon = new AppIconImage(44, this);
    const int room = shadowRoom(icon);
    head->setContentsMargins(20 - room, 20 - room, 20, 20 - room);
    head->setSpacing(0);
    head->addWidget(icon);
    head->addSpacing(12 - room);
    // The two lines stay together, centred on the icon, whatever height the row has.
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addStretch(1);
    titles->addWidget(label(QStringLiteral("What’s New in Larkhold"), 18, QFont::Bold, this, ThemeLabel::Tone::primary,
                            Theme::FontDesign::rounded));
    titles->addWidget(label(QStringLiteral("The big steps — small fixes live in the release notes"), 12, QFont::Normal,
                            this, secondaryTone));
    titles->addStretch(1);
    head->addLayout(titles, 1);
    column->addLayout(head);

    column->addWidget(new Rule(Qt::Horizontal, 0.5, this));

    auto* scroll = new QScrollArea(this);
    scroll->setAccessibleName(windowTitle());
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* cards = new QWidget(scroll);
    auto* list = new QVBoxLayout(cards);
    list->setContentsMargins(18, 18, 18, 18);
    list->setSpacing(14);
    for (const ChangelogEntry& entry : Changelog::entries())
        list->addWidget(new VersionCard(entry, cards));
    list->addStretch(1);
    scroll->setWidget(cards);
    column->addWidget(scroll, 1);
    setFixedSize(470, 560);
}

void ChangelogWindow::show(WindowPresenter* presenter) {
    showSingle(
        changelogSlot, [] { return new ChangelogView; }, presenter);
}

void ChangelogWindow::showIfUpdated(Defaults& defaults, WindowPresenter* presenter) {
    if (Changelog::recordLaunch(defaults, Changelog::currentVersion()))
        show(presenter);
}

QWidget* ChangelogWindow::window() {
    return changelogSlot;
}

} // namespace larkhold
