#include "HomeFixture.h"
#include "Screens.h"
#include "VaultContextMenu.h"

#include <QFileDialog>
#include <QLabel>
#include <QMenu>

namespace larkhold::test {
namespace {

class HomeScreens : public HomeFixture {
protected:
    void expectShippable(QWidget* widget, const QString& name, ScreenOptions options = {}) {
        const ScreenReport report = renderScreen(widget, QStringLiteral("home"), name, options);
        EXPECT_TRUE(report.ok()) << name.toStdString() << ":\n"
                                 << report.problems.join(QLatin1Char('\n')).toStdString();
    }
};

TEST_F(HomeScreens, ClassicWithNoVault) {
    startHomeStore();
    MainWindow& w = openWindow();
    expectShippable(&w, QStringLiteral("classic-empty"));
}

TEST_F(HomeScreens, ClassicWithOneVault) {
    Vault a = standardVault(QStringLiteral("Taxes 2024"));
    a.lastOpenedAt = Date::now().addingSeconds(-3 * 3600);
    listed.last() = a;
    startHomeStore();
    home->setSizeOnDisk(a.id, 120 * 1'048'576);
    MainWindow& w = openWindow();
    expectShippable(&w, QStringLiteral("classic-one"));

    // Lock All joins the header; the status line still shows whole at the first size.
    ASSERT_TRUE(unlockHome(a));
    ASSERT_TRUE(eventually([&] { return classic()->lockAllButton()->isVisibleTo(&w); }));
    ScreenOptions whole;
    whole.showWhole = {QStringLiteral("homeSubtitle")};
    expectShippable(&w, QStringLiteral("classic-one-open"), whole);
}

TEST_F(HomeScreens, ClassicWithAMixOfStates) {
    Vault locked = standardVault(QStringLiteral("Taxes 2024"));
    locked.lastOpenedAt = Date::now().addingSeconds(-2 * 86400);
    locked.excludedFromCloud = true;
    listed[0] = locked;
    const Vault open = standardVault(QStringLiteral("Work Documents"));
    const Vault pocket = pocketVault(QStringLiteral("Travel Notes"), QStringLiteral("pw"));
    Vault busy = standardVault(QStringLiteral("Photos"));
    busy.requireTouchID = true;
    listed.last() = busy;
    Vault full = standardVault(QStringLiteral("Archive with a rather long name that will not fit"));
    full.requireTouchID = true;
    full.excludedFromCloud = true;
    listed.last() = full;
    const Vault missing = standardVault(QStringLiteral("Moved Away"));
    QDir(missing.bundlePath).removeRecursively();
    Vault away = newRecord(QStringLiteral("Backup Disk"), VaultKind::standard, QStringLiteral(".sparsebundle"), 4096);
    away.bundlePath = QStringLiteral("/media/larkhold-nobody/Backup/Backup Disk.sparsebundle");
    listed.append(away);
    startHomeStore();
    ASSERT_TRUE(unlockHome(open));
    ASSERT_TRUE(unlockHome(pocket));
    home->setSizeOnDisk(locked.id, 300 * 1'048'576);
    home->setSizeOnDisk(open.id, 850 * 1'048'576);
    home->setSizeOnDisk(full.id, 990 * 1'048'576);
    home->setSizeOnDisk(busy.id, 40 * 1'048'576);
    HomeStore::BusyMark mark(*home, busy.id);
    MainWindow& w = openWindow();
    w.resize(560, 760);
    ASSERT_TRUE(eventually([&] { return w.size() == QSize(560, 760); }));
    expectShippable(&w, QStringLiteral("classic-mix"));

    // The narrowest the window goes.
    w.resize(460, 600);
    ASSERT_TRUE(eventually([&] { return w.width() == 460; }));
    expectShippable(&w, QStringLiteral("classic-mix-narrow"));
}

TEST_F(HomeScreens, ContextMenus) {
    const Vault locked = standardVault(QStringLiteral("Taxes 2024"));
    const Vault pocket = pocketVault(QStringLiteral("Travel Notes"), QStringLiteral("pw"));
    startHomeStore();
    ASSERT_TRUE(unlockHome(pocket));
    MainWindow& w = openWindow();
    for (const auto& [vault, name] :
         {std::pair{locked, QStringLiteral("menu-locked")}, std::pair{pocket, QStringLiteral("menu-open-pocket")}}) {
        QMenu* menu = VaultContextMenu::create(vault, w.context(), &w);
        menu->setAttribute(Qt::WA_DeleteOnClose, false);
        menu->popup(w.mapToGlobal(QPoint(40, 40)));
        expectShippable(menu, name);
        menu->close();
        delete menu;
    }
}

TEST_F(HomeScreens, Alerts) {
    Vault a = standardVault(QStringLiteral("Taxes 2024"));
    Vault away = a;
    away.bundlePath = QStringLiteral("/media/larkhold-nobody/Backup/Taxes 2024.sparsebundle");
    startHomeStore();
    MainWindow& w = openWindow();
    const QList<std::pair<AlertSpec, QString>> alerts{
        {MainWindow::removeAlert(a), QStringLiteral("alert-remove")},
        {MainWindow::errorAlert(QStringLiteral("Wrong password for “Ledger 2026”.")), QStringLiteral("alert-error")},
        {VaultFileLocation::relocatedAlert(a), QStringLiteral("alert-relocated")},
        {VaultFileLocation::waitingAlert(away), QStringLiteral("alert-waiting")},
    };
    for (const auto& [spec, name] : alerts) {
        QMessageBox* box = Dialogs::makeAlert(&w, spec);
        expectShippable(box, name);
        if (name == u"alert-error") {
            // A short message keeps to one line.
            auto* message = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
            ASSERT_TRUE(message);
            EXPECT_EQ(message->heightForWidth(message->width()), message->heightForWidth(4000))
                << "wraps at " << message->width() << " px";
        }
        box->close();
        delete box;
    }
}

TEST_F(HomeScreens, LocatePanelShowsItsMessageInside) {
    Vault lost = standardVault(QStringLiteral("V05"));
    startHomeStore();
    MainWindow& w = openWindow();
    const FileChoiceSpec spec = VaultFileLocation::locatePanel(lost);
    Dialogs::chooseFile(&w, spec, {});
    auto* panel = w.findChild<QFileDialog*>(QStringLiteral("locatePanel"));
    ASSERT_TRUE(panel);
    EXPECT_FALSE(panel->windowTitle().contains(QStringLiteral("V05")));
    auto* message = panel->findChild<QLabel*>(QStringLiteral("panelMessage"));
    ASSERT_TRUE(message);
    EXPECT_EQ(message->text(), QStringLiteral("Choose the vault file for “V05” (.sparsebundle or .nosync)."));
    expectShippable(panel, QStringLiteral("locate-panel"));
    EXPECT_TRUE(message->isVisible());
    panel->reject();
}

} // namespace
} // namespace larkhold::test
