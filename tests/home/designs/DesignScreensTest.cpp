// Screens of the Native Pro, Night Watch and Soft Focus designs under build/screens/designs/: no
// vault, one vault, a mix of every state, narrow and wide windows, and the Native Pro detail pane
// for each kind of vault.

#include "HomeFixture.h"
#include "NativeProDetailPane.h"
#include "NativeProHome.h"
#include "Screens.h"

#include <QScrollArea>
#include <utility>

namespace larkhold::test {
namespace {

constexpr qint64 MB = 1'048'576;

class DesignScreens : public HomeFixture {
protected:
    void expectShippable(QWidget* widget, const QString& name) {
        // Rings drawn mid-way through their animation would show another vault's fraction.
        EXPECT_TRUE(eventually([&] {
            const QList<RingGauge*> rings = widget->findChildren<RingGauge*>();
            return std::none_of(rings.cbegin(), rings.cend(), [](RingGauge* r) { return r->isAnimating(); });
        }));
        ScreenOptions options;
        options.showWhole = showWhole;
        const ScreenReport report = renderScreen(widget, QStringLiteral("designs"), name, options);
        EXPECT_TRUE(report.ok()) << name.toStdString() << ":\n"
                                 << report.problems.join(QLatin1Char('\n')).toStdString();
    }

    // Labels of the design that must never be cut, whatever the window's size.
    QStringList showWhole;

    MainWindow& openDesign(const QString& raw) {
        defaults.setValue(SettingsKeys::appTheme, raw);
        return openWindow();
    }

    void resizeTo(MainWindow& w, QSize size) {
        w.resize(size);
        ASSERT_TRUE(eventually([&] { return w.size() == size; }));
    }

    // Locked, open, busy, nearly full, file missing and disk disconnected, with flags and a long
    // name; two of them open.
    struct Mix {
        Vault locked, open, pocket, busy, full, moved, away;
    };
    Mix stageMix() {
        // Stamps and the designs' relative times read the same moment.
        clock.set(Date::now());
        Mix m;
        m.locked = standardVault(QStringLiteral("Taxes 2024"));
        m.locked.lastOpenedAt = clock.now().addingSeconds(-2 * 86400);
        m.locked.excludedFromCloud = true;
        listed.last() = m.locked;
        m.open = standardVault(QStringLiteral("Work Documents"));
        m.pocket = pocketVault(QStringLiteral("Travel Notes"), QStringLiteral("pw"));
        m.busy = standardVault(QStringLiteral("Photos"));
        m.busy.requireTouchID = true;
        listed.last() = m.busy;
        m.full = standardVault(QStringLiteral("Archive with a rather long name that will not fit anywhere"));
        m.full.requireTouchID = true;
        m.full.excludedFromCloud = true;
        listed.last() = m.full;
        m.moved = standardVault(QStringLiteral("Moved Away"));
        QDir(m.moved.bundlePath).removeRecursively();
        m.away = newRecord(QStringLiteral("Backup Disk"), VaultKind::standard, QStringLiteral(".sparsebundle"), 4096);
        m.away.bundlePath = QStringLiteral("/media/larkhold-nobody/Backup/Backup Disk.sparsebundle");
        listed.append(m.away);
        startHomeStore();
        EXPECT_TRUE(unlockHome(m.open));
        EXPECT_TRUE(unlockHome(m.pocket));
        home->setSizeOnDisk(m.locked.id, 300 * MB);
        home->setSizeOnDisk(m.open.id, 612 * MB);
        home->setSizeOnDisk(m.full.id, 990 * MB);
        home->setSizeOnDisk(m.busy.id, 40 * MB);
        for (int i = 0; i < 6; ++i)
            home->recordActivity(QStringLiteral("Vault %1 unlocked · password").arg(i));
        return m;
    }

