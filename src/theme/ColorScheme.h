#pragma once

#include <QObject>
#include <QPalette>
#include <optional>

class QApplication;
class QDBusMessage;
class QWidget;

namespace larkhold {

// Light and dark appearance. The application follows the desktop: the freedesktop portal's
// "org.freedesktop.appearance" "color-scheme" when a portal answers (1 dark, 2 light), else the
// lightness of the desktop's own palette; changes of either are followed live.
class ColorScheme : public QObject {
    Q_OBJECT

public:
    // Where the portal's answer is read from; 0 no preference, 1 prefer dark, 2 prefer light.
    enum class Preference { none = 0, dark = 1, light = 2 };

    static ColorScheme& instance();

    // The application's current scheme.
    static bool isDark();
    // The scheme a widget is drawn in (a window may force one on itself).
    static bool isDark(const QWidget* widget);
    // The kit's palettes.
    static QPalette palette(bool dark);
    // Puts the application in the given scheme; widgets without a palette of their own follow.
    static void apply(QApplication& app, bool dark);
    // Follows the desktop from now on (see above). Safe to call more than once.
    static void followDesktop(QApplication& app);
    // Stops following the desktop and puts the application back on the desktop's own palette.
    static void stopFollowing(QApplication& app);

    // The scheme a portal value and the desktop palette give together.
    static bool darkFor(Preference portal, const QPalette& desktopPalette);
    // The portal's value inside its D-Bus wrapping (one or two levels of variant); none for anything else.
    static Preference preferenceFromVariant(const QVariant& value);

signals:
    // The application's scheme changed.
    void changed(bool dark);

private slots:
    // Takes the whole message: Qt D-Bus cannot hand a variant argument to a slot of a signal hook.
    void onPortalSettingChanged(const QDBusMessage& message);

private:
    ColorScheme() = default;
    void setPreference(Preference preference);
    void update();
    void setDark(bool dark);

    QApplication* app_ = nullptr;
    QPalette desktopPalette_;
    bool capturedDesktop_ = false;
    bool following_ = false;
    bool connected_ = false;
    bool ownPaletteSet_ = false;
    Preference preference_ = Preference::none;
    bool dark_ = false;
};

} // namespace larkhold
