#include "BlockingAwait.h"
#include "FakeTools.h"
#include "PocketSession.h"
#include "PocketStorage.h"
#include "PocketVaultError.h"
#include "fakes/store/StoreFixture.h"

#include <QThreadPool>
#include <sys/stat.h>

namespace larkhold::test {
namespace {

// The store with the disk-image tools answering from canned replies (FakeTools).
class VaultManage : public StoreFixture {
protected:
    VaultManage() {
        disk = std::make_unique<DiskImage>(fake.tools());
        // Moves to the Trash land in the scratch folder, never in the user's own Trash.
        QDir().mkpath(dir.filePath(QStringLiteral("xdg")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("xdg"))));
        fake.respond(QStringLiteral("du--sk"), "64\t/x\n");
    }

    ~VaultManage() override {
        // Adding and locating start a refresh that nobody awaits and that still uses the store:
        // let it finish before the store goes.
        int idle = 0;
        waitUntil([&] {
            const bool quiet =
                DiskImage::runningTools() == 0 && QThreadPool::globalInstance()->activeThreadCount() == 0;
            idle = quiet ? idle + 1 : 0;
            return idle > 20;
        });
    }

    QString vaultsFolder() const { return dir.filePath(QStringLiteral("vaults")); }
    QString inVaults(const QString& name) const { return QDir(vaultsFolder()).filePath(name); }

    // A sparse-bundle folder, with an Info.plist holding `size` when one is given.
    QString bundle(const QString& fileName, std::optional<qint64> size = std::nullopt) const {
        return size ? bundleWithSize(fileName, "<integer>" + QByteArray::number(*size) + "</integer>")
                    : bundleWithSize(fileName, {});
    }
    // A sparse-bundle folder whose Info.plist gives `sizeValue` (a property-list value) as its size.
    QString bundleWithSize(const QString& fileName, const QByteArray& sizeValue) const {
        const QString path = inVaults(fileName);
        QDir().mkpath(path);
        if (!sizeValue.isEmpty()) {
            QFile plist(QDir(path).filePath(QStringLiteral("Info.plist")));
            EXPECT_TRUE(plist.open(QIODevice::WriteOnly));
            plist.write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>size</key>" + sizeValue +
                        "</dict></plist>");
        }
        return path;
    }

    QString pocketFile(const QString& fileName, int tierMB = 1, const QString& password = QStringLiteral("pw")) const {
        const QString path = inVaults(fileName);
        PocketStorage::create(path, tierMB, password, false);
        return path;
    }

    std::optional<Vault> named(const QString& name) const {
        for (const Vault& v : store->vaults())
            if (v.name == name)
                return v;
        return std::nullopt;
    }

    // Opens a standard vault through a canned attach that reports `mountPoint`.
    void openStandard(const Vault& vault, const QString& mountPoint = QStringLiteral("/media/fake")) {
        fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({mountPoint}));
        ASSERT_TRUE(unlockWith(vault, QStringLiteral("pw")));
        QFile::remove(fake.path(QStringLiteral("calls.log")));
    }

    FakeTools fake;
};

