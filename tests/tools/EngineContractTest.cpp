// The application's disk-image engine against the stand-in tools: what the tools print is what
// the engine reads, and the kinds of failure they report become the store's sentences.
#include "AttachedRegistry.h"
#include "BlockingAwait.h"
#include "DiskImage.h"
#include "Plist.h"
#include "ToolHarness.h"
#include "fakes/store/StoreFixture.h"

#include <QFile>
#include <QStorageInfo>
#include <optional>
#include <sys/mount.h>

using namespace larkhold;
using namespace larkhold::test;
using namespace tooltest;

namespace {

template <typename F> QString messageOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

} // namespace

TEST(EngineContract, EngineDrivesTheToolsThroughAVaultsLife) {
    SKIP_WITHOUT_MOUNTS();
    Scratch s;
    DiskImage engine(DiskImageTools::inFolder(toolsDir()));
    const QString image = s.path("Life.sparsebundle");
    awaitTask(engine.create(image, "Life", 64, "pw"));
    // The size limit is where the store looks for it when the vault is added to the list.
    QFile info(image + "/Info.plist");
    ASSERT_TRUE(info.open(QIODevice::ReadOnly));
    const std::optional<QVariant> plist = Plist::parse(info.readAll());
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->toMap().value("size"), QVariant(qint64(64) << 20));

    const QString mountPoint = awaitTask(engine.attach(image, "pw", false));
    EXPECT_EQ(mountPoint, s.mountRoot() + "/Life");
    std::optional<AttachedImages> attached = awaitTask(engine.attachedImages());
    ASSERT_TRUE(attached);
    EXPECT_EQ(attached->value(image), mountPoint);
    // Found also through a symbolic link to the image.
    ASSERT_TRUE(QFile::link(image, s.path("link.sparsebundle")));
    EXPECT_EQ(awaitTask(engine.mountPoint(s.path("link.sparsebundle"))), std::optional<QString>(mountPoint));

    QFile ballast(mountPoint + "/ballast.bin"); // more than a 8 MB limit could hold
    ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
    ballast.write(QByteArray(12 << 20, 'x'));
    ballast.close();

    awaitTask(engine.excludeFromSpotlight(mountPoint));
    EXPECT_TRUE(QFile::exists(mountPoint + "/.metadata_never_index"));
    EXPECT_TRUE(QFile::exists(mountPoint + "/.trackerignore"));

    QFile file(mountPoint + "/busy.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_TRUE(messageOf([&] {
                    awaitTask(engine.detach(mountPoint, false));
                }).endsWith(" is in use — close the files open in it, then lock again."));
    file.close();
    awaitTask(engine.detach(mountPoint, false));
    EXPECT_FALSE(awaitTask(engine.mountPoint(image)));

    EXPECT_EQ(awaitTask(engine.verify(image, "pw")), "healthy");
    EXPECT_FALSE(awaitTask(engine.mountPoint(image))); // verify leaves nothing attached
    EXPECT_NO_THROW(awaitTask(engine.verifyPassword(image, "pw")));
    EXPECT_EQ(messageOf([&] { awaitTask(engine.verifyPassword(image, "nope")); }), "Wrong password.");
    EXPECT_EQ(messageOf([&] { awaitTask(engine.compact(image, "nope")); }), "Wrong password.");
    EXPECT_EQ(messageOf([&] { awaitTask(engine.resize(image, 8, "pw")); }),
              "The new limit is smaller than the space the files inside currently use. Delete files first (and "
              "reclaim free space), or choose a larger limit.");
    EXPECT_TRUE(messageOf([&] { awaitTask(engine.create(image, "Again", 64, "pw")); }) ==
                QStringLiteral("“Again” could not be created."));
    EXPECT_GT(awaitTask(engine.sizeOnDisk(image)), 0);
}

