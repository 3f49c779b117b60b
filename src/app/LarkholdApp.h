#pragma once

#include "ShellActions.h"

#include <QList>
#include <QObject>
#include <QUrl>
#include <functional>
#include <memory>

class QApplication;

namespace larkhold {

class AppDelegate;
class DBusSessionMonitor;
class DBusSingleInstance;
class Defaults;
class DiskImage;
class LibsecretStore;
class MainWindow;
class OwnerCheck;
class PocketFileImporter;
class HomeStoreHost;
class SleepInhibitor;
class SystemClock;
class TerminationSignals;
class TrayController;
class VaultStore;
class VaultSheets;
class WindowPresenter;

// The windows and services of other libraries that the application plugs in. Each has a stand-in until its
// library lands, so that merging one is a line here.
struct AppSeams {
    std::function<void()> showSettings;
    std::function<void()> updatePanicHotKey;
    std::function<void()> startUpdateChecks;
    std::function<void(const QList<QUrl>&)> showImportWindow;
    std::function<void(const Vault&)> showUnlockPrompt;
    std::function<void()> chooseExistingVault;
    std::function<void(const Vault&)> locate;
    std::function<void(const Vault&)> reveal;
};

// The running application: the store and its engines, the main window with its menu, the tray extra, the lock
// triggers and the quit path, all made here and owned for the process's life.
class LarkholdApp : public QObject {
    Q_OBJECT

public:
    LarkholdApp(QApplication& application, Defaults& defaults, DBusSingleInstance* instance);
    ~LarkholdApp() override;

    VaultStore& store() { return *store_; }
    AppDelegate& delegate() { return *delegate_; }
    MainWindow& mainWindow() { return *mainWindow_; }
    TrayController& tray() { return *tray_; }
    WindowPresenter& presenter() { return *presenter_; }
    const ShellActions& actions() const { return actions_; }

    // The plug-ins of other libraries; set before start().
    AppSeams seams;

    // Shows the main window and, once it is on screen, runs the launch wiring and hands on `files`,
    // which were given on the command line.
    void start(const QList<QUrl>& files);
    // More such files, known only once the start is under way: handed on with those or, after the
    // launch, at once.
    void openFiles(const QList<QUrl>& files);
    void showMainWindow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyTaskbarPolicy();
    // The launch wiring and the command line's files, once the main window is on screen.
    void finishLaunching();

    QApplication& application_;
    Defaults& defaults_;
    DBusSingleInstance* instance_;
    std::unique_ptr<LibsecretStore> secrets_;
    std::unique_ptr<OwnerCheck> ownerCheck_;
    std::unique_ptr<DiskImage> diskImage_;
    std::unique_ptr<SystemClock> clock_;
    std::unique_ptr<HomeStoreHost> host_;
    std::unique_ptr<PocketFileImporter> importer_;
    std::unique_ptr<VaultStore> store_;
    std::unique_ptr<WindowPresenter> presenter_;
    std::unique_ptr<DBusSessionMonitor> session_;
    std::unique_ptr<SleepInhibitor> sleepInhibitor_;
    std::unique_ptr<TerminationSignals> termination_;
    std::unique_ptr<VaultSheets> sheets_;
    std::unique_ptr<MainWindow> mainWindow_;
    std::unique_ptr<AppDelegate> delegate_;
    std::unique_ptr<TrayController> tray_;
    ShellActions actions_;
    QList<QUrl> pendingFiles_;
    bool launched_ = false;
};

} // namespace larkhold