TEST_F(VaultManage, AddExistingTakesKindNameAndLimitFromTheFile) {
    startStore();
    awaitTask(store->addExistingVault(bundle(QStringLiteral("Small.SparseBundle"), 10'000'000) + QLatin1Char('/')));
    awaitTask(store->addExistingVault(bundle(QStringLiteral("Edge.sparsebundle"), 16'777'216)));
    awaitTask(store->addExistingVault(bundle(QStringLiteral("Big.sparsebundle"), 53'687'091'200)));
    awaitTask(store->addExistingVault(bundle(QStringLiteral("Bare.sparsebundle"))));
    awaitTask(store->addExistingVault(pocketFile(QStringLiteral("Notes.nosync"), 5)));
    awaitTask(store->addExistingVault(pocketFile(QStringLiteral("Diary.bin"))));
    QFile plain(inVaults(QStringLiteral("Plain.nosync")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("not a pocket vault");
    plain.close();
    awaitTask(store->addExistingVault(plain.fileName()));
    // A size written as a real number counts when it is a whole number of bytes; an absurd one
    // reads like a missing size.
    awaitTask(
        store->addExistingVault(bundleWithSize(QStringLiteral("Real.sparsebundle"), "<real>53687091200.0</real>")));
    awaitTask(store->addExistingVault(bundleWithSize(QStringLiteral("Absurd.sparsebundle"), "<real>1e300</real>")));
    awaitTask(
        store->addExistingVault(bundleWithSize(QStringLiteral("Text.sparsebundle"), "<string>1073741824</string>")));
    EXPECT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();

    const auto limit = [&](const char* name) { return named(QString::fromLatin1(name)).value_or(Vault{}).maxSizeMB; };
    EXPECT_EQ(limit("Small"), 16);
    EXPECT_EQ(limit("Edge"), 16);
    EXPECT_EQ(limit("Big"), 51200);
    EXPECT_EQ(limit("Bare"), 1024);
    EXPECT_EQ(limit("Plain"), 1024);
    EXPECT_EQ(limit("Real"), 51200);
    EXPECT_EQ(limit("Absurd"), 1024);
    EXPECT_EQ(limit("Text"), 1024);
    EXPECT_EQ(named(QStringLiteral("Small"))->bundlePath, inVaults(QStringLiteral("Small.SparseBundle")));

    const Vault notes = *named(QStringLiteral("Notes"));
    EXPECT_EQ(notes.kind, VaultKind::pocket);
    EXPECT_EQ(notes.maxSizeMB, 5);
    EXPECT_TRUE(notes.excludedFromCloud);
    EXPECT_EQ(named(QStringLiteral("Diary"))->kind, VaultKind::pocket);
    EXPECT_EQ(named(QStringLiteral("Plain"))->kind, VaultKind::standard);
    EXPECT_TRUE(named(QStringLiteral("Plain"))->excludedFromCloud);
    EXPECT_TRUE(notes.openInFinderAfterUnlock);
    EXPECT_EQ(VaultList(dataFolder()).load().vaults.size(), 10);
}

TEST_F(VaultManage, AddExistingRefusesWhatIsNoVaultOrAlreadyListed) {
    startStore();
    const QString tax = bundle(QStringLiteral("Tax.sparsebundle"));
    awaitTask(store->addExistingVault(tax));
    ASSERT_EQ(store->vaults().size(), 1);

    const QString link = inVaults(QStringLiteral("Link.sparsebundle"));
    ASSERT_TRUE(QFile::link(tax, link));
    for (const QString& again : {tax, link}) {
        store->clearErrorMessage();
        awaitTask(store->addExistingVault(again));
        EXPECT_EQ(store->errorMessage(), QStringLiteral("That vault is already in the list."));
    }
    // A link whose target is gone names no vault.
    const QString dangling = inVaults(QStringLiteral("Dangling.sparsebundle"));
    ASSERT_TRUE(QFile::link(inVaults(QStringLiteral("Gone.sparsebundle")), dangling));
    for (const QString& wrong : {inVaults(QStringLiteral("Gone.sparsebundle")), vaultsFolder(), dangling}) {
        store->clearErrorMessage();
        awaitTask(store->addExistingVault(wrong));
        EXPECT_EQ(store->errorMessage(),
                  QStringLiteral("Choose a vault file (.sparsebundle, .pocketvault or .nosync)."));
    }
    EXPECT_EQ(store->vaults().size(), 1);

    // Two adds of one file at once, the second through a link, list it once.
    const QString twice = bundle(QStringLiteral("Twice.sparsebundle"));
    const QString twiceLink = inVaults(QStringLiteral("TwiceLink.sparsebundle"));
    ASSERT_TRUE(QFile::link(twice, twiceLink));
    store->clearErrorMessage();
    QCoro::Task<StoreOutcome> first = store->addExistingVault(twice);
    QCoro::Task<StoreOutcome> second = store->addExistingVault(twiceLink);
    const StoreOutcome firstOutcome = awaitTask(std::move(first));
    const StoreOutcome secondOutcome = awaitTask(std::move(second));
    EXPECT_NE(firstOutcome.ok, secondOutcome.ok);
    EXPECT_EQ(store->errorMessage(), QStringLiteral("That vault is already in the list."));
    EXPECT_EQ(store->vaults().size(), 2);
}

TEST_F(VaultManage, RelocateBindsTheRecordToTheChosenFile) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    const Vault other = standardVault(QStringLiteral("Other"));
    Vault notes;
    notes.id = QUuid::createUuid();
    notes.kind = VaultKind::pocket;
    notes.name = QStringLiteral("Notes");
    notes.bundlePath = pocketFile(QStringLiteral("Notes.pocketvault"));
    notes.maxSizeMB = 1;
    listed.append(notes);
    startStore();

    awaitTask(store->relocate(tax, tax.bundlePath));
    EXPECT_TRUE(store->errorMessage().isEmpty());
    EXPECT_EQ(activityTexts().first(), QStringLiteral("Tax located"));

    awaitTask(store->relocate(tax, bundle(QStringLiteral("Holiday.nosync"))));
    EXPECT_EQ(store->vault(tax.id)->name, QStringLiteral("Holiday"));
    EXPECT_TRUE(store->vault(tax.id)->excludedFromCloud);
    awaitTask(store->relocate(tax, bundle(QStringLiteral("Holiday.sparsebundle"))));
    EXPECT_FALSE(store->vault(tax.id)->excludedFromCloud);

    awaitTask(store->relocate(tax, other.bundlePath));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("“Other” is already using that file."));
    store->clearErrorMessage();
    awaitTask(store->relocate(tax, pocketFile(QStringLiteral("Pocket.nosync"))));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Choose a vault file (.sparsebundle or .nosync)."));
    store->clearErrorMessage();
    awaitTask(store->relocate(notes, bundle(QStringLiteral("Folder.pocketvault"))));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Choose the Pocket Vault file (.pocketvault or .nosync)."));

    // The file found may be of another size tier; the record follows the file.
    awaitTask(store->relocate(notes, pocketFile(QStringLiteral("Bigger.pocketvault"), 5)));
    EXPECT_EQ(store->vault(notes.id)->maxSizeMB, 5);
    EXPECT_EQ(store->vault(notes.id)->name, QStringLiteral("Bigger"));
}

TEST_F(VaultManage, ForgetLocksAnOpenVaultFirstAndKeepsItWhenTheLockFails) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    secrets.savePassword(QStringLiteral("pw"), tax.id);
    openStandard(tax);

    fake.respond(QStringLiteral("hdiutil-detach"), {}, "Resource busy\n", 16);
    awaitTask(store->forget(tax));
    EXPECT_TRUE(
        store->errorMessage().endsWith(QStringLiteral(" is in use — close the files open in it, then lock again.")));
    EXPECT_TRUE(store->isUnlocked(tax));
    EXPECT_TRUE(store->vault(tax.id));
    EXPECT_TRUE(secrets.saved(tax.id));

    fake.respond(QStringLiteral("hdiutil-detach"), {});
    awaitTask(store->forget(tax));
    EXPECT_FALSE(store->isUnlocked(tax));
    EXPECT_FALSE(store->vault(tax.id));
    EXPECT_FALSE(secrets.saved(tax.id));
    EXPECT_TRUE(QFileInfo::exists(tax.bundlePath));
    EXPECT_TRUE(VaultList(dataFolder()).load().vaults.isEmpty());
}

TEST_F(VaultManage, CloudSettingRenamesTheClosedVaultBothWays) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    // The list changed after the caller took its copy; the record is still found by id.
    store->updatePasswordHint(tax, QStringLiteral("hint"));

    awaitTask(store->setCloudExclusion(tax, true));
    ASSERT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();
    const QString hidden = inVaults(QStringLiteral("Tax.nosync"));
    EXPECT_EQ(store->vault(tax.id)->bundlePath, hidden);
    EXPECT_TRUE(store->vault(tax.id)->excludedFromCloud);
    EXPECT_TRUE(QFileInfo(hidden).isDir());

    // A file already holding the name back is never replaced.
    bundle(QStringLiteral("Tax.sparsebundle"));
    awaitTask(store->setCloudExclusion(tax, false));
    EXPECT_FALSE(store->errorMessage().isEmpty());
    EXPECT_EQ(store->vault(tax.id)->bundlePath, hidden);
    EXPECT_TRUE(QFileInfo(hidden).isDir());

    QDir(inVaults(QStringLiteral("Tax.sparsebundle"))).removeRecursively();
    store->clearErrorMessage();
    awaitTask(store->setCloudExclusion(tax, false));
    EXPECT_EQ(store->vault(tax.id)->bundlePath, tax.bundlePath);
    EXPECT_FALSE(store->vault(tax.id)->excludedFromCloud);

    openStandard(tax);
    awaitTask(store->setCloudExclusion(tax, true));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Lock “Tax” first, then change its cloud sync setting."));
    EXPECT_EQ(store->vault(tax.id)->bundlePath, tax.bundlePath);
}

TEST_F(VaultManage, CreatePocketVaultOpensItOrRefusesATakenOrUnsafeName) {
    startStore();
    bundle(QStringLiteral("Notes.sparsebundle"));
    awaitTask(store->createPocketVault(QStringLiteral("Notes"), vaultsFolder(), 1, QStringLiteral("pw"), false, false,
                                       std::nullopt));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("A vault named “Notes” already exists in that folder."));
    EXPECT_FALSE(QFileInfo::exists(inVaults(QStringLiteral("Notes.pocketvault"))));

    for (const QString& unsafe : {QStringLiteral("../Escaped"), QStringLiteral("a/b"), QStringLiteral(".."),
                                  QStringLiteral("."), QString(), QString(300, QLatin1Char('x'))}) {
        store->clearErrorMessage();
        awaitTask(
            store->createPocketVault(unsafe, vaultsFolder(), 1, QStringLiteral("pw"), false, false, std::nullopt));
        EXPECT_FALSE(store->errorMessage().isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("Escaped.pocketvault"))));
    EXPECT_TRUE(store->vaults().isEmpty());

    store->clearErrorMessage();
    awaitTask(store->createPocketVault(QStringLiteral("Diary"), vaultsFolder(), 1, QStringLiteral("pw"), true, true,
                                       QStringLiteral("the usual")));
    ASSERT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();
    const Vault diary = *named(QStringLiteral("Diary"));
    EXPECT_EQ(diary.kind, VaultKind::pocket);
    EXPECT_EQ(diary.bundlePath, inVaults(QStringLiteral("Diary.nosync")));
    EXPECT_EQ(diary.passwordHint, QStringLiteral("the usual"));
    EXPECT_TRUE(diary.lastOpenedAt);
    EXPECT_TRUE(store->pocketSession(diary.id));
    EXPECT_EQ(host.shownPocketWindows, QList<QUuid>{diary.id});
    EXPECT_EQ(activityTexts().first(), QStringLiteral("Diary unlocked · password"));
    EXPECT_EQ(secrets.saved(diary.id), QStringLiteral("pw"));
}

