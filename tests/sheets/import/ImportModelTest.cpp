#include "ImportModel.h"

#include "HangingShare.h"
#include "PocketTestSupport.h"

#include <QSignalSpy>
#include <csignal>
#include <mutex>
#include <sys/resource.h>
#include <sys/stat.h>

namespace larkhold::test {
namespace {

QList<QUrl> urlsOf(const QStringList& paths) {
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls.append(QUrl::fromLocalFile(path));
    return urls;
}

// A trash that moves files into a folder of the test, fails for names it is told, and can hold
// the copying thread until the test lets it go on. Called from the copying thread.
class FakeTrash {
public:
    explicit FakeTrash(QString folder) : folder_(std::move(folder)) { QDir().mkpath(folder_); }

    TrashFunction function() {
        return [this](const QString& path, QString* reason) {
            std::unique_lock lock(mutex_);
            ++waiting_;
            released_.wait(lock, [this] { return open_; });
            --waiting_;
            if (failing_.contains(QFileInfo(path).fileName())) {
                *reason = QStringLiteral("The trash is full.");
                return false;
            }
            trashed_.append(path);
            return QFile::rename(path, folder_ + QLatin1Char('/') + QFileInfo(path).fileName());
        };
    }
    void failFor(const QString& name) {
        std::lock_guard lock(mutex_);
        failing_.append(name);
    }
    void hold() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        released_.notify_all();
    }
    int waiting() {
        std::lock_guard lock(mutex_);
        return waiting_;
    }
    QStringList trashed() {
        std::lock_guard lock(mutex_);
        return trashed_;
    }

private:
    QString folder_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool open_ = true;
    int waiting_ = 0;
    QStringList failing_;
    QStringList trashed_;
};

class Import : public PocketFixture {
protected:
    Import() : trash(dir.filePath(QStringLiteral("trash"))) {}

    std::unique_ptr<ImportModel> model(const QStringList& files) {
        ImportDeps deps;
        deps.store = store.get();
        deps.secrets = &secrets;
        deps.defaults = &defaults;
        deps.trash = trash.function();
        deps.closeDelay = std::chrono::milliseconds(1);
        deps.volumesAreMounts = false; // the stand-in volumes are plain folders
        auto made = std::make_unique<ImportModel>(deps, urlsOf(files));
        made->selectFirstVault();
        return made;
    }

    void run(ImportModel& import, bool move) { QCoro::waitFor(import.run(move)); }

