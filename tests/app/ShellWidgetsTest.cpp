#include "ApplicationMenu.h"
#include "AuxWindows.h"
#include "DBusSingleInstance.h"
#include "MenuBarIcon.h"
#include "MenuBarPanel.h"
#include "ShellStyle.h"
#include "TerminationSignals.h"
#include "TrayController.h"
#include "TrayMenu.h"
#include "fakes/store/StoreFixture.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPainter>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QToolButton>
#include <csignal>

namespace larkhold::test {
namespace {

class ShellWidgets : public StoreFixture {
protected:
    ShellWidgets() {
        initAppResources();
        actions.quit = [this] { calls << QStringLiteral("quit"); };
        actions.showSettings = [this] { calls << QStringLiteral("settings"); };
        actions.showAbout = [this] { calls << QStringLiteral("about"); };
        actions.showChangelog = [this] { calls << QStringLiteral("changelog"); };
        actions.showMainWindow = [this] { calls << QStringLiteral("main"); };
    }
    ShellActions actions;
    QStringList calls;
};

QStringList actionTexts(const QMenu& menu) {
    QStringList texts;
    for (QAction* action : menu.actions())
        texts.append(action->isSeparator() ? QStringLiteral("—") : action->text());
    return texts;
}

QAction* actionNamed(const QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

TEST_F(ShellWidgets, TheShellStyleDrawsTheMenuBarsOverflowIconsAsTheStyleItFollows) {
    ShellStyle style(QStringLiteral("Fusion"));
    const std::unique_ptr<QStyle> plain(QStyleFactory::create(QStringLiteral("Fusion")));
    for (const QStyle::StandardPixmap which : {QStyle::SP_ToolBarHorizontalExtensionButton,
                                               QStyle::SP_ToolBarVerticalExtensionButton, QStyle::SP_DialogOkButton}) {
        const QIcon icon = style.standardIcon(which);
        ASSERT_FALSE(icon.isNull()) << which;
        const QIcon copy = icon; // a copy made before the first drawing draws the same
        EXPECT_EQ(copy.pixmap(16).toImage(), plain->standardIcon(which).pixmap(16).toImage()) << which;
        EXPECT_EQ(icon.pixmap(QSize(24, 24), 2.0).toImage(),
                  plain->standardIcon(which).pixmap(QSize(24, 24), 2.0).toImage())
            << which;
    }
}

TEST_F(ShellWidgets, TrayMenuShowsTheModelsEntriesAndActs) {
    const Vault vault = standardVault(QStringLiteral("Work"));
    startStore();
    TrayMenu menu(*store, actions);
    EXPECT_EQ(actionTexts(menu),
              (QStringList{"Unlock “Work”", "—", "Lock All", "—", "Add Existing Vault…", "—", "Open Larkhold",
                           "Settings…", "What’s New…", "About…", "—", "Quit Larkhold"}));
    actionNamed(menu, QStringLiteral("Quit Larkhold"))->trigger();
    actionNamed(menu, QStringLiteral("Settings…"))->trigger();
    EXPECT_EQ(calls, (QStringList{"quit", "settings"}));

    ASSERT_TRUE(unlockWith(vault, QStringLiteral("pw")));
    menu.rebuild();
    QAction* open = actionNamed(menu, QStringLiteral("Work"));
    ASSERT_NE(open, nullptr);
    ASSERT_NE(open->menu(), nullptr);
    EXPECT_EQ(actionTexts(*open->menu()), (QStringList{"Open in File Manager", "Lock"}));
    EXPECT_TRUE(actionNamed(menu, QStringLiteral("Lock All"))->isEnabled());

    // Opening the menu again and again keeps one submenu per open vault, not one per opening.
    for (int i = 0; i < 5; ++i)
        menu.rebuild();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(menu.findChildren<QMenu*>(Qt::FindDirectChildrenOnly).size(), 1);
}

TEST_F(ShellWidgets, TrayMenuShowsAnAmpersandInANameAsItself) {
    standardVault(QStringLiteral("Tom & Jerry"));
    startStore();
    TrayMenu menu(*store, actions);
    QAction* unlock = menu.actions().first();
    EXPECT_EQ(unlock->text(), QStringLiteral("Unlock “Tom && Jerry”"));
    // What the menu draws: the text without mnemonics.
    EXPECT_EQ(unlock->iconText(), QStringLiteral("Unlock “Tom & Jerry”"));
}

TEST_F(ShellWidgets, PanelShowsTheEmptyStateAndLockAllOnlyWhileAVaultIsOpen) {
    startStore();
    MenuBarPanel panel(*store, defaults, actions);
    auto* empty = panel.findChild<QLabel*>(QStringLiteral("noVaults"));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->text(), QStringLiteral("No vaults yet"));
    EXPECT_EQ(panel.findChild<QToolButton*>(QStringLiteral("lockAll")), nullptr);
    EXPECT_EQ(panel.width(), MenuBarPanel::kWidth);
}

TEST_F(ShellWidgets, PanelRebuildsWithTheStoreAndTheDesign) {
    const Vault vault = standardVault(QStringLiteral("Work"));
    startStore();
    MenuBarPanel panel(*store, defaults, actions);
    ASSERT_TRUE(unlockWith(vault, QStringLiteral("pw")));
    panel.rebuild();
    QApplication::processEvents();
    EXPECT_NE(panel.findChild<QToolButton*>(QStringLiteral("lockAll")), nullptr);

    defaults.setValue(SettingsKeys::appTheme, QStringLiteral("nightWatch"));
    panel.rebuild();
    EXPECT_LT(panel.palette().color(QPalette::Window).lightness(), 128);
    defaults.setValue(SettingsKeys::appTheme, QStringLiteral("softFocus"));
    panel.rebuild();
    EXPECT_GT(panel.palette().color(QPalette::Window).lightness(), 128);
}

TEST(PanelDesign, AccentAndSchemeFollowTheStoredDesign) {
    EXPECT_EQ(panelAccent(QStringLiteral("classic")), QColor::fromRgbF(0.35f, 0.38f, 0.95f));
    EXPECT_EQ(panelAccent(QStringLiteral("something else")), panelAccent(QStringLiteral("classic")));
    EXPECT_EQ(panelAccent(QStringLiteral("nightWatch")), QColor::fromRgbF(0.24f, 0.72f, 0.53f));
    EXPECT_EQ(panelWantsDark(QStringLiteral("nightWatch")), std::optional<bool>(true));
    EXPECT_EQ(panelWantsDark(QStringLiteral("nativePro")), std::optional<bool>(false));
    EXPECT_EQ(panelWantsDark(QStringLiteral("classic")), std::nullopt);
}

TEST_F(ShellWidgets, ApplicationMenuHasItsFourEntriesAndShortcuts) {
    QMainWindow window;
    QMenu* menu = installApplicationMenu(window, actions);
    EXPECT_EQ(menu->title(), QStringLiteral("Larkhold"));
    EXPECT_EQ(actionTexts(*menu), (QStringList{"About…", "What’s New…", "—", "Settings…", "—", "Quit"}));
    EXPECT_EQ(actionNamed(*menu, QStringLiteral("Settings…"))->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(actionNamed(*menu, QStringLiteral("Quit"))->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    actionNamed(*menu, QStringLiteral("About…"))->trigger();
    actionNamed(*menu, QStringLiteral("What’s New…"))->trigger();
    EXPECT_EQ(calls, (QStringList{"about", "changelog"}));
}

TEST(AuxWindows, AboutAndWhatsNewAreSingleWindowsReusedWhereTheUserLeftThem) {
    AboutWindow::show(nullptr);
    QWidget* about = AboutWindow::window();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->windowTitle(), QStringLiteral("About Larkhold"));
    about->move(about->pos() + QPoint(37, 21));
    const QPoint moved = about->pos();
    about->close();
    AboutWindow::show(nullptr);
    EXPECT_EQ(AboutWindow::window(), about);
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->pos(), moved);

    ChangelogWindow::show(nullptr);
    QWidget* changelog = ChangelogWindow::window();
    ChangelogWindow::show(nullptr);
    EXPECT_EQ(ChangelogWindow::window(), changelog);
    EXPECT_EQ(changelog->windowTitle(), QStringLiteral("What’s New"));
    EXPECT_EQ(changelog->size(), QSize(470, 560));
    EXPECT_EQ(changelog->findChildren<QWidget*>(QStringLiteral("versionCard")).size(), 8);

    int aboutWindows = 0;
    for (QWidget* top : QApplication::topLevelWidgets())
        aboutWindows += top->windowTitle() == QStringLiteral("About Larkhold") ? 1 : 0;
    EXPECT_EQ(aboutWindows, 1);
}

TEST(AuxWindows, AboutSaysDevWithoutAVersion) {
    const QString saved = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationVersion(QString());
    EXPECT_EQ(AboutView::version(), QStringLiteral("dev"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0.1"));
    EXPECT_EQ(AboutView::version(), QStringLiteral("2.0.1"));
    QCoreApplication::setApplicationVersion(saved);
}

// Pixels of the icon laid on a panel of `panel` that stand out from it clearly.
int standingOut(const QImage& icon, const QColor& panel) {
    QImage onPanel(icon.size(), QImage::Format_RGB32);
    onPanel.fill(panel);
    QPainter painter(&onPanel);
    painter.drawImage(0, 0, icon);
    painter.end();
    int count = 0;
    for (int y = 0; y < onPanel.height(); ++y)
        for (int x = 0; x < onPanel.width(); ++x)
            count += std::abs(qGray(onPanel.pixel(x, y)) - qGray(panel.rgb())) >= 100;
    return count;
}

TEST(TrayIcon, ReadsOnThePanelItWasDrawnForAndAGuessedPanelOfEitherColour) {
    initAppResources();
    EXPECT_EQ(MenuBarIcon::imageName(false), QStringLiteral("menubar_wren"));
    EXPECT_EQ(MenuBarIcon::imageName(true), QStringLiteral("menubar_wren_open"));
    const QColor lightPanel(0xee, 0xee, 0xee), darkPanel(0x22, 0x22, 0x22);
    for (bool open : {false, true}) {
        for (bool dark : {false, true}) {
            const QImage seen = MenuBarIcon::image(open, dark, true).pixmap(22, 22).toImage();
            ASSERT_FALSE(seen.isNull());
            // Light ink on a dark panel, dark ink on a light one; on the other panel it all but vanishes.
            EXPECT_GE(standingOut(seen, dark ? darkPanel : lightPanel), 60) << open << dark;
            EXPECT_LT(standingOut(seen, dark ? lightPanel : darkPanel), 10) << open << dark;

            for (int side : {16, 22, 32}) {
                const QImage guessed = MenuBarIcon::image(open, dark, false).pixmap(side, side).toImage();
                const int enough = 60 * side * side / (22 * 22);
                EXPECT_GE(standingOut(guessed, lightPanel), enough) << open << dark << side;
                EXPECT_GE(standingOut(guessed, darkPanel), enough) << open << dark << side;
                // The corners stay the tray's.
                EXPECT_EQ(qAlpha(guessed.pixel(1, 0)), 0);
                EXPECT_EQ(qAlpha(guessed.pixel(side - 2, 0)), 0);
            }
        }
    }
}

TEST(TrayIcon, ATranslucentTraysPixelsAreNotReadAsItsColour) {
    const auto row = [](QRgb pixel, int width = 22) {
        QImage image(width, 2, QImage::Format_ARGB32);
        image.fill(pixel);
        return image;
    };
    EXPECT_EQ(TrayController::backgroundIsDark(row(qRgb(0xee, 0xee, 0xee))), false);
    EXPECT_EQ(TrayController::backgroundIsDark(row(qRgb(0x30, 0x30, 0x30))), true);
    // A transparent pixel reads as black, a translucent one as whatever a compositor put behind it.
    EXPECT_EQ(TrayController::backgroundIsDark(row(qRgba(0, 0, 0, 0))), std::nullopt);
    EXPECT_EQ(TrayController::backgroundIsDark(row(qRgba(0x30, 0x30, 0x30, 0xc0))), std::nullopt);
    EXPECT_EQ(TrayController::backgroundIsDark(row(qRgb(0xee, 0xee, 0xee), 3)), std::nullopt);
}

TEST(SingleInstance, OnlyFileUrlsAreHandedOver) {
    const QList<QUrl> files = DBusSingleInstance::fileUrlsOnly(
        {QUrl(QStringLiteral("https://example.org/x")), QUrl::fromLocalFile(QStringLiteral("/a b/c")), QUrl(),
         QUrl(QStringLiteral("mailto:someone@example.org")), QUrl::fromLocalFile(QStringLiteral("/d"))});
    EXPECT_EQ(files,
              (QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/a b/c")), QUrl::fromLocalFile(QStringLiteral("/d"))}));

    DBusSingleInstance instance(QDBusConnection(QStringLiteral("no bus")));
    QSignalSpy opened(&instance, &DBusSingleInstance::openRequested);
    ApplicationAdaptor adaptor(&instance);
    adaptor.Open({QStringLiteral("https://example.org/x")}, {});
    EXPECT_EQ(opened.count(), 0) << "a request without a file opens nothing";
    adaptor.Open({QStringLiteral("file:///tmp/a%20b"), QStringLiteral("ftp://x/y")}, {});
    ASSERT_EQ(opened.count(), 1);
    EXPECT_EQ(opened.first().first().value<QList<QUrl>>(),
              QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/tmp/a b"))});
    EXPECT_EQ(instance.claim({}), DBusSingleInstance::Claim::noBus);
}

TEST(Termination, SigtermArrivesAsASignalOnTheEventLoop) {
    TerminationSignals termination;
    ASSERT_TRUE(termination.isActive());
    QSignalSpy requested(&termination, &TerminationSignals::terminationRequested);
    std::raise(SIGTERM);
    EXPECT_TRUE(requested.wait(60'000));
    std::raise(SIGINT);
    EXPECT_TRUE(requested.wait(60'000));
    // The terminal or the session that started it went away.
    std::raise(SIGHUP);
    EXPECT_TRUE(requested.wait(60'000));
}

} // namespace
} // namespace larkhold::test