TEST_F(VaultManage, ResizeAndCompactRecordTheirResultsAndClearTheBusyMark) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    store->updatePasswordHint(tax, QStringLiteral("changed meanwhile"));

    awaitTask(store->resize(tax, 2048, QStringLiteral("pw")));
    EXPECT_EQ(store->vault(tax.id)->maxSizeMB, 2048);
    EXPECT_FALSE(store->sizesOnDisk().contains(tax.id));

    fake.respond(QStringLiteral("hdiutil-resize"), {}, "hdiutil: resize failed - too small\n", 91);
    awaitTask(store->resize(tax, 16, QStringLiteral("pw")));
    EXPECT_TRUE(store->errorMessage().startsWith(QStringLiteral("The new limit is smaller")));
    EXPECT_EQ(store->vault(tax.id)->maxSizeMB, 2048);

    awaitTask(store->compact(tax, QStringLiteral("pw")));
    EXPECT_EQ(store->sizesOnDisk().value(tax.id), 64 * 1024);
    EXPECT_TRUE(store->busyVaults().isEmpty());

    // An open vault is not refused: what the tool says about it becomes the message.
    openStandard(tax);
    store->clearErrorMessage();
    fake.respond(QStringLiteral("hdiutil-compact"), {}, "hdiutil: compact failed - Resource busy\n", 16);
    awaitTask(store->compact(tax, QStringLiteral("pw")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("“Tax” is in use — close the files open in it, then try again."));
    EXPECT_TRUE(store->isUnlocked(tax));
}