// A path that is not UTF-8 (or holds a control character) in one entry of the listing must not
// hide the other volumes: the tools never print one, and the engine reads past one anyway.
TEST(EngineContract, OneUnreadableEntryNeverHidesTheOtherVolumes) {
    const QByteArray entry = "<dict><key>image-path</key><string>%1</string><key>system-entities</key><array>"
                             "<dict><key>mount-point</key><string>%2</string></dict></array></dict>";
    auto listing = [&](const QList<std::pair<QByteArray, QByteArray>>& images) {
        QByteArray out =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>images</key><array>";
        for (const auto& [path, mountPoint] : images) {
            out += QByteArray(entry).replace("%1", path).replace("%2", mountPoint);
        }
        return out + "</array></dict></plist>";
    };
    const auto images = DiskImage::attachedImagesFromInfoOutput(
        listing({{"/v/Bad\xff\x01.sparsebundle", "/media/Bad"}, {"/v/Good.sparsebundle", "/media/Good"}}));
    ASSERT_TRUE(images);
    EXPECT_EQ(images->value("/v/Good.sparsebundle"), "/media/Good");
    EXPECT_EQ(images->size(), 2);

    SKIP_WITHOUT_MOUNTS();
    // Removed through the shell too, after the scratch folder has detached its volumes: Qt cannot
    // name a file whose name is not UTF-8.
    struct BadImageRemoval {
        QString folder;
        ~BadImageRemoval() { QProcess::execute("/bin/sh", {"-c", "rm -rf \"$0\"", folder}); }
    } removal;
    Scratch s;
    removal.folder = s.path("");
    // Made and attached through the shell: QString arguments cannot carry the byte 0xff.
    QProcess p;
    p.start("/bin/sh", {"-c",
                        "bad=\"$1/$(printf 'Bad\\377.sparsebundle')\"; printf pw | \"$0\" create -encryption "
                        "AES-256 -stdinpass -size 64m -volname Bad \"$bad\" >/dev/null && printf pw | \"$0\" "
                        "attach -stdinpass \"$bad\" >/dev/null",
                        toolsDir() + "/hdiutil", s.path("")});
    p.waitForFinished(-1);
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    createImage(s.path("Good.sparsebundle"), "Good", "64m", "pw");
    const QString good = attach(s.path("Good.sparsebundle"), "pw");
    DiskImage engine(DiskImageTools::inFolder(toolsDir()));
    const std::optional<AttachedImages> attached = awaitTask(engine.attachedImages());
    ASSERT_TRUE(attached);
    EXPECT_EQ(attached->size(), 2);
    EXPECT_EQ(attached->value(s.path("Good.sparsebundle")), good);
    // The application's own reading of the tools' registry lists what the tool lists.
    EXPECT_EQ(readAttachedRegistry(), attached);
    awaitTask(engine.detach(good, false));
    EXPECT_EQ(readAttachedRegistry(), awaitTask(engine.attachedImages()));
    EXPECT_EQ(readAttachedRegistry()->size(), 1);
}

