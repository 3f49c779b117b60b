#include "AuxWindows.h"
#include "MenuBarIcon.h"
#include "MenuBarPanel.h"
#include "Screens.h"
#include "TrayMenu.h"
#include "fakes/store/StoreFixture.h"

#include <QCoroTask>

namespace larkhold::test {
namespace {

// The shell's windows as a person sees them, written to build/screens/app/.
class ShellScreens : public StoreFixture {
protected:
    void SetUp() override {
        initAppResources();
        Vault work = newRecord(QStringLiteral("Work Documents"), VaultKind::standard, QStringLiteral(".sparsebundle"),
                               1024);
        QDir().mkpath(work.bundlePath);
        listed.append(work);
        Vault archive = newRecord(QStringLiteral("Archive"), VaultKind::standard, QStringLiteral(".sparsebundle"),
                                  20480);
        QDir().mkpath(archive.bundlePath);
        listed.append(archive);
        notes = pocketVault(QStringLiteral("Notes"), QStringLiteral("pw"));
        pocketVault(QStringLiteral("Passport Scans"), QStringLiteral("pw"));
        Vault moved = newRecord(QStringLiteral("Taxes 2023"), VaultKind::standard, QStringLiteral(".sparsebundle"), 512);
        listed.append(moved);
        Vault away = newRecord(QStringLiteral("Photos"), VaultKind::standard, QStringLiteral(".sparsebundle"), 4096);
        away.bundlePath = QStringLiteral("/media/nobody/Backup Disk/Photos.sparsebundle");
        listed.append(away);
        startStore();
        setToolFile(QStringLiteral("du.kb"), "860000"); // 0.82 of Work Documents: orange
        QCoro::waitFor(store->refresh());
        EXPECT_TRUE(unlockWith(notes, QStringLiteral("pw")));
    }

    void expectShippable(const ScreenReport& report) {
        EXPECT_TRUE(report.ok()) << report.problems.join(QStringLiteral("; ")).toStdString();
    }

    Vault notes;
    ShellActions actions;
};

TEST_F(ShellScreens, PanelInEveryDesign) {
    MenuBarPanel panel(*store, defaults, actions);
    for (const QString& theme : {QStringLiteral("classic"), QStringLiteral("nativePro"), QStringLiteral("nightWatch"),
                                QStringLiteral("softFocus")}) {
        defaults.setValue(SettingsKeys::appTheme, theme);
        ScreenOptions options;
        options.beforeGrab = [&panel](bool) { panel.rebuild(); };
        // Designs that choose their own scheme look the same in both; one screen each is enough.
        const std::optional<bool> forced = panelWantsDark(theme);
        if (forced) {
            options.light = !*forced;
            options.dark = *forced;
        }
        expectShippable(renderScreen(&panel, QStringLiteral("app"), QStringLiteral("panel-") + theme, options));
    }
}

TEST_F(ShellScreens, EmptyPanel) {
    QCoro::waitFor(store->lockAll(true, LockReason::manual));
    for (const Vault& vault : QList<Vault>(store->vaults()))
        QCoro::waitFor(store->forget(vault));
    MenuBarPanel panel(*store, defaults, actions);
    ScreenOptions options;
    options.beforeGrab = [&panel](bool) { panel.rebuild(); };
    expectShippable(renderScreen(&panel, QStringLiteral("app"), QStringLiteral("panel-empty"), options));
}

TEST_F(ShellScreens, PlainMenu) {
    TrayMenu menu(*store, actions);
    expectShippable(renderScreen(&menu, QStringLiteral("app"), QStringLiteral("menu")));
}

TEST_F(ShellScreens, AboutAndWhatsNew) {
    AboutView about;
    expectShippable(renderScreen(&about, QStringLiteral("app"), QStringLiteral("about")));
    ChangelogView changelog;
    expectShippable(renderScreen(&changelog, QStringLiteral("app"), QStringLiteral("whats-new")));
}

} // namespace
} // namespace larkhold::test