TEST_F(VaultManage, RenameOfAStandardVaultRenamesVolumeAndFile) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QStringLiteral("/media/Tax")}));
    fake.respond(QStringLiteral("hdiutil-info"),
                 FakeTools::infoOutput({{tax.bundlePath, QStringLiteral("/media/Taxes")}}));

    // The list changed after the caller took its copy; the record is still found by id.
    store->updatePasswordHint(tax, QStringLiteral("hint"));

    awaitTask(store->rename(tax, QStringLiteral("Taxes"), QStringLiteral("pw")));
    ASSERT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();
    EXPECT_TRUE(fake.arguments(QStringLiteral("hdiutil-attach")).contains(QStringLiteral("-nobrowse")));
    EXPECT_EQ(fake.arguments(QStringLiteral("diskutil-rename")), (QStringList{"rename", "/media/Tax", "Taxes"}));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-detach")), (QStringList{"detach", "/media/Taxes"}));
    const QString renamed = inVaults(QStringLiteral("Taxes.sparsebundle"));
    EXPECT_TRUE(QFileInfo(renamed).isDir());
    EXPECT_EQ(store->vault(tax.id)->bundlePath, renamed);
    EXPECT_EQ(store->vault(tax.id)->name, QStringLiteral("Taxes"));
    EXPECT_EQ(store->vault(tax.id)->passwordHint, QStringLiteral("hint"));
    EXPECT_TRUE(store->busyVaults().isEmpty());
    EXPECT_FALSE(store->isUnlocked(tax));
}

TEST_F(VaultManage, RenameThatLeavesTheImageAttachedKeepsItInReachOfLockAll) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QStringLiteral("/media/Tax")}));
    fake.respond(QStringLiteral("hdiutil-info"),
                 FakeTools::infoOutput({{tax.bundlePath, QStringLiteral("/media/Taxes")}}));
    fake.respond(QStringLiteral("hdiutil-detach"), {}, "Resource busy\n", 16);

    // The volume has its new name but will not let go: the file keeps its name, and the hidden
    // volume counts as an open vault rather than one the store knows nothing of.
    awaitTask(store->rename(tax, QStringLiteral("Taxes"), QStringLiteral("pw")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("“Tax” is in use — close the files open in it, then lock again."));
    EXPECT_TRUE(QFileInfo(tax.bundlePath).isDir());
    EXPECT_EQ(store->vault(tax.id)->name, QStringLiteral("Tax"));
    EXPECT_EQ(store->mountPoints().value(tax.id), QStringLiteral("/media/Taxes"));

    fake.respond(QStringLiteral("hdiutil-detach"), {});
    awaitTask(store->lockAll(true, LockReason::panicShortcut));
    EXPECT_FALSE(store->isUnlocked(tax));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-detach")), (QStringList{"detach", "/media/Taxes"}));

    // Attached without a reported mount point: found through the listing all the same.
    store->clearErrorMessage();
    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QString()}));
    fake.respond(QStringLiteral("hdiutil-info"),
                 FakeTools::infoOutput({{tax.bundlePath, QStringLiteral("/media/Tax")}}));
    awaitTask(store->rename(tax, QStringLiteral("Taxes"), QStringLiteral("pw")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Vault unlocked but no mount point was reported."));
    EXPECT_EQ(store->mountPoints().value(tax.id), QStringLiteral("/media/Tax"));
}

TEST_F(VaultManage, FileMovesAndRekeyingWaitUntilABusyVaultIsFree) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    const Vault notes = pocketVault(QStringLiteral("Notes"), QStringLiteral("pw"));
    startStore();
    {
        // As while an unlock of these vaults is still under way.
        TestStore::BusyMark taxBusy(*store, tax.id);
        TestStore::BusyMark notesBusy(*store, notes.id);

        awaitTask(store->rename(tax, QStringLiteral("Taxes"), QStringLiteral("pw")));
        EXPECT_EQ(store->errorMessage(), QStringLiteral("Wait until “Tax” is no longer busy, then rename it."));
        store->clearErrorMessage();
        awaitTask(store->setCloudExclusion(notes, true));
        EXPECT_EQ(store->errorMessage(),
                  QStringLiteral("Wait until “Notes” is no longer busy, then change its cloud sync setting."));
        store->clearErrorMessage();
        awaitTask(store->changePassword(notes, QStringLiteral("pw"), QStringLiteral("new")));
        EXPECT_EQ(store->errorMessage(),
                  QStringLiteral("Wait until “Notes” is no longer busy, then change its password."));
    }
    EXPECT_TRUE(fake.calls().isEmpty());
    EXPECT_EQ(store->vault(tax.id)->bundlePath, tax.bundlePath);
    EXPECT_EQ(store->vault(notes.id)->bundlePath, notes.bundlePath);
    EXPECT_TRUE(QFileInfo::exists(notes.bundlePath));
    awaitTask(store->verifyPassword(notes, QStringLiteral("pw")));
    EXPECT_TRUE(store->busyVaults().isEmpty());
}

