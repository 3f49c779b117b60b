#include "ColorScheme.h"
#include "DBusSingleInstance.h"
#include "Defaults.h"
#include "Dialogs.h"
#include "DiskImage.h"
#include "DumpProtection.h"
#include "LarkholdApp.h"
#include "MenuBarIcon.h"
#include "SettingsServices.h"
#include "ShellStyle.h"
#include "StandardSelfTest.h"
#include "Startup.h"
#include "Theme.h"
#include "VaultList.h"
#include "WindowPresenting.h"
#include "X11GlobalHotKey.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QMessageBox>
#include <QThreadPool>
#include <QUrl>
#include <cstdio>
#include <ctime>
#include <malloc.h>
#include <thread>

using namespace larkhold;

namespace {

void printError(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

} // namespace

int main(int argc, char** argv) {
    // Open vaults' passwords, keys and items live in this process's memory.
    protectProcessFromDumps();

    // Every thread that allocates would otherwise get a heap of its own (the font configuration's
    // reader, the store's and Qt's pools: some thirty by the first idle moment), each keeping pages
    // after its thread is gone. The few threads here never contend for two.
    mallopt(M_ARENA_MAX, 2);

    const QStringList arguments = [&] {
        QStringList list;
        for (int i = 0; i < argc; ++i)
            list << QString::fromLocal8Bit(argv[i]);
        return list;
    }();

    switch (Startup::modeFor(arguments)) {
    case Startup::Mode::pocketSelfTest: {
        // No display and no window: a core application only.
        QCoreApplication app(argc, argv);
        return Startup::runPocketSelfTest();
    }
    case Startup::Mode::standardSelfTest: {
        QCoreApplication app(argc, argv);
        const DiskImage engine;
        return Startup::runSelfTest([&engine] {
            Startup::runPocketChecks();
            StandardSelfTest::run(engine);
        });
    }
    case Startup::Mode::application:
        break;
    }

    // Whether the files exist is looked at beside the start: one on a share that stopped answering
    // must not keep the window from showing.
    QFuture<QList<QUrl>> files = Startup::existingFilesLater(Startup::filePathsFrom(arguments, QDir::currentPath()));
    // While the display is connected and the single-instance claim waits for the bus.
    Theme::loadFontConfigurationEarly();
    QApplication app(argc, argv);
    // Qt converts and scales large images (a window's first paint) on the shared pool's threads; an idle window
    // needs none of them, so they go soon after rather than waking at half a minute to end.
    QThreadPool::globalInstance()->setExpiryTimeout(2000);
    // While the bus and the lock are asked below, what the GUI thread asks for next is looked up beside it:
    // the local time zone (the settings file's time stamp is read in local time) and the first window's fonts.
    const std::jthread early([desktop = QApplication::font()] {
        tzset();
        Theme::prepareFonts(desktop);
    });
    QApplication::setStyle(new ShellStyle(QApplication::style()->name()));
    QApplication::setApplicationName(QStringLiteral("Larkhold"));
    QApplication::setApplicationVersion(QStringLiteral(LARKHOLD_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.larkhold.Larkhold"));
    initAppResources();
    Dialogs::installPlainToolTips(&app);

    // One application per user: a second start hands its files (or a "show yourself") to the first and ends.
    DBusSingleInstance instance(QDBusConnection::sessionBus());
    switch (instance.claimAskingForFiles([&files] { return DBusSingleInstance::fileUrlsOnly(files.result()); })) {
    case DBusSingleInstance::Claim::forwarded:
        return 0;
    case DBusSingleInstance::Claim::failed:
        printError("Larkhold is already running but does not answer.\n");
        return 1;
    case DBusSingleInstance::Claim::primary:
    case DBusSingleInstance::Claim::noBus:
        break;
    }
    // Also across sessions of the same user, whatever their runtime folder or bus: never two writers of one
    // vault list, nor two lists of what is attached.
    if (const Startup::FolderClaim claim = Startup::claimDataFolder(VaultList::defaultFolder());
        claim != Startup::FolderClaim::claimed) {
        const AlertSpec alert = Startup::refusalAlert(claim);
        printError((alert.text + QLatin1Char(' ') + alert.informativeText + QLatin1Char('\n')).toLocal8Bit().constData());
        // Drawn as every other alert is, in the application's colours.
        ColorScheme::followDesktop(app);
        Dialogs::runAlert(nullptr, alert);
        return 1;
    }

    Startup::prepareApplication();
    ColorScheme::followDesktop(app);
    LarkholdApp shell(app, Defaults::shared(), &instance);
    SettingsServices settings(std::make_unique<X11GlobalHotKey>(), Defaults::shared(), shell.store());
    shell.seams.updatePanicHotKey = [&settings] { settings.panicHotKey().update(); };
    shell.seams.startUpdateChecks = [&settings] { settings.updateChecker().startAutomaticChecks(); };
    shell.seams.showSettings = [&settings, &shell] {
        settings.showWindow([&shell](QWidget* window) { presentWindow(window, &shell.presenter()); });
    };
    shell.start({});
    files.then(&shell, [&shell](const QList<QUrl>& found) { shell.openFiles(found); });
    return app.exec();
}
