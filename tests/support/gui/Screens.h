#pragma once

#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace larkhold::test {

// What renderScreen found wrong; empty when the screen is fit to ship.
struct ScreenReport {
    QString lightPath;
    QString darkPath;
    QStringList problems;
    bool ok() const { return problems.isEmpty(); }
};

struct ScreenOptions {
    // Object names of labels that may be cut short (a name elided in the middle by design); labels
    // with an eliding mode of their own (ThemeLabel::setElideMode) are allowed too.
    QStringList mayElide;
    // Object names of labels that elide by design when the window is short of room, but must show
    // whole at the size this screen is drawn at (a status line at the window's intended width).
    QStringList showWhole;
    // Called after each scheme switch, before the grab (dark is true for the dark pass).
    std::function<void(bool dark)> beforeGrab;
    // Render only one of the two schemes (a window that forces its own).
    bool light = true;
    bool dark = true;
};

// The folder screens go to: <build>/screens.
QString screensDir();

// Puts the application in the kit's light or dark palette (what the dark screens are drawn with).
void useColorScheme(bool dark);

// Shows `widget` (offscreen), lays it out, waits until its window's animations have ended and its
// PDF pages are drawn, and writes <build>/screens/<area>/<name>-light.png and
// -dark.png with QWidget::grab, in the application's light and dark palettes. Then checks that the
// image is not empty or of one colour, that no visible child has collapsed to nothing, that no
// plain label is cut short, no button is narrower than its label and every control has a name a
// screen reader reads. Leaves the light palette on.
ScreenReport renderScreen(QWidget* widget, const QString& area, const QString& name, const ScreenOptions& options = {});

// Every control of the window a screen reader would offer (buttons, boxes, fields, lists, focusable
// custom controls) that has no name it can read out; the accessibility tree of the window is walked.
QStringList unnamedControls(QWidget* window);

// The checks alone, on the widget as it stands.
QStringList screenProblems(QWidget* widget, const ScreenOptions& options = {});

} // namespace larkhold::test