    void shootDesign(const QString& raw, const QString& prefix, QSize narrow, QSize wide) {
        {
            startHomeStore();
            MainWindow& w = openDesign(raw);
            const QStringList whole = std::exchange(showWhole, {}); // no vault, no line
            expectShippable(&w, prefix + QStringLiteral("-empty"));
            showWhole = whole;
            window.reset();
            home.reset();
        }
        listed.clear();
        clock.set(Date::now());
        {
            Vault one = standardVault(QStringLiteral("Taxes 2024"));
            one.lastOpenedAt = clock.now().addingSeconds(-3 * 3600);
            listed.last() = one;
            startHomeStore();
            home->setSizeOnDisk(one.id, 120 * MB);
            MainWindow& w = openDesign(raw);
            expectShippable(&w, prefix + QStringLiteral("-one"));
            window.reset();
            home.reset();
        }
        listed.clear();
        const Mix mix = stageMix();
        HomeStore::BusyMark mark(*home, mix.busy.id);
        MainWindow& w = openDesign(raw);
        expectShippable(&w, prefix + QStringLiteral("-mix"));
        resizeTo(w, narrow);
        expectShippable(&w, prefix + QStringLiteral("-mix-narrow"));
        resizeTo(w, wide);
        expectShippable(&w, prefix + QStringLiteral("-mix-wide"));
    }
};

TEST_F(DesignScreens, SoftFocus) {
    shootDesign(QStringLiteral("softFocus"), QStringLiteral("soft-focus"), QSize(620, 480), QSize(1100, 1040));
}

TEST_F(DesignScreens, NightWatch) {
    showWhole = {QStringLiteral("metaLine")};
    shootDesign(QStringLiteral("nightWatch"), QStringLiteral("night-watch"), QSize(640, 500), QSize(1100, 1040));
}

TEST_F(DesignScreens, NativePro) {
    shootDesign(QStringLiteral("nativePro"), QStringLiteral("native-pro"), QSize(700, 440), QSize(1100, 1040));
}

TEST_F(DesignScreens, NativeProDetailForEachKindOfVault) {
    const Mix mix = stageMix();
    HomeStore::BusyMark mark(*home, mix.busy.id);
    MainWindow& w = openDesign(QStringLiteral("nativePro"));
    auto* np = qobject_cast<NativeProHome*>(w.design());
    ASSERT_NE(np, nullptr);
    const QList<std::pair<Vault, QString>> shots{
        {mix.locked, QStringLiteral("standard-locked")}, {mix.open, QStringLiteral("standard-open")},
        {mix.pocket, QStringLiteral("pocket-open")},     {mix.busy, QStringLiteral("busy")},
        {mix.full, QStringLiteral("nearly-full")},       {mix.moved, QStringLiteral("file-missing")},
        {mix.away, QStringLiteral("disk-away")},
    };
    for (const auto& [vault, name] : shots) {
        QTest::mouseClick(np->row(vault.id), Qt::LeftButton);
        ASSERT_EQ(np->detailPane()->shownVault()->id, vault.id);
        expectShippable(&w, QStringLiteral("native-pro-detail-") + name);
    }
    QCoro::waitFor(home->lock(mix.pocket, false, LockReason::manual));
    QTest::mouseClick(np->row(mix.pocket.id), Qt::LeftButton);
    expectShippable(&w, QStringLiteral("native-pro-detail-pocket-locked"));
}

TEST_F(DesignScreens, NativeProSidebarWithMoreVaultsThanFit) {
    for (int i = 0; i < 30; ++i)
        standardVault(QStringLiteral("Project %1").arg(i + 1));
    startHomeStore();
    MainWindow& w = openDesign(QStringLiteral("nativePro"));
    resizeTo(w, QSize(700, 440));
    expectShippable(&w, QStringLiteral("native-pro-many"));
    auto* np = qobject_cast<NativeProHome*>(w.design());
    np->sidebarList()->ensureWidgetVisible(np->rows().last());
    expectShippable(&w, QStringLiteral("native-pro-many-scrolled"));
}

} // namespace
} // namespace larkhold::test
