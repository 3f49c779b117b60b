#include "ColorScheme.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QWidget>

namespace larkhold {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearance = QStringLiteral("org.freedesktop.appearance");
const QString kColorScheme = QStringLiteral("color-scheme");

bool paletteIsDark(const QPalette& palette) {
    return palette.color(QPalette::Active, QPalette::Window).lightness() < 128;
}

QPalette buildPalette(bool dark) {
    QPalette p;
    const QColor accent = QColor::fromRgbF(0.29f, 0.44f, 0.98f);
    if (dark) {
        const QColor window(0x2b, 0x2b, 0x2d);
        const QColor base(0x1e, 0x1e, 0x20);
        const QColor text(0xf2, 0xf2, 0xf4);
        p.setColor(QPalette::Window, window);
        p.setColor(QPalette::WindowText, text);
        p.setColor(QPalette::Base, base);
        p.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x29));
        p.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3d));
        p.setColor(QPalette::ToolTipText, text);
        p.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
        p.setColor(QPalette::Text, text);
        p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3d));
        p.setColor(QPalette::ButtonText, text);
        p.setColor(QPalette::BrightText, Qt::white);
        p.setColor(QPalette::Light, QColor(0x4a, 0x4a, 0x4e));
        p.setColor(QPalette::Midlight, QColor(0x40, 0x40, 0x44));
        p.setColor(QPalette::Mid, QColor(0x30, 0x30, 0x33));
        p.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x1a));
        p.setColor(QPalette::Shadow, QColor(0x0a, 0x0a, 0x0a));
        p.setColor(QPalette::Link, accent.lighter(130));
        p.setColor(QPalette::LinkVisited, accent.lighter(110));
        for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            p.setColor(QPalette::Disabled, role, QColor(0x70, 0x70, 0x74));
    } else {
        const QColor window(0xec, 0xec, 0xee);
        const QColor base(0xff, 0xff, 0xff);
        const QColor text(0x1d, 0x1d, 0x1f);
        p.setColor(QPalette::Window, window);
        p.setColor(QPalette::WindowText, text);
        p.setColor(QPalette::Base, base);
        p.setColor(QPalette::AlternateBase, QColor(0xf5, 0xf5, 0xf7));
        p.setColor(QPalette::ToolTipBase, QColor(0xfb, 0xfb, 0xfb));
        p.setColor(QPalette::ToolTipText, text);
        p.setColor(QPalette::PlaceholderText, QColor(0x8a, 0x8a, 0x8e));
        p.setColor(QPalette::Text, text);
        p.setColor(QPalette::Button, QColor(0xf6, 0xf6, 0xf7));
        p.setColor(QPalette::ButtonText, text);
        p.setColor(QPalette::BrightText, Qt::white);
        p.setColor(QPalette::Light, Qt::white);
        p.setColor(QPalette::Midlight, QColor(0xf0, 0xf0, 0xf2));
        p.setColor(QPalette::Mid, QColor(0xc8, 0xc8, 0xcc));
        p.setColor(QPalette::Dark, QColor(0xa0, 0xa0, 0xa4));
        p.setColor(QPalette::Shadow, QColor(0x50, 0x50, 0x50));
        p.setColor(QPalette::Link, accent);
        p.setColor(QPalette::LinkVisited, accent.darker(120));
        for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            p.setColor(QPalette::Disabled, role, QColor(0xa8, 0xa8, 0xac));
    }
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    return p;
}

// Sees the desktop's palette change while the application has none of its own.
class PaletteWatcher : public QObject {
public:
    explicit PaletteWatcher(std::function<void()> onChange, QObject* parent)
        : QObject(parent), onChange_(std::move(onChange)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
            onChange_();
        return false;
    }

private:
    std::function<void()> onChange_;
};

} // namespace

ColorScheme& ColorScheme::instance() {
    static ColorScheme* scheme = new ColorScheme; // lives for the process; signals outlast windows
    return *scheme;
}

bool ColorScheme::isDark() {
    ColorScheme& self = instance();
    if (self.following_ || self.ownPaletteSet_)
        return self.dark_;
    return qApp ? paletteIsDark(QGuiApplication::palette()) : false;
}