TEST_F(VaultManage, RenameRefusalsAndFailuresLeaveTheVaultAsItWas) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    secrets.savePassword(QStringLiteral("saved"), tax.id);
    const auto failsWith = [&](const QString& name, const QString& message) {
        store->clearErrorMessage();
        awaitTask(store->rename(*store->vault(tax.id), name, QStringLiteral("pw")));
        EXPECT_EQ(store->errorMessage(), message) << name.toStdString();
        EXPECT_EQ(store->vault(tax.id)->bundlePath, tax.bundlePath);
        EXPECT_TRUE(QFileInfo(tax.bundlePath).isDir());
    };

    failsWith(QStringLiteral("Tax"), QStringLiteral("A vault named “Tax” already exists in that folder."));
    failsWith(QStringLiteral("../Tax2"),
              QStringLiteral("A vault name can’t be empty, “.” or “..”, and can’t contain “/”."));

    fake.respond(QStringLiteral("hdiutil-attach"), {}, "hdiutil: attach failed - Authentication error\n", 80);
    failsWith(QStringLiteral("Taxes"), QStringLiteral("Wrong password."));
    EXPECT_FALSE(fake.wasRun(QStringLiteral("diskutil-rename")));
    EXPECT_EQ(secrets.saved(tax.id), QStringLiteral("saved"));

    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QStringLiteral("/media/Tax")}));
    fake.respond(QStringLiteral("diskutil-rename"), {}, "volume busy\n", 16);
    failsWith(QStringLiteral("Taxes"), QStringLiteral("“Tax” is in use — close the files open in it, then try again."));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-detach")), (QStringList{"detach", "/media/Tax"}));

    openStandard(tax);
    failsWith(QStringLiteral("Taxes"), QStringLiteral("Lock “Tax” first, then rename it."));
    EXPECT_FALSE(fake.wasRun(QStringLiteral("hdiutil-attach")));
}

TEST_F(VaultManage, RenameOfAPocketVaultMovesOnlyTheFile) {
    const Vault notes = pocketVault(QStringLiteral("Notes"), QStringLiteral("pw"));
    Vault bare = pocketVault(QStringLiteral("Bare"), QStringLiteral("pw"));
    const QString withoutExtension = inVaults(QStringLiteral("Bare"));
    ASSERT_TRUE(QFile::rename(bare.bundlePath, withoutExtension));
    listed.last().bundlePath = withoutExtension;
    bare.bundlePath = withoutExtension;
    startStore();

    awaitTask(store->rename(notes, QStringLiteral("Jottings"), QString()));
    EXPECT_EQ(store->vault(notes.id)->bundlePath, inVaults(QStringLiteral("Jottings.pocketvault")));
    awaitTask(store->rename(bare, QStringLiteral("Plain"), QString()));
    EXPECT_EQ(store->vault(bare.id)->bundlePath, inVaults(QStringLiteral("Plain")));
    EXPECT_TRUE(QFileInfo::exists(inVaults(QStringLiteral("Plain"))));
    EXPECT_TRUE(fake.calls().isEmpty());
}

TEST_F(VaultManage, ChangePasswordReplacesTheSavedPasswordOnlyWhenItWasTheOldOne) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    const Vault notes = pocketVault(QStringLiteral("Notes"), QStringLiteral("main"));
    PocketStorage::open(notes.bundlePath, QStringLiteral("main"), false)
        .storage->setUpSecondPassword(QStringLiteral("second"), {});
    startStore();

    secrets.savePassword(QStringLiteral("something else"), tax.id);
    awaitTask(store->changePassword(tax, QStringLiteral("old"), QStringLiteral("new")));
    EXPECT_EQ(secrets.saved(tax.id), QStringLiteral("new"));

    secrets.savePassword(QStringLiteral("main"), notes.id);
    awaitTask(store->changePassword(notes, QStringLiteral("second"), QStringLiteral("second2")));
    ASSERT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();
    EXPECT_EQ(secrets.saved(notes.id), QStringLiteral("main"));
    awaitTask(store->changePassword(notes, QStringLiteral("main"), QStringLiteral("main2")));
    EXPECT_EQ(secrets.saved(notes.id), QStringLiteral("main2"));

    awaitTask(store->changePassword(notes, QStringLiteral("wrong"), QStringLiteral("x")));
    EXPECT_EQ(store->errorMessage(), PocketVaultError::badPassword().message());
    EXPECT_EQ(secrets.saved(notes.id), QStringLiteral("main2"));

    openStandard(tax);
    store->clearErrorMessage();
    awaitTask(store->changePassword(tax, QStringLiteral("new"), QStringLiteral("newer")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Lock “Tax” first, then change its password."));
    EXPECT_FALSE(fake.wasRun(QStringLiteral("hdiutil-chpass")));
}

TEST_F(VaultManage, VerifyPasswordReportsAWrongPasswordAlikeForBothKinds) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    const Vault notes = pocketVault(QStringLiteral("Notes"), QStringLiteral("main"));
    PocketStorage::open(notes.bundlePath, QStringLiteral("main"), false)
        .storage->setUpSecondPassword(QStringLiteral("second"), {});
    startStore();

    awaitTask(store->verifyPassword(notes, QStringLiteral("main")));
    awaitTask(store->verifyPassword(notes, QStringLiteral("second")));
    fake.respond(QStringLiteral("hdiutil-imageinfo"), {}, "Authentication error\n", 80);
    for (const Vault& vault : {notes, tax}) {
        try {
            awaitTask(store->verifyPassword(vault, QStringLiteral("wrong")));
            ADD_FAILURE() << "a wrong password was accepted";
        } catch (const DiskImageError& e) {
            EXPECT_TRUE(e.isBadPassword());
            EXPECT_EQ(e.message(), QStringLiteral("Wrong password."));
        }
    }

    QFile file(notes.bundlePath);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("x");
    file.close();
    try {
        awaitTask(store->verifyPassword(notes, QStringLiteral("main")));
        ADD_FAILURE() << "a file of no tier size was accepted";
    } catch (const PocketVaultError& e) {
        EXPECT_EQ(e.which(), PocketVaultError::Case::notAPocketVault);
    }
    EXPECT_TRUE(store->errorMessage().isEmpty());

    // Something that is not a regular file at the vault's path is refused without being opened:
    // opening a pipe would wait for a writer that never comes.
    ASSERT_TRUE(QFile::remove(notes.bundlePath));
    ASSERT_EQ(::mkfifo(QFile::encodeName(notes.bundlePath).constData(), 0600), 0);
    try {
        awaitTask(store->verifyPassword(notes, QStringLiteral("main")));
        ADD_FAILURE() << "a pipe was accepted as a vault file";
    } catch (const PocketVaultError& e) {
        EXPECT_EQ(e.which(), PocketVaultError::Case::notAPocketVault);
    }
}

