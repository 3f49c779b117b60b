#include "MenuBarModel.h"

#include "fakes/store/StoreFixture.h"

#include <QCoroTask>

namespace larkhold::test {
namespace {

using Kind = TrayMenuEntry::Kind;

class MenuBar : public StoreFixture {
protected:
    // The file states as a finished look would give them.
    FileStateOf lookNow() const {
        return [this](const QUuid& id) {
            for (const Vault& vault : store->vaults()) {
                if (vault.id == id)
                    return probeVaultFile(vault.bundlePath);
            }
            return VaultFileState::present;
        };
    }
    QStringList titles() const {
        QStringList list;
        for (const TrayMenuEntry& entry : trayMenuEntries(*store, lookNow()))
            list.append(entry.kind == Kind::separator ? QStringLiteral("—") : entry.title);
        return list;
    }
    const TrayMenuEntry& entryFor(const QList<TrayMenuEntry>& entries, Kind kind) {
        for (const TrayMenuEntry& entry : entries) {
            if (entry.kind == kind)
                return entry;
        }
        throw std::logic_error("no such entry");
    }
    // A vault whose file is gone from a disk that is here.
    Vault movedVault(const QString& name) {
        Vault vault = newRecord(name, VaultKind::standard, QStringLiteral(".sparsebundle"), 1024);
        listed.append(vault);
        return vault;
    }
    // A vault on a removable disk that is not connected.
    Vault unpluggedVault(const QString& name) {
        Vault vault = newRecord(name, VaultKind::standard, QStringLiteral(".sparsebundle"), 1024);
        vault.bundlePath = QStringLiteral("/media/nobody-%1/Missing Disk/%2.sparsebundle")
                               .arg(QUuid::createUuid().toString(QUuid::WithoutBraces), name);
        listed.append(vault);
        return vault;
    }
};

TEST_F(MenuBar, EmptyListReadsAsTheDefaultMenu) {
    startStore();
    EXPECT_EQ(titles(), (QStringList{"No vaults yet", "—", "Lock All", "—", "Add Existing Vault…", "—", "Open Larkhold",
                                     "Settings…", "What’s New…", "About…", "—", "Quit Larkhold"}));
    const QList<TrayMenuEntry> entries = trayMenuEntries(*store, lookNow());
    EXPECT_FALSE(entryFor(entries, Kind::noVaults).enabled);
    EXPECT_FALSE(entryFor(entries, Kind::lockAll).enabled);
}

TEST_F(MenuBar, EachVaultGetsTheEntryOfItsState) {
    const Vault open = standardVault(QStringLiteral("Open"));
    const Vault locked = standardVault(QStringLiteral("Locked"));
    const Vault moved = movedVault(QStringLiteral("Moved"));
    const Vault unplugged = unpluggedVault(QStringLiteral("Away"));
    const Vault pocket = pocketVault(QStringLiteral("Pocket"), QStringLiteral("pw"));
    startStore();
    ASSERT_TRUE(unlockWith(open, QStringLiteral("pw")));
    ASSERT_TRUE(unlockWith(pocket, QStringLiteral("pw")));

    const QList<TrayMenuEntry> entries = trayMenuEntries(*store, lookNow());
    ASSERT_GE(entries.size(), 5);
    EXPECT_EQ(entries[0].kind, Kind::openVault);
    EXPECT_EQ(entries[0].title, QStringLiteral("Open"));
    EXPECT_EQ(entries[0].openTitle, QStringLiteral("Open in File Manager"));
    EXPECT_EQ(entries[0].symbol, QStringLiteral("lock.open.fill"));
    EXPECT_EQ(entries[1].kind, Kind::unlockVault);
    EXPECT_EQ(entries[1].title, QStringLiteral("Unlock “Locked”"));
    EXPECT_EQ(entries[1].symbol, QStringLiteral("lock.fill"));
    EXPECT_EQ(entries[2].kind, Kind::locateVault);
    EXPECT_EQ(entries[2].title, QStringLiteral("Locate “Moved”"));
    EXPECT_EQ(entries[2].symbol, QStringLiteral("folder.badge.questionmark"));
    EXPECT_EQ(entries[3].kind, Kind::unlockVault);
    EXPECT_EQ(entries[3].title, QStringLiteral("“Away” — waiting for disk"));
    EXPECT_EQ(entries[3].symbol, QStringLiteral("externaldrive.badge.questionmark"));
    EXPECT_EQ(entries[4].kind, Kind::openVault);
    EXPECT_EQ(entries[4].openTitle, QStringLiteral("Open"));
    EXPECT_TRUE(entryFor(entries, Kind::lockAll).enabled);
    for (const TrayMenuEntry& entry : entries)
        EXPECT_NE(entry.kind, Kind::noVaults);
}

TEST_F(MenuBar, PanelRowsTellStateCaptionAndControls) {
    const Vault open = standardVault(QStringLiteral("Open"));
    const Vault locked = standardVault(QStringLiteral("Locked"));
    const Vault moved = movedVault(QStringLiteral("Moved"));
    const Vault unplugged = unpluggedVault(QStringLiteral("Away"));
    const Vault pocket = pocketVault(QStringLiteral("Pocket"), QStringLiteral("pw"));
    startStore();
    ASSERT_TRUE(unlockWith(open, QStringLiteral("pw")));

    PanelContent content = panelContent(*store, lookNow());
    EXPECT_TRUE(content.showsLockAll);
    ASSERT_EQ(content.rows.size(), 5);
    EXPECT_EQ(content.rows[0].controls, VaultCardModel::Controls::openVault);
    EXPECT_EQ(content.rows[0].openTooltip, QStringLiteral("Open in File Manager"));
    EXPECT_EQ(content.rows[0].usage, UsageColor::green);
    EXPECT_EQ(content.rows[1].controls, VaultCardModel::Controls::unlock);
    EXPECT_EQ(content.rows[1].usage, UsageColor::accent);
    EXPECT_FALSE(content.rows[1].captionWarning);
    EXPECT_EQ(content.rows[2].controls, VaultCardModel::Controls::locate);
    EXPECT_EQ(content.rows[2].caption, QStringLiteral("Vault file not found"));
    EXPECT_TRUE(content.rows[2].captionWarning);
    EXPECT_TRUE(content.rows[2].offersLocate);
    EXPECT_EQ(content.rows[3].controls, VaultCardModel::Controls::unlock) << "an unplugged disk still offers Unlock";
    EXPECT_EQ(content.rows[3].caption, QStringLiteral("Waiting for disk"));
    EXPECT_FALSE(content.rows[3].offersLocate);
    EXPECT_TRUE(content.rows[4].sealed);
    EXPECT_EQ(content.rows[4].caption, QStringLiteral("Pocket Vault · 1 MB"));

    {
        TestStore::BusyMark busy(*store, locked.id);
        EXPECT_EQ(panelContent(*store, lookNow()).rows[1].controls, VaultCardModel::Controls::progress);
    }
    QCoro::waitFor(store->lockAll(false, LockReason::manual));
    EXPECT_FALSE(panelContent(*store, lookNow()).showsLockAll);
}

TEST_F(MenuBar, NoVaultsMeansNoRowsAndNoLockAll) {
    startStore();
    const PanelContent content = panelContent(*store, lookNow());
    EXPECT_TRUE(content.rows.isEmpty());
    EXPECT_FALSE(content.showsLockAll);
}

TEST(PanelGauge, ColourThresholdsAreInclusiveAndTheLimitIsAtLeastOneMegabyte) {
    const qint64 limit = 10240; // 10,737,418,240 bytes
    EXPECT_EQ(usageColor(Capacity::usedFraction(8'589'934'591, limit), false), UsageColor::accent);
    EXPECT_EQ(usageColor(Capacity::usedFraction(8'589'934'592, limit), false), UsageColor::orange);
    EXPECT_EQ(usageColor(Capacity::usedFraction(10'200'547'327, limit), true), UsageColor::orange);
    EXPECT_EQ(usageColor(Capacity::usedFraction(10'200'547'328, limit), true), UsageColor::red);
    EXPECT_EQ(usageColor(0.5, true), UsageColor::green);
    EXPECT_DOUBLE_EQ(Capacity::usedFraction(524'288, 0), 0.5);
    EXPECT_DOUBLE_EQ(Capacity::usedFraction(3 * 1'048'576, 1), 3.0) << "not clamped here";
}

class UnlockFromMenuBar : public MenuBar {
protected:
    void run(const Vault& vault) {
        QCoro::waitFor(unlockFromMenuBar(*store, vault, [this](const Vault& v) { prompted.append(v.id); }));
    }
    QList<QUuid> prompted;
};

TEST_F(UnlockFromMenuBar, ASavedPasswordUnlocksWithoutAWindow) {
    const Vault vault = standardVault(QStringLiteral("Saved"));
    startStore();
    secrets.savePassword(QStringLiteral("pw"), vault.id);
    run(vault);
    EXPECT_TRUE(store->isUnlocked(vault));
    EXPECT_TRUE(prompted.isEmpty());
}

TEST_F(UnlockFromMenuBar, ATypedPasswordOpensTheStandalonePromptInsteadOfTheSheet) {
    const Vault vault = standardVault(QStringLiteral("Typed"));
    startStore();
    run(vault);
    EXPECT_EQ(prompted, QList<QUuid>{vault.id});
    EXPECT_FALSE(store->passwordPromptVault().has_value()) << "the main window must not show its sheet too";
}

TEST_F(UnlockFromMenuBar, APromptLeftOverForAnotherVaultIsNotTaken) {
    const Vault row = standardVault(QStringLiteral("Row"));
    const Vault other = standardVault(QStringLiteral("Other"));
    startStore();
    ASSERT_TRUE(unlockWith(row, QStringLiteral("pw"))); // the request for the row does nothing now
    store->setPasswordPromptVault(other);
    run(row);
    EXPECT_TRUE(prompted.isEmpty()) << "the other vault's prompt must not open from this row";
    ASSERT_TRUE(store->passwordPromptVault().has_value());
    EXPECT_EQ(store->passwordPromptVault()->id, other.id);
}

} // namespace
} // namespace larkhold::test
