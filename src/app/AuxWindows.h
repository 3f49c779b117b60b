#pragma once

#include <QString>
#include <QWidget>

namespace larkhold {

class Defaults;
class WindowPresenter;

// The About window: icon, name, version and credits. Created on first show and reused: showing it again brings the
// same window forward where the user left it.
class AboutView : public QWidget {
    Q_OBJECT

public:
    explicit AboutView(QWidget* parent = nullptr);
    // The application's short version, "dev" when it has none.
    static QString version();
};

namespace AboutWindow {
void show(WindowPresenter* presenter);
// The window once shown; null before.
QWidget* window();
} // namespace AboutWindow

// The What's New window: one card per released version, newest first.
class ChangelogView : public QWidget {
    Q_OBJECT

public:
    explicit ChangelogView(QWidget* parent = nullptr);
};

namespace ChangelogWindow {
void show(WindowPresenter* presenter);
// At launch: records this version and shows the window when the version changed and has an entry.
void showIfUpdated(Defaults& defaults, WindowPresenter* presenter);
QWidget* window();
} // namespace ChangelogWindow

} // namespace larkhold