TEST_F(VaultManage, DeleteMovesTheFileToTheTrashOnlyWhenTheVaultLocks) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    const Vault gone = standardVault(QStringLiteral("Gone"));
    const Vault moved = standardVault(QStringLiteral("Moved"));
    QDir(gone.bundlePath).removeRecursively();
    startStore();
    openStandard(tax);

    fake.respond(QStringLiteral("hdiutil-detach"), {}, "Resource busy\n", 16);
    awaitTask(store->deleteVault(tax));
    EXPECT_TRUE(
        store->errorMessage().endsWith(QStringLiteral(" is in use — close the files open in it, then lock again.")));
    EXPECT_TRUE(store->vault(tax.id));
    EXPECT_TRUE(QFileInfo(tax.bundlePath).isDir());

    fake.respond(QStringLiteral("hdiutil-detach"), {});
    store->clearErrorMessage();
    awaitTask(store->deleteVault(tax));
    EXPECT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();
    EXPECT_EQ(activityTexts().first(), QStringLiteral("Tax locked (manual)"));
    EXPECT_FALSE(store->vault(tax.id));
    EXPECT_FALSE(QFileInfo::exists(tax.bundlePath));
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("xdg/Trash/files/Tax.sparsebundle"))).isDir());

    awaitTask(store->deleteVault(gone));
    EXPECT_FALSE(store->errorMessage().isEmpty());
    EXPECT_TRUE(store->vault(gone.id));

    // The file is taken from where the list says it is now, not from the caller's older copy.
    store->clearErrorMessage();
    awaitTask(store->setCloudExclusion(moved, true));
    ASSERT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();
    awaitTask(store->deleteVault(moved));
    EXPECT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();
    EXPECT_FALSE(store->vault(moved.id));
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("xdg/Trash/files/Moved.nosync"))).isDir());
}

TEST_F(VaultManage, CreateStandardVaultListsItLockedWithTheChosenOptions) {
    startStore();
    const StoreOutcome plain = awaitTask(store->createStandardVault(QStringLiteral("Taxes"), vaultsFolder(), 2048,
                                                                    QStringLiteral("pw"), false, false, std::nullopt));
    EXPECT_TRUE(plain.ok) << plain.message.toStdString();
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-create")),
              (QStringList{"create", "-encryption", "AES-256", "-stdinpass", "-type", "SPARSEBUNDLE", "-fs", "APFS",
                           "-size", "2048m", "-volname", "Taxes", inVaults(QStringLiteral("Taxes.sparsebundle"))}));
    EXPECT_EQ(fake.input(QStringLiteral("hdiutil-create")), QByteArray("pw"));
    const Vault taxes = *named(QStringLiteral("Taxes"));
    EXPECT_EQ(taxes.kind, VaultKind::standard);
    EXPECT_EQ(taxes.bundlePath, inVaults(QStringLiteral("Taxes.sparsebundle")));
    EXPECT_EQ(taxes.maxSizeMB, 2048);
    EXPECT_EQ(taxes.createdAt, clock.now());
    EXPECT_FALSE(taxes.excludedFromCloud);
    EXPECT_FALSE(taxes.requireTouchID);
    EXPECT_TRUE(taxes.openInFinderAfterUnlock);
    EXPECT_FALSE(taxes.autoOpenAtLaunch);
    EXPECT_FALSE(taxes.lastOpenedAt);
    EXPECT_FALSE(taxes.passwordHint);
    EXPECT_FALSE(secrets.saved(taxes.id));
    EXPECT_FALSE(store->isUnlocked(taxes));
    EXPECT_TRUE(fake.wasRun(QStringLiteral("hdiutil-info"))) << "the list is refreshed";
    EXPECT_FALSE(fake.wasRun(QStringLiteral("hdiutil-attach")));

    const StoreOutcome hidden = awaitTask(store->createStandardVault(
        QStringLiteral("Diary"), vaultsFolder(), 512, QStringLiteral("secret"), true, true, QStringLiteral("usual")));
    EXPECT_TRUE(hidden.ok) << hidden.message.toStdString();
    const Vault diary = *named(QStringLiteral("Diary"));
    EXPECT_EQ(diary.bundlePath, inVaults(QStringLiteral("Diary.nosync")));
    EXPECT_TRUE(QFileInfo(diary.bundlePath).isDir());
    EXPECT_FALSE(QFileInfo::exists(inVaults(QStringLiteral("Diary.sparsebundle"))));
    EXPECT_TRUE(diary.excludedFromCloud);
    EXPECT_EQ(diary.passwordHint, QStringLiteral("usual"));
    EXPECT_EQ(secrets.saved(diary.id), QStringLiteral("secret"));
    EXPECT_EQ(VaultList(dataFolder()).load().vaults.size(), 2);
    EXPECT_TRUE(store->errorMessage().isEmpty());
}

