#include "AuxWindows.h"

#include "Changelog.h"
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
#include <QVBoxLayout>

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

// A window shown on first use, then reused as it is.
void showSingle(QPointer<QWidget>& slot, const std::function<QWidget*()>& make, WindowPresenter* presenter) {
    if (!slot) {
        slot = make();
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

// A divider: one pixel of the separator colour (the text colour, faint) at the given opacity.
class HairLine : public QWidget {
public:
    HairLine(qreal opacity, QWidget* parent) : QWidget(parent), opacity_(opacity) {
        setFixedHeight(1);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), Theme::withAlpha(Theme::primary(palette()), 0.12 * opacity_));
    }

private:
    qreal opacity_;
};

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
        const QPixmap glyph = Symbols::pixmap(symbol_, 14, Theme::isDark(palette()) ? accent.lighter(140) : accent,
                                              devicePixelRatioF());
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
        head->addWidget(label(entry.title, 14, QFont::Bold, this, ThemeLabel::Tone::primary,
                              Theme::FontDesign::rounded),
                        1);
        column->addLayout(head);
        for (const ChangelogEntry::Point& point : entry.points) {
            auto* line = new QHBoxLayout;
            line->setSpacing(11);
            line->addWidget(new PointTile(point.icon, this));
            auto* texts = new QVBoxLayout;
            texts->setSpacing(1);
            texts->addWidget(label(point.name, 13, QFont::DemiBold, this));
            texts->addWidget(label(point.detail, 11.5, QFont::Normal, this, secondaryTone));
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
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(10);
    column->addWidget(new AppIconImage(84, this), 0, Qt::AlignHCenter);
    column->addWidget(label(QStringLiteral("Larkhold"), 22, QFont::Bold, this, ThemeLabel::Tone::primary,
                            Theme::FontDesign::rounded),
                      0, Qt::AlignHCenter);
    ThemeLabel* versionLine = label(QStringLiteral("Version ") + version(), 12, QFont::Normal, this, secondaryTone);
    versionLine->setObjectName(QStringLiteral("version"));
    column->addWidget(versionLine, 0, Qt::AlignHCenter);

    column->addSpacing(4);
    column->addWidget(new HairLine(1.0, this));
    column->addSpacing(4);

    auto* credits = new QVBoxLayout;
    credits->setSpacing(3);
    credits->addWidget(label(QStringLiteral("Made by Quillmere"), 13, QFont::DemiBold, this), 0, Qt::AlignHCenter);
    credits->addWidget(label(QStringLiteral("Encrypted vaults for your private files."), 12,
                             QFont::Normal, this),
                       0, Qt::AlignHCenter);
    for (const auto& [text, address] : {std::pair{QStringLiteral("larkhold.app"), QStringLiteral("https://larkhold.app")},
                                        std::pair{QStringLiteral("quillmere.com"), QStringLiteral("https://quillmere.com")}}) {
        auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%2</a>").arg(address, text), this);
        link->setFont(textFont(12));
        link->setTextFormat(Qt::RichText);
        link->setOpenExternalLinks(true);
        link->setTextInteractionFlags(Qt::TextBrowserInteraction);
        credits->addWidget(link, 0, Qt::AlignHCenter);
    }
    column->addLayout(credits);
    column->addSpacing(6);
    ThemeLabel* notice = label(QStringLiteral("Your vaults and passwords never leave this %1.").arg(glossary::computer),
                               10, QFont::Normal, this, secondaryTone);
    column->addWidget(notice, 0, Qt::AlignHCenter);
    setFixedWidth(340);
    setFixedHeight(sizeHint().height());
}

QString AboutView::version() {
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("dev") : version;
}

void AboutWindow::show(WindowPresenter* presenter) {
    showSingle(aboutSlot, [] { return new AboutView; }, presenter);
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
    head->setContentsMargins(20, 20, 20, 20);
    head->setSpacing(12);
    head->addWidget(new AppIconImage(44, this));
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(label(QStringLiteral("What’s New in Larkhold"), 18, QFont::Bold, this, ThemeLabel::Tone::primary,
                            Theme::FontDesign::rounded));
    titles->addWidget(label(QStringLiteral("The big steps — small fixes live in the release notes"), 12,
                            QFont::Normal, this, secondaryTone));
    head->addLayout(titles, 1);
    column->addLayout(head);

    column->addWidget(new HairLine(0.5, this));

    auto* scroll = new QScrollArea(this);
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
    showSingle(changelogSlot, [] { return new ChangelogView; }, presenter);
}

void ChangelogWindow::showIfUpdated(Defaults& defaults, WindowPresenter* presenter) {
    if (Changelog::recordLaunch(defaults, Changelog::currentVersion()))
        show(presenter);
}

QWidget* ChangelogWindow::window() {
    return changelogSlot;
}

} // namespace larkhold
