#include "LarkholdApp.h"

#include "AppDelegate.h"
#include "ApplicationMenu.h"
#include "AuxWindows.h"
#include "Clock.h"
#include "DBusSessionMonitor.h"
#include "DBusSingleInstance.h"
#include "Defaults.h"
#include "DiskImage.h"
#include "DisplayLoss.h"
#include "HomeStoreHost.h"
#include "IconTile.h"
#include "ImportWindow.h"
#include "LibsecretStore.h"
#include "MainWindow.h"
#include "PocketFileImporter.h"
#include "PocketWindows.h"
#include "PolkitOwnerCheck.h"
#include "SettingsKeys.h"
#include "ShellRules.h"
#include "TerminationSignals.h"
#include "TrayController.h"
#include "UnlockPromptWindow.h"
#include "VaultFileLocation.h"
#include "VaultSheets.h"
#include "VaultStore.h"
#include "WindowPresenting.h"
#include "X11WindowPresenter.h"

#include <QApplication>
#include <QCoroTask>
#include <QDBusConnection>
#include <QEvent>
#include <QTimer>
#include <chrono>
#include <malloc.h>
#include <utility>

namespace larkhold {

namespace {

// How long after the launch wiring the start's scratch memory is handed back.
constexpr std::chrono::seconds kSettleAfterLaunch{3};

} // namespace

LarkholdApp::LarkholdApp(QApplication& application, Defaults& defaults, DBusSingleInstance* instance)
    : application_(application), defaults_(defaults), instance_(instance) {
    secrets_ = std::make_unique<LibsecretStore>();
    // Beside the vault list: the vaults whose saved password a quit could not replace.
    secrets_->setStaleRecord(VaultList::defaultFolder() + QStringLiteral("/keyring-stale"));
    ownerCheck_ = std::make_unique<PolkitOwnerCheck>();
    diskImage_ = std::make_unique<DiskImage>();
    clock_ = std::make_unique<SystemClock>();
    host_ = std::make_unique<HomeStoreHost>(ownerCheck_.get());
    importer_ = std::make_unique<PocketFileImporter>();

    VaultStoreDeps storeDeps;
    storeDeps.diskImage = diskImage_.get();
    storeDeps.secrets = secrets_.get();
    storeDeps.ownerCheck = ownerCheck_.get();
    storeDeps.defaults = &defaults_;
    storeDeps.clock = clock_.get();
    storeDeps.host = host_.get();
    storeDeps.documentHost = importer_.get();
    storeDeps.dataFolder = VaultList::defaultFolder();
    store_ = std::make_unique<VaultStore>(storeDeps);
    VaultStore::setShared(store_.get());
    host_->setStore(store_.get());
    host_->setParentWindow(
        [this]() -> QWidget* { return mainWindow_ && mainWindow_->isVisible() ? mainWindow_.get() : nullptr; });

    presenter_ = std::make_unique<X11WindowPresenter>();

    // The Pocket Vault windows and the Add to Vault window.
    PocketWindows::setDependencies({store_.get(), secrets_.get(), &defaults_, importer_.get(), presenter_.get()});
    host_->showPocketWindowCallback = [](PocketSession& session, const Vault& vault) {
        PocketWindows::show(session, vault);
    };
    host_->closePocketWindowCallback = [](const QUuid& id) { PocketWindows::close(id); };
    ImportDeps importDeps;
    importDeps.store = store_.get();
    importDeps.secrets = secrets_.get();
    importDeps.defaults = &defaults_;
    importDeps.presenter = presenter_.get();
    ImportWindow::setDependencies(importDeps);
    // Both watch and connect to the system bus only once the first window shows (start()).
    session_ = std::make_unique<DBusSessionMonitor>(qEnvironmentVariable("XDG_SESSION_ID"));
    sleepInhibitor_ = std::make_unique<LogindSleepInhibitor>();
    termination_ = std::make_unique<TerminationSignals>();

    // The stand-ins of the other libraries' windows.
    UnlockPromptWindow::setPresenter([this](QWidget* window) { presentWindow(window, presenter_.get()); });
    seams.showUnlockPrompt = [](const Vault& vault) { UnlockPromptWindow::show(vault); };
    seams.showImportWindow = [](const QList<QUrl>& files) { ImportWindow::show(files); };
    seams.chooseExistingVault = [this] { ContentView::chooseExistingVault(*store_); };
    seams.locate = [this](const Vault& vault) { VaultFileLocation::locate(vault, *store_); };
    seams.reveal = [this](const Vault& vault) { VaultFileLocation::reveal(vault, *store_); };

    actions_.showMainWindow = [this] { showMainWindow(); };
    actions_.showSettings = [this] { callIfSet(seams.showSettings); };
    actions_.showChangelog = [this] { ChangelogWindow::show(presenter_.get()); };
    actions_.showAbout = [this] { AboutWindow::show(presenter_.get()); };
    actions_.quit = [this] { delegate_->requestQuit(); };
    actions_.chooseExistingVault = [this] { callIfSet(seams.chooseExistingVault); };
    actions_.locate = [this](const Vault& vault) { callIfSet(seams.locate, vault); };
    actions_.reveal = [this](const Vault& vault) { callIfSet(seams.reveal, vault); };
    actions_.showUnlockPrompt = [this](const Vault& vault) { callIfSet(seams.showUnlockPrompt, vault); };

    sheets_ = std::make_unique<VaultSheets>(*store_, *secrets_, *ownerCheck_);
    HomeDeps home;
    home.store = store_.get();
    home.sheets = sheets_.get();
    home.defaults = &defaults_;
    home.ownerCheck = ownerCheck_.get();
    home.secrets = secrets_.get();
    mainWindow_ = std::make_unique<MainWindow>(home);
    installApplicationMenu(*mainWindow_, actions_);

    AppDelegateDeps deps;
    deps.store = store_.get();
    deps.defaults = &defaults_;
    deps.session = session_.get();
    deps.sleepInhibitor = sleepInhibitor_.get();
    deps.applyTaskbarPolicy = [this] { applyTaskbarPolicy(); };
    deps.registerServices = [this] {
        if (!instance_)
            return;
        connect(instance_, &DBusSingleInstance::activateRequested, this, &LarkholdApp::showMainWindow);
        connect(instance_, &DBusSingleInstance::openRequested, this,
                [this](const QList<QUrl>& files) { delegate_->addToVault(files); });
    };
    deps.updatePanicHotKey = [this] { callIfSet(seams.updatePanicHotKey); };
    deps.startUpdateChecks = [this] { callIfSet(seams.startUpdateChecks); };
    deps.showChangelogIfUpdated = [this] { ChangelogWindow::showIfUpdated(defaults_, presenter_.get()); };
    deps.showImportWindow = [this](const QList<QUrl>& files) {
        if (seams.showImportWindow)
            seams.showImportWindow(files);
    };
    deps.terminate = [] { QCoreApplication::quit(); };
    delegate_ = std::make_unique<AppDelegate>(deps);

    tray_ = std::make_unique<TrayController>(*store_, defaults_, actions_);
    connect(tray_.get(), &TrayController::kindChanged, this, &LarkholdApp::applyTaskbarPolicy);
    // The window manager forgets a window's states when it is closed, so the policy goes with every showing.
    mainWindow_->installEventFilter(this);
    connect(&defaults_, &Defaults::changed, this, [this](const QString& key) {
        if (key == SettingsKeys::hideDockIcon.name)
            applyTaskbarPolicy();
    });

    application_.setQuitOnLastWindowClosed(AppDelegate::shouldTerminateAfterLastWindowClosed());
    connect(termination_.get(), &TerminationSignals::terminationRequested, delegate_.get(), &AppDelegate::requestQuit);
    connect(&application_, &QGuiApplication::commitDataRequest, delegate_.get(),
            [this](QSessionManager&) { delegate_->requestQuit(); });
    // Something else stopped the event loop (the session, a fatal display error): the quit still runs to its end
    // before the process goes.
    connect(&application_, &QCoreApplication::aboutToQuit, this,
            [this] { QCoro::waitFor(delegate_->quitPath().finishBeforeExit()); });
    // The display went away (X server killed, session gone): the quit runs to its end instead of the platform
    // plugin ending the process at once with the vaults still open.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        DisplayLoss::watch([this] { delegate_->requestQuit(); });
}

LarkholdApp::~LarkholdApp() {
    DisplayLoss::stopWatching();
    UnlockPromptWindow::close();
    UnlockPromptWindow::setPresenter({});
    tray_.reset();
    delegate_.reset();
    mainWindow_.reset();
    VaultStore::setShared(nullptr);
}

void LarkholdApp::start(const QList<QUrl>& files) {
    pendingFiles_ = files;
    mainWindow_->show();
    showMainWindow();
    // After the window, which need not wait for the system bus's connection or the match rules' round trips;
    // before the event loop runs, and so long before the launch that acts on what the session reports.
    session_->watch(QDBusConnection::sessionBus(), QDBusConnection::systemBus());
    // What the window does not need (the update check's network stack, the hot-key grab, the tray
    // icon, the session's watches, the files to import) waits until it has been painted, so that
    // none of it holds the window back. A display that never paints it still gets the launch a
    // second later.
    QTimer::singleShot(std::chrono::seconds(1), this, &LarkholdApp::finishLaunching);
}

void LarkholdApp::openFiles(const QList<QUrl>& files) {
    if (files.isEmpty())
        return;
    if (!launched_) {
        pendingFiles_ += files;
        return;
    }
    delegate_->addToVault(files);
}

void LarkholdApp::finishLaunching() {
    if (launched_)
        return;
    launched_ = true;
    // Drawn from its SVG at four sizes for the window manager: no reason to hold the first window back.
    QApplication::setWindowIcon(AppIconImage::applicationIcon());
    tray_->start();
    delegate_->applicationDidFinishLaunching();
    const QList<QUrl> files = std::exchange(pendingFiles_, {});
    if (!files.isEmpty())
        delegate_->addToVault(files);
    // The start leaves the heap full of holes (the first layout's and paint's scratch, the launch's
    // replies), which stay resident until handed back; by now the start's own work has long settled.
    QTimer::singleShot(kSettleAfterLaunch, this, [] { malloc_trim(0); });
}

void LarkholdApp::showMainWindow() {
    presentWindow(mainWindow_.get(), presenter_.get());
    presentWindowsTitledLarkhold(presenter_.get());
}

bool LarkholdApp::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mainWindow_.get() && event->type() == QEvent::Show)
        applyTaskbarPolicy();
    if (watched == mainWindow_.get() && event->type() == QEvent::Paint && !launched_)
        QTimer::singleShot(0, this, &LarkholdApp::finishLaunching);
    return QObject::eventFilter(watched, event);
}

void LarkholdApp::applyTaskbarPolicy() {
    // Whether a tray shows the icon takes a round trip to the bus and the display, so it is asked only when
    // the settings would keep the window off the taskbar; with the setting off (the default), never before
    // the first window shows.
    const bool skip = ShellRules::skipTaskbar(defaults_, true) && TrayController::isTrayAvailable();
    presenter_->setSkipTaskbar(mainWindow_->winId(), skip);
}

} // namespace larkhold