TEST_F(VaultManage, CreateStandardVaultRefusesATakenNameAndReportsTheToolsFailure) {
    startStore();
    for (const QString& taken : {QStringLiteral("Taxes.sparsebundle"), QStringLiteral("Taxes.nosync")}) {
        bundle(taken);
        store->clearErrorMessage();
        const StoreOutcome refused = awaitTask(store->createStandardVault(
            QStringLiteral("Taxes"), vaultsFolder(), 2048, QStringLiteral("pw"), true, false, std::nullopt));
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.message, QStringLiteral("A vault named “Taxes” already exists in that folder."));
        EXPECT_EQ(store->errorMessage(), refused.message);
        QDir(inVaults(taken)).removeRecursively();
    }
    const StoreOutcome unsafe = awaitTask(store->createStandardVault(QStringLiteral("../Out"), vaultsFolder(), 2048,
                                                                     QStringLiteral("pw"), true, false, std::nullopt));
    EXPECT_FALSE(unsafe.ok);
    EXPECT_TRUE(fake.calls().isEmpty()) << "refused before any tool ran";

    fake.respond(QStringLiteral("hdiutil-create"), {}, "hdiutil: create failed - No space left on device\n", 81);
    const StoreOutcome failed = awaitTask(store->createStandardVault(QStringLiteral("Taxes"), vaultsFolder(), 2048,
                                                                     QStringLiteral("pw"), true, false, std::nullopt));
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.message,
              QStringLiteral("“Taxes” could not be created. The disk is full — make room on it, then try again."));
    EXPECT_TRUE(store->vaults().isEmpty());
    EXPECT_EQ(secrets.itemCount(), 0);
}

// The image exists and holds the password the user chose; when it cannot take its ".nosync" name
// it is listed under the name it has, and the user is told plainly that it syncs.
TEST_F(VaultManage, CreatedVaultThatCannotBeKeptOutOfCloudSyncIsListedAndReported) {
    startStore();
    // Something takes the ".nosync" name while the tool runs.
    fake.makesFolders(QStringLiteral("hdiutil-create"), {inVaults(QStringLiteral("Taxes.nosync"))});
    const StoreOutcome outcome = awaitTask(store->createStandardVault(QStringLiteral("Taxes"), vaultsFolder(), 2048,
                                                                      QStringLiteral("pw"), true, true, std::nullopt));
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.message.startsWith(
        QStringLiteral("The vault was created as “Taxes.sparsebundle”, but it could not be kept out of cloud sync: ")))
        << outcome.message.toStdString();
    EXPECT_EQ(store->errorMessage(), outcome.message);
    const std::optional<Vault> taxes = named(QStringLiteral("Taxes"));
    ASSERT_TRUE(taxes);
    EXPECT_EQ(taxes->bundlePath, inVaults(QStringLiteral("Taxes.sparsebundle")));
    EXPECT_FALSE(taxes->excludedFromCloud);
    EXPECT_TRUE(QFileInfo(taxes->bundlePath).isDir());
    EXPECT_EQ(secrets.saved(taxes->id), QStringLiteral("pw"));
}

TEST_F(VaultManage, OutcomesBelongToTheirOperation) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    fake.respond(QStringLiteral("hdiutil-compact"), {}, "hdiutil: compact failed - Resource busy\n", 16);
    const StoreOutcome failed = awaitTask(store->compact(tax, QStringLiteral("pw")));
    store->clearErrorMessage(); // as the alert's OK, or another operation, would
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.message, QStringLiteral("“Tax” is in use — close the files open in it, then try again."));

    fake.respond(QStringLiteral("hdiutil-compact"), {});
    store->setErrorMessage(QStringLiteral("an older failure still on show"));
    const StoreOutcome done = awaitTask(store->compact(tax, QStringLiteral("pw")));
    EXPECT_TRUE(done.ok);
    EXPECT_TRUE(done.message.isEmpty());

    EXPECT_TRUE(store->updatePasswordHint(tax, QStringLiteral("hint")));
    EXPECT_EQ(VaultList(dataFolder()).load().vaults.first().passwordHint, QStringLiteral("hint"));
    Vault gone = tax;
    gone.id = QUuid::createUuid();
    EXPECT_FALSE(store->updatePasswordHint(gone, QStringLiteral("x")));
}

TEST_F(VaultManage, ResizeBelowWhatTheVaultTakesIsRefusedBeforeAnyToolRuns) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    // 300 MiB taken, as the last measure found.
    fake.respond(QStringLiteral("du--sk"), "307200\t/x\n");
    awaitTask(store->refresh());
    ASSERT_EQ(store->sizesOnDisk().value(tax.id), 300 * 1'048'576);
    QFile::remove(fake.path(QStringLiteral("calls.log")));

    const StoreOutcome refused = awaitTask(store->resize(tax, 256, QStringLiteral("pw")));
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.message,
              QStringLiteral("The new limit is smaller than the space the files inside currently use. Delete files "
                             "first (and reclaim free space), or choose a larger limit."));
    EXPECT_EQ(store->errorMessage(), refused.message);
    EXPECT_FALSE(fake.wasRun(QStringLiteral("hdiutil-resize")));
    EXPECT_EQ(store->vault(tax.id)->maxSizeMB, 1024);
    EXPECT_FALSE(store->isBusy(tax.id));

    const StoreOutcome grown = awaitTask(store->resize(tax, 300, QStringLiteral("pw")));
    EXPECT_TRUE(grown.ok) << grown.message.toStdString();
    EXPECT_EQ(store->vault(tax.id)->maxSizeMB, 300);
}

TEST_F(VaultManage, ResizeOfAnUnmeasuredVaultMeasuresItFirst) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    fake.respond(QStringLiteral("du--sk"), "307200\t/x\n");
    const StoreOutcome refused = awaitTask(store->resize(tax, 100, QStringLiteral("pw")));
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(fake.wasRun(QStringLiteral("du--sk")));
    EXPECT_FALSE(fake.wasRun(QStringLiteral("hdiutil-resize")));
}