bool ColorScheme::isDark(const QWidget* widget) {
    return widget ? paletteIsDark(widget->palette()) : isDark();
}

QPalette ColorScheme::palette(bool dark) {
    static const QPalette light = buildPalette(false);
    static const QPalette darkPalette = buildPalette(true);
    return dark ? darkPalette : light;
}

void ColorScheme::apply(QApplication& app, bool dark) {
    ColorScheme& self = instance();
    if (!self.capturedDesktop_) {
        self.desktopPalette_ = app.palette();
        self.capturedDesktop_ = true;
    }
    self.app_ = &app;
    self.ownPaletteSet_ = true;
    QApplication::setPalette(palette(dark));
    self.setDark(dark);
}

void ColorScheme::followDesktop(QApplication& app) {
    ColorScheme& self = instance();
    self.app_ = &app;
    if (!self.capturedDesktop_) {
        self.desktopPalette_ = app.palette();
        self.capturedDesktop_ = true;
    }
    self.following_ = true;
    if (!self.connected_) {
        self.connected_ = true;
        app.installEventFilter(new PaletteWatcher(
            [&self] {
                if (!self.ownPaletteSet_ && self.app_) {
                    self.desktopPalette_ = self.app_->palette();
                    if (self.following_)
                        self.update();
                }
            },
            &self));
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected()) {
            bus.connect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"), &self,
                        SLOT(onPortalSettingChanged(QDBusMessage)));
            QDBusMessage read =
                QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("Read"));
            read << kAppearance << kColorScheme;
            auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read, 3000), &self);
            connect(watcher, &QDBusPendingCallWatcher::finished, &self, [&self](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusMessage reply = call->reply();
                if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
                    self.setPreference(preferenceFromVariant(reply.arguments().first()));
            });
        }
    }
    self.update();
}

void ColorScheme::stopFollowing(QApplication& app) {
    ColorScheme& self = instance();
    self.following_ = false;
    if (self.ownPaletteSet_ && self.capturedDesktop_) {
        self.ownPaletteSet_ = false;
        QApplication::setPalette(self.desktopPalette_);
    }
    self.app_ = &app;
    self.setDark(paletteIsDark(app.palette()));
}

bool ColorScheme::darkFor(Preference portal, const QPalette& desktopPalette) {
    switch (portal) {
    case Preference::dark:
        return true;
    case Preference::light:
        return false;
    case Preference::none:
        break;
    }
    return paletteIsDark(desktopPalette);
}

ColorScheme::Preference ColorScheme::preferenceFromVariant(const QVariant& value) {
    QVariant v = value;
    for (int depth = 0; depth < 3 && v.metaType() == QMetaType::fromType<QDBusVariant>(); ++depth)
        v = v.value<QDBusVariant>().variant();
    bool ok = false;
    const uint raw = v.toUInt(&ok);
    if (!ok || (v.metaType() != QMetaType::fromType<uint>() && v.metaType() != QMetaType::fromType<int>()))
        return Preference::none;
    if (raw == 1)
        return Preference::dark;
    if (raw == 2)
        return Preference::light;
    return Preference::none;
}

void ColorScheme::onPortalSettingChanged(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() == 3 && arguments.at(0).toString() == kAppearance && arguments.at(1).toString() == kColorScheme)
        setPreference(preferenceFromVariant(arguments.at(2)));
}

void ColorScheme::setPreference(Preference preference) {
    preference_ = preference;
    if (following_)
        update();
}

void ColorScheme::update() {
    if (!app_)
        return;
    if (preference_ == Preference::none) {
        // No portal answer: the desktop's own palette stays in force and tells light from dark.
        if (ownPaletteSet_) {
            ownPaletteSet_ = false;
            QApplication::setPalette(desktopPalette_);
        }
        setDark(paletteIsDark(desktopPalette_));
        return;
    }
    const bool dark = darkFor(preference_, desktopPalette_);
    ownPaletteSet_ = true;
    QApplication::setPalette(palette(dark));
    setDark(dark);
}

void ColorScheme::setDark(bool dark) {
    if (dark_ == dark)
        return;
    dark_ = dark;
    emit changed(dark);
}

} // namespace larkhold