namespace {

// A tmpfs for a host disk that fills up or turns read-only; whatever is attached from it is
// detached by force before it goes.
class HostDisk {
public:
    HostDisk(const QString& where, const char* size) : path_(where) {
        QDir().mkpath(path_);
        mounted_ = ::mount("tmpfs", path_.toUtf8().constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                           (QByteArray("size=") + size + ",mode=0700").constData()) == 0;
    }
    ~HostDisk() {
        if (!mounted_) {
            return;
        }
        const QString plist = hdiutil({"info", "-plist"}).out;
        QRegularExpression mount(QStringLiteral("<key>mount-point</key>\\s*<string>([^<]*)</string>"));
        for (auto it = mount.globalMatch(plist); it.hasNext();) {
            hdiutil({"detach", it.next().captured(1), "-force"});
        }
        ::umount2(path_.toUtf8().constData(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    void fill() const {
        QFile ballast(path_ + "/ballast");
        ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
        const QByteArray chunk(64 << 10, 'b');
        while (ballast.write(chunk) == chunk.size() && ballast.flush()) {
        }
    }
    bool makeReadOnly() const {
        return ::mount(nullptr, path_.toUtf8().constData(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                       nullptr) == 0;
    }

private:
    QString path_;
    bool mounted_ = false;
};

// The store on the real tools: each way a standard vault can fail is what the store tells the user,
// in its own words and with the vault's name, whatever the tools' sentences are.
class StoreToldByTheTools : public StoreFixture {
protected:
    void SetUp() override {
        if (QString reason = mountUnavailableReason(); !reason.isEmpty()) {
            GTEST_SKIP() << reason.toStdString();
        }
        scratch = std::make_unique<Scratch>();
        disk = std::make_unique<DiskImage>(DiskImageTools::inFolder(toolsDir()));
    }
    void TearDown() override {
        if (store) {
            awaitTask(store->lockAll(true, LockReason::quit));
        }
    }
    // A vault of the real tools at `path`, in the list of a started store.
    Vault realVault(const QString& name, const QString& path) {
        Vault vault = newRecord(name, VaultKind::standard, QStringLiteral(".sparsebundle"), 64);
        vault.bundlePath = path;
        vault.openInFinderAfterUnlock = false;
        createImage(path, name);
        listed.append(vault);
        return vault;
    }
    QString unlockFailure(const Vault& vault, const QByteArray& password = kPassword) {
        store->clearErrorMessage();
        EXPECT_FALSE(unlockWith(vault, QString::fromLatin1(password)));
        EXPECT_FALSE(store->isUnlocked(vault));
        return store->errorMessage();
    }

    std::unique_ptr<Scratch> scratch;
};

} // namespace

TEST_F(StoreToldByTheTools, EachFailureOfAnUnlockOrALockIsToldInTheStoresWords) {
    const Vault tax = realVault("Tax", scratch->path("Tax.sparsebundle"));
    startStore();
    const QString unlock = QStringLiteral("“Tax” could not be unlocked.");

    EXPECT_EQ(unlockFailure(tax, "not the password"), QStringLiteral("Wrong password for “Tax”."));

    ASSERT_TRUE(QFile::rename(tax.bundlePath + "/bands/0", scratch->path("band0")));
    EXPECT_EQ(unlockFailure(tax), unlock + " A part of its file is missing or cannot be read.");
    ASSERT_TRUE(QFile::rename(scratch->path("band0"), tax.bundlePath + "/bands/0"));

    // The folder the volumes go to, open to everyone.
    ASSERT_EQ(::chmod(scratch->mountRoot().toUtf8().constData(), 0777), 0);
    EXPECT_EQ(unlockFailure(tax), unlock + " The folder where unlocked vaults appear is not safe to use: it must "
                                           "belong to you, and nobody else may be able to change it.");
    ASSERT_EQ(::chmod(scratch->mountRoot().toUtf8().constData(), 0755), 0);

    // The volume in use: the lock says so, and the vault stays open.
    ASSERT_TRUE(unlockWith(tax, QString::fromLatin1(kPassword)));
    const QString mountPoint = store->mountPoints().value(tax.id);
    QFile open(mountPoint + "/open.txt");
    ASSERT_TRUE(open.open(QIODevice::WriteOnly));
    awaitTask(store->lock(tax, false, LockReason::manual));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("“Tax” is in use — close the files open in it, then lock again."));
    EXPECT_TRUE(store->isUnlocked(tax));
    open.close();
    awaitTask(store->lock(tax, false, LockReason::manual));
    EXPECT_FALSE(store->isUnlocked(tax));
}

// A file system the check cannot read, let alone repair: a feature this e2fsck does not know, set
// through the volume's own device while it is open, so that the superblock keeps its identity and
// a right checksum. The unlock says so and leaves every byte of the vault as it was.
TEST_F(StoreToldByTheTools, AFileSystemTheCheckCannotRepairIsToldAndLeftAsItWas) {
    const Vault old = realVault("Old", scratch->path("Old.sparsebundle"));
    startStore();
    ASSERT_TRUE(unlockWith(old, QString::fromLatin1(kPassword)));
    QProcess debugfs;
    debugfs.start("debugfs",
                  {"-w", "-R", "feature FEATURE_I30", QStorageInfo(store->mountPoints().value(old.id)).device()});
    ASSERT_TRUE(debugfs.waitForFinished(-1));
    ASSERT_EQ(debugfs.exitCode(), 0) << debugfs.readAllStandardError().toStdString();
    awaitTask(store->lock(old, false, LockReason::manual));
    ASSERT_FALSE(store->isUnlocked(old));

    const QByteArray before = bundleDigest(old.bundlePath);
    EXPECT_EQ(unlockFailure(old),
              QStringLiteral("“Old” could not be unlocked. Its file system is damaged and could not be repaired."));
    EXPECT_EQ(bundleDigest(old.bundlePath), before);
}

// The disk that holds a vault full at an unlock (an image of earlier tools gets its record of bands
// written then) and at a grow, and one that refuses writes.
TEST_F(StoreToldByTheTools, AFullOrFailingHostDiskIsToldAsSuch) {
    HostDisk host(scratch->path("host"), "96m");
    if (!host.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const Vault small = realVault("Small", scratch->path("host/Small.sparsebundle"));
    startStore();
    // As earlier tools left it: no record of bands, no identity, one copy of the name.
    for (const char* file : {"/bands.record", "/volume-id", "/volume-copy"}) {
        ASSERT_TRUE(QFile::remove(small.bundlePath + file)) << file;
    }
    host.fill();
    const QString unlock = QStringLiteral("“Small” could not be unlocked.");
    EXPECT_EQ(unlockFailure(small), unlock + " The disk is full — make room on it, then try again.");

    const StoreOutcome grown = awaitTask(store->resize(small, 1024, QString::fromLatin1(kPassword)));
    EXPECT_FALSE(grown.ok);
    EXPECT_EQ(store->errorMessage(), QStringLiteral("The size limit of “Small” could not be changed. The disk is full "
                                                    "— make room on it, then try again."));

    ASSERT_TRUE(QFile::remove(scratch->path("host/ballast")));
    ASSERT_TRUE(host.makeReadOnly());
    EXPECT_EQ(unlockFailure(small), unlock + " Its disk can only be read.");
    const StoreOutcome made = awaitTask(store->createStandardVault("More", scratch->path("host"), 64,
                                                                   QString::fromLatin1(kPassword), false, false, {}));
    EXPECT_FALSE(made.ok);
    EXPECT_EQ(made.message, QStringLiteral("“More” could not be created. Its disk can only be read."));
}

// A copy into an open vault that the kernel has not written yet, on a host disk too full for it:
// a lock the user asks for is refused and the vault stays open with its file whole, or the file is
// on disk. A lock that cannot wait (quitting) closes the vault and says what was not written.
TEST_F(StoreToldByTheTools, ALockThatCannotWriteTheVaultOutKeepsItOpenOrSaysWhatWasLost) {
    HostDisk host(scratch->path("host"), "128m");
    if (!host.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const Vault tax = realVault("Tax", scratch->path("host/Tax.sparsebundle"));
    const Vault notes = realVault("Notes", scratch->path("host/Notes.sparsebundle"));
    startStore();
    ASSERT_TRUE(unlockWith(tax, QString::fromLatin1(kPassword)));
    ASSERT_TRUE(unlockWith(notes, QString::fromLatin1(kPassword)));
    fillLeaving(scratch->path("host"), 4 << 20);
    auto copyInto = [&](const Vault& vault) {
        const QByteArray bytes = randomBytes(16 << 20);
        QFile copy(store->mountPoints().value(vault.id) + "/copied.bin");
        EXPECT_TRUE(copy.open(QIODevice::WriteOnly));
        EXPECT_EQ(copy.write(bytes), bytes.size());
        return bytes;
    };
    const QByteArray taxCopy = copyInto(tax);
    const QByteArray notesCopy = copyInto(notes);

    const StoreOutcome locked = awaitTask(store->lock(tax, false, LockReason::manual));
    if (!locked.ok) {
        EXPECT_EQ(store->errorMessage(), QStringLiteral("“Tax” could not be locked because the disk that holds it is "
                                                        "full — make room on it, then lock it again."));
        ASSERT_TRUE(store->isUnlocked(tax));
        EXPECT_TRUE(tooltest::readFile(store->mountPoints().value(tax.id) + "/copied.bin") == taxCopy);
    }

    awaitTask(store->lockAll(true, LockReason::quit));
    EXPECT_FALSE(store->isUnlocked(tax));
    EXPECT_FALSE(store->isUnlocked(notes));
    bool notesLost = false;
    for (const larkhold::ActivityEvent& event : store->activity()) {
        notesLost = notesLost || event.text == QStringLiteral("Changes made in “Notes” just before it was locked could "
                                                              "not be written, because the disk that holds it is "
                                                              "full; they may be missing when it is next unlocked.");
    }
    ASSERT_TRUE(QFile::remove(scratch->path("host/ballast")));
    const auto onDisk = [&](const Vault& vault, const QByteArray& bytes) {
        if (!unlockWith(vault, QString::fromLatin1(kPassword))) {
            return false;
        }
        const bool same = tooltest::readFile(store->mountPoints().value(vault.id) + "/copied.bin") == bytes;
        awaitTask(store->lock(vault, false, LockReason::manual));
        return same;
    };
    if (locked.ok) {
        EXPECT_TRUE(onDisk(tax, taxCopy)) << "locked, but the copy is not on disk";
    }
    EXPECT_TRUE(notesLost || onDisk(notes, notesCopy)) << "quit without a word, and the copy is not on disk";
}