class VerifyVault : public VaultManage {
protected:
    void answerHealthy(const QString& report = QStringLiteral("Checking volume.\nThe volume appears to be OK.\n"
                                                              "File system check exit code is 0.\n")) {
        fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QStringLiteral("/media/check")}));
        fake.respond(QStringLiteral("diskutil-verifyVolume"), report.toUtf8());
    }
};

TEST_F(VerifyVault, StandardVaultIsCheckedHiddenAndBusyMeanwhile) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    answerHealthy();
    QList<bool> busyStates;
    QObject::connect(store.get(), &VaultStore::busyVaultsChanged, [&] { busyStates.append(store->isBusy(tax.id)); });

    const VerifyOutcome healthy = awaitTask(store->verifyVault(tax, QStringLiteral("pw")));
    EXPECT_TRUE(healthy.ok);
    EXPECT_EQ(healthy.text, QStringLiteral("Vault is healthy — filesystem check passed."));
    EXPECT_FALSE(healthy.wrongPassword);
    EXPECT_TRUE(fake.arguments(QStringLiteral("hdiutil-attach")).contains(QStringLiteral("-nobrowse")));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-detach")), (QStringList{"detach", "/media/check"}));
    EXPECT_EQ(busyStates, (QList<bool>{true, false}));

    answerHealthy(QStringLiteral("line 1\nline 2\nline 3\nInvalid extent\nFile system check exit code is 8.\n"));
    const VerifyOutcome damaged = awaitTask(store->verifyVault(tax, QStringLiteral("pw")));
    EXPECT_FALSE(damaged.ok);
    EXPECT_EQ(
        damaged.text,
        QStringLiteral("Verification reported problems:\nline 3\nInvalid extent\nFile system check exit code is 8."));

    fake.respond(QStringLiteral("hdiutil-attach"), {}, "hdiutil: attach failed - Authentication error\n", 80);
    const VerifyOutcome wrong = awaitTask(store->verifyVault(tax, QStringLiteral("nope")));
    EXPECT_FALSE(wrong.ok);
    EXPECT_TRUE(wrong.wrongPassword);
    EXPECT_EQ(wrong.text, QStringLiteral("Wrong password."));
    EXPECT_TRUE(store->errorMessage().isEmpty()) << "the sheet shows every outcome itself";
    EXPECT_FALSE(store->isBusy(tax.id));
}

TEST_F(VerifyVault, OpenOrBusyStandardVaultIsRefusedBeforeAnythingRuns) {
    const Vault tax = standardVault(QStringLiteral("Tax"));
    startStore();
    {
        TestStore::BusyMark busy(*store, tax.id);
        const VerifyOutcome refused = awaitTask(store->verifyVault(tax, QStringLiteral("pw")));
        EXPECT_FALSE(refused.ok);
        EXPECT_FALSE(refused.wrongPassword);
        EXPECT_EQ(refused.text, QStringLiteral("Wait until “Tax” is no longer busy, then verify it."));
    }
    openStandard(tax);
    const VerifyOutcome refused = awaitTask(store->verifyVault(tax, QStringLiteral("pw")));
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.text, QStringLiteral("Lock “Tax” first, then verify it."));
    EXPECT_TRUE(fake.calls().isEmpty());
    EXPECT_TRUE(store->isUnlocked(tax));
    EXPECT_TRUE(store->errorMessage().isEmpty());
}

TEST_F(VerifyVault, PocketVaultIsDecryptedWithEitherPasswordAndChangesNothing) {
    const Vault notes = pocketVault(QStringLiteral("Notes"), QStringLiteral("main"));
    PocketStorage::open(notes.bundlePath, QStringLiteral("main"), false)
        .storage->setUpSecondPassword(QStringLiteral("second"), {});
    startStore();
    const QByteArray before = readFile(notes.bundlePath);

    for (const QString& password : {QStringLiteral("main"), QStringLiteral("second")}) {
        const VerifyOutcome healthy = awaitTask(store->verifyVault(notes, password));
        EXPECT_TRUE(healthy.ok) << healthy.text.toStdString();
        EXPECT_EQ(healthy.text, QStringLiteral("Vault is healthy — every item decrypted and checked."));
    }
    const VerifyOutcome wrong = awaitTask(store->verifyVault(notes, QStringLiteral("other")));
    EXPECT_FALSE(wrong.ok);
    EXPECT_TRUE(wrong.wrongPassword);
    EXPECT_EQ(wrong.text, QStringLiteral("Wrong password."));

    // An open Pocket Vault is checked as last saved.
    ASSERT_TRUE(unlockWith(notes, QStringLiteral("main")));
    EXPECT_TRUE(awaitTask(store->verifyVault(notes, QStringLiteral("main"))).ok);
    QCoro::waitFor(store->lockAll(true, LockReason::quit));
    EXPECT_EQ(readFile(notes.bundlePath).size(), before.size());

    QFile file(notes.bundlePath);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("x");
    file.close();
    const VerifyOutcome notOne = awaitTask(store->verifyVault(notes, QStringLiteral("main")));
    EXPECT_FALSE(notOne.ok);
    EXPECT_FALSE(notOne.wrongPassword);
    EXPECT_EQ(notOne.text, QStringLiteral("That file isn’t a Pocket Vault."));
    EXPECT_TRUE(store->errorMessage().isEmpty());
    EXPECT_TRUE(fake.calls().isEmpty());
}

} // namespace
} // namespace larkhold::test