    std::optional<QString> refusal(const QString& path) {
        return QCoro::waitFor(importRefusals({path}, *store, std::chrono::milliseconds(60'000))).front();
    }

    QStringList volumeEntries(const Vault& vault) const {
        QStringList entries = QDir(fakeMountPoint(vault.name))
                                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
        // The store's marker that keeps search indexing out of the volume.
        entries.removeAll(QStringLiteral(".metadata_never_index"));
        return entries;
    }

    FakeTrash trash;
};

TEST_F(Import, TitleCountsTheFilesHandedOver) {
    startPocketStore();
    EXPECT_EQ(model({QStringLiteral("/in/report.pdf")})->title(), QStringLiteral("Add “report.pdf” to a vault"));
    EXPECT_EQ(model({QStringLiteral("/in/a.pdf"), QStringLiteral("/in/b.pdf")})->title(),
              QStringLiteral("Add 2 items to a vault"));
    ImportDeps deps;
    deps.store = store.get();
    ImportModel mixed(
        deps, {QUrl(QStringLiteral("https://example.org/a.pdf")), QUrl::fromLocalFile(QStringLiteral("/in/b.pdf"))});
    EXPECT_EQ(mixed.files(), QStringList{QStringLiteral("/in/b.pdf")}) << "only local files are taken";
    EXPECT_EQ(ImportModel::subtitle(), QStringLiteral("The vault unlocks if needed, files are copied in"));
}

TEST_F(Import, FreeNamesNumberFromTwo) {
    const QStringList present{QStringLiteral("report.pdf"), QStringLiteral("report 2.pdf"), QStringLiteral("notes")};
    const auto taken = [&](const QString& name) { return present.contains(name); };
    EXPECT_EQ(freeName(QStringLiteral("report.pdf"), taken), QStringLiteral("report 3.pdf"));
    EXPECT_EQ(freeName(QStringLiteral("notes"), taken), QStringLiteral("notes 2"));
    EXPECT_EQ(freeName(QStringLiteral("other.pdf"), taken), QStringLiteral("other.pdf"));
}

TEST_F(Import, PasswordFieldOnlyWithoutASavedPassword) {
    const Vault withSaved = pocketVault(QStringLiteral("Saved"), QStringLiteral("saved password"));
    const Vault without = pocketVault(QStringLiteral("Typed"), QStringLiteral("typed password"));
    startPocketStore();
    secrets.savePassword(QStringLiteral("saved password"), withSaved.id);
    auto import = model({inputFile(QStringLiteral("a.txt"), "A short note to carry over.")});
    EXPECT_EQ(import->selectedVaultID(), withSaved.id) << "the first vault of the list";
    EXPECT_FALSE(import->needsPassword());
    EXPECT_TRUE(import->canRun());

    import->setSelectedVaultID(without.id);
    EXPECT_TRUE(import->needsPassword());
    EXPECT_FALSE(import->canRun());
    import->setPassword(QStringLiteral("typed password"));
    EXPECT_TRUE(import->canRun());
    EXPECT_EQ(import->copyButtonLabel(), QStringLiteral("Copy In"));
    EXPECT_EQ(import->moveButtonLabel(), QStringLiteral("Move In (originals to Trash)"));

    run(*import, false);
    EXPECT_TRUE(store->isUnlocked(without.id));
    EXPECT_FALSE(secrets.saved(without.id).has_value()) << "a typed password is never saved";
    EXPECT_EQ(store->pocketSession(without.id)->document().items().size(), 1u);
}

TEST_F(Import, NoVaultsMeansNothingToRun) {
    startPocketStore();
    auto import = model({QStringLiteral("/in/a.pdf")});
    EXPECT_FALSE(import->selectedVaultID().has_value());
    EXPECT_FALSE(import->canRun());
    run(*import, false);
    EXPECT_FALSE(import->working());
}

TEST_F(Import, SavedPasswordUnlocksAndTheItemsAreSaved) {
    pocket = pocketVault(QStringLiteral("Travel"), QStringLiteral("correct horse"));
    startPocketStore();
    secrets.savePassword(QStringLiteral("correct horse"), pocket.id);
    const QString note = inputFile(QStringLiteral("Packing.txt"), "Passport, tickets, charger and the blue jacket.");
    const QString pdf = inputFile(QStringLiteral("Ticket.pdf"), testPdf());
    auto import = model({note, pdf});
    QSignalSpy closing(import.get(), &ImportModel::closeRequested);

    run(*import, true);
    EXPECT_EQ(import->resultMessage(), QStringLiteral("2 item(s) moved in — originals are in the Trash."));
    EXPECT_TRUE(import->remarks().isEmpty());
    EXPECT_EQ(import->copyButtonLabel(), QStringLiteral("Working…")) << "through the pause before closing";
    EXPECT_TRUE(eventually([&] { return closing.count() == 1; }));
    EXPECT_FALSE(import->working());

    EXPECT_FALSE(QFileInfo::exists(note));
    EXPECT_FALSE(QFileInfo::exists(pdf));
    const PocketItems saved = itemsOnDisk(QStringLiteral("correct horse"));
    ASSERT_EQ(saved.size(), 2u) << "the originals went only after the vault had saved the items";
    EXPECT_EQ(bytesOf(saved[1]), testPdf());
}

TEST_F(Import, ReEncodedPhotosKeepTheirOriginalsAndSaySo) {
    openPocket();
    const QString photo = inputFile(QStringLiteral("Beach.jpg"), encodedPicture(testPicture(64, 48), "jpeg"));
    const QString pdf = inputFile(QStringLiteral("Ticket.pdf"), testPdf());
    auto import = model({photo, pdf});
    QSignalSpy closing(import.get(), &ImportModel::closeRequested);

    run(*import, true);
    EXPECT_EQ(import->resultMessage(), QStringLiteral("2 item(s) copied in — 1 original(s) are in the Trash."));
    EXPECT_EQ(import->remarks(),
              QStringList{QStringLiteral("“Beach.jpg” stays where it is: the vault holds a re-encoded copy (resized or "
                                         "converted), not the original file.")});
    EXPECT_TRUE(QFileInfo::exists(photo));
    EXPECT_FALSE(QFileInfo::exists(pdf));
    EXPECT_TRUE(import->finished());
    EXPECT_FALSE(import->canRun()) << "nothing is imported twice";
    EXPECT_EQ(import->cancelButtonLabel(), QStringLiteral("Close"));
    QCoreApplication::processEvents();
    EXPECT_EQ(closing.count(), 0) << "a result with something to read stays on screen";
}

TEST_F(Import, MovingWhenAFileIsRefusedTrashesNothingAndShowsWhy) {
    openPocket();
    const QString a = inputFile(QStringLiteral("a.txt"), "The first note that goes in as it is.");
    const QString bad = inputFile(QStringLiteral("tool.bin"), QByteArray("\x00\x01\x02\x03", 4));
    const QString c = inputFile(QStringLiteral("c.pdf"), testPdf());
    auto import = model({a, bad, c});
    run(*import, true);
    EXPECT_EQ(store->pocketSession(pocket.id)->document().items().size(), 2u);
    EXPECT_EQ(import->resultMessage(), QStringLiteral("2 item(s) copied in."));
    ASSERT_EQ(import->remarks().size(), 2);
    EXPECT_TRUE(import->remarks()[0].startsWith(QStringLiteral("“tool.bin” can’t be added")));
    EXPECT_EQ(import->remarks()[1], QStringLiteral("No original was moved to the Trash, as not every file went in."));
    EXPECT_TRUE(trash.trashed().isEmpty());
    EXPECT_TRUE(store->errorMessage().isEmpty()) << "shown in the import window, not left for the main window";
}

TEST_F(Import, AnOriginalTheTrashRefusesIsNamed) {
    openPocket();
    const QString a = inputFile(QStringLiteral("a.txt"), "The first note that goes in as it is.");
    const QString b = inputFile(QStringLiteral("b.txt"), "The second note, also stored as it is.");
    trash.failFor(QStringLiteral("b.txt"));
    auto import = model({a, b});
    run(*import, true);
    EXPECT_EQ(import->resultMessage(), QStringLiteral("2 item(s) copied in — 1 original(s) are in the Trash."));
    EXPECT_EQ(
        import->remarks(),
        QStringList{QStringLiteral("“b.txt” is in the vault, but couldn’t be moved to the Trash: The trash is full.")});
    EXPECT_TRUE(QFileInfo::exists(b));
}

TEST_F(Import, AFailedSaveKeepsEveryOriginal) {
    PocketSession* session = openPocket();
    const QString a = inputFile(QStringLiteral("a.txt"), "A note that cannot be saved just now.");
    auto import = model({a});
    WriteFaultPlan plan;
    plan.failAfterBytes = 0;
    larkholdTestWriteFault = &plan;
    run(*import, true);
    larkholdTestWriteFault = nullptr;
    ASSERT_TRUE(import->errorText().has_value());
    EXPECT_TRUE(import->errorText()->startsWith(QStringLiteral("Not saved: "))) << import->errorText()->toStdString();
    EXPECT_FALSE(import->resultMessage().has_value());
    EXPECT_TRUE(QFileInfo::exists(a));
    EXPECT_TRUE(trash.trashed().isEmpty());
    EXPECT_EQ(session->document().items().size(), 1u) << "the item stays in the open vault";
    EXPECT_FALSE(import->canRun()) << "importing again would add it twice";
}

TEST_F(Import, AWrongPasswordShowsInTheWindow) {
    pocket = pocketVault(QStringLiteral("Travel"), QStringLiteral("correct horse"));
    startPocketStore();
    auto import = model({inputFile(QStringLiteral("a.txt"), "A note for a vault that stays shut.")});
    import->setPassword(QStringLiteral("wrong horse"));
    run(*import, false);
    EXPECT_EQ(import->errorText(), QStringLiteral("Wrong password for “Travel”."));
    EXPECT_TRUE(store->errorMessage().isEmpty());
    EXPECT_FALSE(import->working());
    EXPECT_FALSE(import->finished());
    EXPECT_EQ(import->password(), QStringLiteral("wrong horse")) << "kept to correct and try again";
    import->setPassword(QStringLiteral("correct horse"));
    EXPECT_TRUE(import->canRun());
    run(*import, false);
    EXPECT_EQ(import->resultMessage(), QStringLiteral("1 item(s) copied in."));
}

TEST_F(Import, TheRefusalCheckDoesNotWaitForAVaultOnAShareThatStoppedAnswering) {
    HangingShare share;
    if (!share.isMounted())
        GTEST_SKIP() << "FUSE cannot be mounted here";
    Vault away = newRecord(QStringLiteral("Away"), VaultKind::standard, QStringLiteral(".sparsebundle"), 1024);
    away.bundlePath = share.path() + QStringLiteral("/Away.sparsebundle");
    QDir().mkpath(share.backing() + QStringLiteral("/Away.sparsebundle"));
    listed.append(away);
    startStore();
    share.hang();
    // Whatever did not answer is compared as written: still refused when it names the vault or holds it.
    const QList<std::optional<QString>> refusals =
        QCoro::waitFor(importRefusals({inputFile(QStringLiteral("fine.txt"), "fine"), away.bundlePath, share.path()},
                                      *store, std::chrono::milliseconds(100)));
    EXPECT_EQ(refusals,
              (QList<std::optional<QString>>{
                  std::nullopt, QStringLiteral("“Away.sparsebundle” is a vault. A vault can’t be added to a vault."),
                  QStringLiteral("“share” holds a vault. A vault can’t be added to a vault.")}));
}

TEST_F(Import, VaultsAreRefusedByName) {
    const Vault inside = pocketVault(QStringLiteral("Inner"), QStringLiteral("inner password"));
    const Vault standard = standardVault(QStringLiteral("Archive"));
    openPocket();
    ASSERT_TRUE(unlockWith(standard, QStringLiteral("pw")));
    const QString stray = inputFile(QStringLiteral("Old.pocketvault"), QByteArray(100, 'x'));

    EXPECT_EQ(refusal(inside.bundlePath),
              QStringLiteral("“Inner.pocketvault” is a vault. A vault can’t be added to a vault."));
    EXPECT_EQ(refusal(store->mountPoints().value(standard.id)),
              QStringLiteral("“Archive” is the volume of an unlocked vault. A vault can’t be added to a vault."));
    EXPECT_EQ(refusal(dir.filePath(QStringLiteral("vaults"))),
              QStringLiteral("“vaults” holds a vault. A vault can’t be added to a vault."));
    EXPECT_EQ(refusal(tool(QStringLiteral("volumes"))),
              QStringLiteral("“volumes” holds a vault. A vault can’t be added to a vault."));
    EXPECT_EQ(refusal(stray), QStringLiteral("“Old.pocketvault” is a vault. A vault can’t be added to a vault."));
    const QString unsynced = inputFile(QStringLiteral("Kept Away.nosync"), QByteArray(100, 'x'));
    EXPECT_EQ(refusal(unsynced), QStringLiteral("“Kept Away.nosync” is a vault. A vault can’t be added to a vault."));
    EXPECT_FALSE(refusal(inputFile(QStringLiteral("fine.txt"), "fine")).has_value());

    auto import = model({inside.bundlePath, inputFile(QStringLiteral("note.txt"), "A real note for the vault here.")});
    import->setSelectedVaultID(pocket.id);
    run(*import, true);
    EXPECT_EQ(store->pocketSession(pocket.id)->document().items().size(), 1u);
    EXPECT_EQ(import->remarks().front(),
              QStringLiteral("“Inner.pocketvault” is a vault. A vault can’t be added to a vault."));
    EXPECT_TRUE(QFileInfo::exists(inside.bundlePath));
}

class ImportToVolume : public Import {
protected:
    void SetUp() override {
        volume = standardVault(QStringLiteral("Archive"));
        startPocketStore();
        ASSERT_TRUE(unlockWith(volume, QStringLiteral("pw"))) << store->errorMessage().toStdString();
    }
    QString volumeFile(const QString& name) const { return fakeMountPoint(volume.name) + QLatin1Char('/') + name; }
    Vault volume;
};

TEST_F(ImportToVolume, ClashingNamesAreNumbered) {
    writeFile(volumeFile(QStringLiteral("report.pdf")), "one");
    writeFile(volumeFile(QStringLiteral("report 2.pdf")), "two");
    writeFile(volumeFile(QStringLiteral("notes")), "old notes");
    const QString report = inputFile(QStringLiteral("report.pdf"), "three");
    const QString notes = inputFile(QStringLiteral("notes"), "new notes");
    auto import = model({report, notes});
    run(*import, false);
    EXPECT_EQ(import->resultMessage(), QStringLiteral("2 item(s) copied in."));
    EXPECT_EQ(readFile(volumeFile(QStringLiteral("report 3.pdf"))), QByteArray("three"));
    EXPECT_EQ(readFile(volumeFile(QStringLiteral("notes 2"))), QByteArray("new notes"));
    EXPECT_TRUE(QFileInfo::exists(report)) << "copying leaves the originals";
}

TEST_F(ImportToVolume, MovingStopsAtTheFirstFailureAndLeavesNoPartialFile) {
    const QString first = inputFile(QStringLiteral("first.txt"), "first");
    const QString second = dir.filePath(QStringLiteral("in/second.pipe"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(second).constData(), 0600), 0);
    const QString third = inputFile(QStringLiteral("third.txt"), "third");
    auto import = model({first, second, third});
    run(*import, true);
    EXPECT_EQ(import->errorText(),
              QStringLiteral("Could not add second.pipe: “second.pipe” is neither a file nor a folder."));
    EXPECT_EQ(volumeEntries(volume), QStringList{QStringLiteral("first.txt")});
    EXPECT_EQ(trash.trashed(), QStringList{first});
    EXPECT_TRUE(QFileInfo::exists(third));
    EXPECT_EQ(import->resultMessage(), QStringLiteral("1 item(s) moved in — originals are in the Trash."));

    // The trash refuses the second original: one moved, one only copied.
    const QString a = inputFile(QStringLiteral("a.txt"), "a");
    const QString b = inputFile(QStringLiteral("b.txt"), "b");
    trash.failFor(QStringLiteral("b.txt"));
    auto stopped = model({a, b, third});
    run(*stopped, true);
    EXPECT_EQ(stopped->resultMessage(), QStringLiteral("1 item(s) moved in — originals are in the Trash; 1 item(s) "
                                                       "copied in — originals kept where they were."));
    EXPECT_TRUE(QFileInfo::exists(b));
}

TEST_F(ImportToVolume, AFullVolumeLeavesNothingUnderTheFinalName) {
    const QString big = inputFile(QStringLiteral("big.bin"), QByteArray(300'000, 'b'));
    auto import = model({big});
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit tight = before;
    tight.rlim_cur = 8192;
    setrlimit(RLIMIT_FSIZE, &tight);
    run(*import, true);
    setrlimit(RLIMIT_FSIZE, &before);
    ASSERT_TRUE(import->errorText().has_value());
    EXPECT_TRUE(import->errorText()->startsWith(QStringLiteral("Could not add big.bin: ")));
    EXPECT_TRUE(volumeEntries(volume).isEmpty()) << volumeEntries(volume).join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(QFileInfo::exists(big));
    EXPECT_TRUE(trash.trashed().isEmpty());
}

TEST_F(ImportToVolume, TheVaultIsBusyWhileCopyingOffTheGuiThread) {
    const QString a = inputFile(QStringLiteral("a.txt"), "a");
    auto import = model({a});
    trash.hold();
    auto running = import->run(true);
    // The copy waits in the trash step on its own thread while this thread goes on.
    ASSERT_TRUE(eventually([&] { return trash.waiting() == 1; }));
    EXPECT_TRUE(store->isBusy(volume.id));
    EXPECT_TRUE(import->working());
    trash.release();
    QCoro::waitFor(running);
    EXPECT_FALSE(store->isBusy(volume.id));
    EXPECT_EQ(import->resultMessage(), QStringLiteral("1 item(s) moved in — originals are in the Trash."));
    EXPECT_EQ(readFile(volumeFile(QStringLiteral("a.txt"))), QByteArray("a"));
}

TEST_F(ImportToVolume, ALockDuringTheCopyWaitsForItToStopAndSaysWhatWentIn) {
    const QStringList files{inputFile(QStringLiteral("a.txt"), "a"), inputFile(QStringLiteral("b.txt"), "b"),
                            inputFile(QStringLiteral("c.txt"), "c")};
    auto import = model(files);
    trash.hold();
    auto running = import->run(true);
    // The first file is in place; the copy waits in its trash step.
    ASSERT_TRUE(eventually([&] { return trash.waiting() == 1; }));
    bool locked = false;
    auto locking = [](VaultStore& vaults, Vault vault, bool& done) -> QCoro::Task<> {
        co_await vaults.lock(vault, true, LockReason::screenLocked);
        done = true;
    }(*store, volume, locked);
    QCoreApplication::processEvents();
    EXPECT_FALSE(locked) << "the volume stays mounted while a file is being copied in";
    EXPECT_EQ(callCount(QStringLiteral("hdiutil detach")), 0);
    trash.release();
    QCoro::waitFor(running);
    ASSERT_TRUE(eventually([&] { return locked; }));

    EXPECT_FALSE(store->isUnlocked(volume.id));
    EXPECT_EQ(import->errorText(), QStringLiteral("1 of 3 items copied in — “Archive” was locked."));
    EXPECT_FALSE(import->resultMessage().has_value());
    EXPECT_TRUE(import->finished()) << "what went in is not copied twice";
    EXPECT_EQ(volumeEntries(volume), QStringList{QStringLiteral("a.txt")}) << "nothing after the lock";
    EXPECT_EQ(trash.trashed(), QStringList{files[0]});
    EXPECT_TRUE(QFileInfo::exists(files[1]) && QFileInfo::exists(files[2]));
}

TEST_F(ImportToVolume, AFolderThatIsNotAMountedVolumeIsNeverWritten) {
    // What an unmount leaves at the mount point: a plain folder on the host disk.
    const QString left = dir.filePath(QStringLiteral("left-behind"));
    QDir().mkpath(left);
    const QString file = inputFile(QStringLiteral("secret.txt"), "plain text");
    const FolderCopyResult copied =
        copyIntoFolder(left, {file}, false, trash.function(), nullptr, TargetFolder::mountedVolume);
    EXPECT_TRUE(copied.stopped);
    EXPECT_EQ(copied.copied, 0);
    EXPECT_TRUE(QDir(left).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));

    const FolderCopyResult gone = copyIntoFolder(dir.filePath(QStringLiteral("no-such-volume")), {file}, false,
                                                 trash.function(), nullptr, TargetFolder::plainFolder);
    EXPECT_TRUE(gone.stopped);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("no-such-volume"))));
}

TEST_F(ImportToVolume, AFolderHoldingAVaultIsRefusedAndOthersStillGoIn) {
    QDir().mkpath(dir.filePath(QStringLiteral("in/Backups/old")));
    writeFile(dir.filePath(QStringLiteral("in/Backups/old/Secrets.pocketvault")), "x");
    QDir().mkpath(dir.filePath(QStringLiteral("in/Photos")));
    writeFile(dir.filePath(QStringLiteral("in/Photos/one.jpg")), "jpeg");
    auto import = model({dir.filePath(QStringLiteral("in/Backups")), dir.filePath(QStringLiteral("in/Photos"))});
    run(*import, false);
    EXPECT_EQ(import->remarks(),
              QStringList{QStringLiteral("“Backups” holds a vault. A vault can’t be added to a vault.")});
    EXPECT_EQ(readFile(volumeFile(QStringLiteral("Photos/one.jpg"))), QByteArray("jpeg"));
    EXPECT_FALSE(QFileInfo::exists(volumeFile(QStringLiteral("Backups"))));
}

} // namespace
} // namespace larkhold::test
