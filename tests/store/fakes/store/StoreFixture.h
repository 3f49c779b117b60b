#pragma once

#include "Clock.h"
#include "Defaults.h"
#include "DiskImage.h"
#include "FakeOwnerCheck.h"
#include "FakeSecretStore.h"
#include "PocketDocument.h"
#include "PocketStorage.h"
#include "SettingsKeys.h"
#include "StoreHost.h"
#include "TestFiles.h"
#include "VaultList.h"
#include "VaultStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <memory>

namespace larkhold::test {

// Spins the event loop until `done` holds; false after `ms` milliseconds. The ceiling only ends a
// wait that would otherwise hang: a loaded machine may take many seconds for a fake tool's run.
template <typename Predicate> bool waitUntil(Predicate done, int ms = 60'000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// Adds the files to the document and waits until it has read them.
inline bool addAndWait(PocketDocument& document, const QStringList& paths, bool optimizePhotos) {
    const QFuture<PocketDocument::Added> adding = document.add(paths, optimizePhotos);
    return waitUntil([&] { return adding.isFinished(); });
}

// A host for tests: records every request and answers alerts from a queue.
class FakeStoreHost final : public StoreHost {
public:
    QList<Vault> waiting;
    QList<Vault> relocated;
    QList<QUuid> shownPocketWindows;
    QList<QUuid> closedPocketWindows;
    QList<StoreAlert> alerts;
    QStringList openedFolders;
    // Answers for the next alerts, first one first; -1 when the queue is empty.
    QList<int> alertAnswers;

    void presentWaiting(const Vault& vault) override { waiting.append(vault); }
    void presentRelocated(const Vault& vault) override { relocated.append(vault); }
    void showPocketWindow(PocketSession&, const Vault& vault) override { shownPocketWindows.append(vault.id); }
    void closePocketWindow(const QUuid& vaultId) override { closedPocketWindows.append(vaultId); }
    int runAlert(const StoreAlert& alert) override {
        alerts.append(alert);
        return alertAnswers.isEmpty() ? -1 : alertAnswers.takeFirst();
    }
    void openFolder(const QString& path) override { openedFolders.append(path); }
};

// The store with its protected helpers in reach.
class TestStore : public VaultStore {
public:
    using VaultStore::BusyMark;
    using VaultStore::removeVault;
    using VaultStore::VaultStore;
};

// A scratch world for one store: a data folder, vault files, a stateful fake of the disk-image
// tools (fake-disk.sh beside this header) and fakes of every other dependency.
class StoreFixture : public ::testing::Test {
protected:
    StoreFixture() : defaults(dir.filePath(QStringLiteral("settings.ini"))) {
        QDir(dir.path()).mkpath(QStringLiteral("tools"));
        QDir(dir.path()).mkpath(QStringLiteral("vaults"));
        // Named by the build, not by __FILE__, which a compiler cache may leave relative.
        const QString script = QStringLiteral(LARKHOLD_FAKE_DISK);
        for (const char* name : {"hdiutil", "diskutil", "du", "mdutil", "opener"})
            QFile::copy(script, tool(QString::fromLatin1(name)));
        DiskImageTools tools;
        tools.hdiutil = tool(QStringLiteral("hdiutil"));
        tools.diskutil = tool(QStringLiteral("diskutil"));
        tools.du = tool(QStringLiteral("du"));
        tools.mdutil = tool(QStringLiteral("mdutil"));
        tools.opener = tool(QStringLiteral("opener"));
        disk = std::make_unique<DiskImage>(tools);
        SettingsKeys::registerDefaults(defaults);
    }

    ~StoreFixture() override {
        // Operations a test started and did not wait for (an unlock whose window was closed, a lock
        // after a check that already passed) end before the store and the fakes they use go: gates
        // are opened, then every busy mark must be gone.
        for (const QString& gate : QDir(dir.filePath(QStringLiteral("tools"))).entryList({QStringLiteral("*.gate")}))
            removeToolFile(gate);
        if (store) {
            const bool settled =
                waitUntil([this] { return store->busyVaults().isEmpty() && !store->unlockUnderWay(); });
            EXPECT_TRUE(settled) << "an operation of the store was still running when the test ended";
        }
        // Let detached work (folder openers, debounced saves) end before the fakes go.
        QCoreApplication::processEvents();
    }

    QString dataFolder() const { return dir.filePath(QStringLiteral("data")); }
    QString tool(const QString& name) const { return dir.filePath(QStringLiteral("tools/") + name); }
    QString toolState(const QString& name) const { return tool(name); }

    void setToolFile(const QString& name, const QByteArray& content = {}) const {
        QFile file(tool(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    void removeToolFile(const QString& name) const { QFile::remove(tool(name)); }
    QStringList toolLines(const QString& name) const {
        return QString::fromUtf8(readFile(tool(name))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    int callCount(const QString& call) const {
        return static_cast<int>(toolLines(QStringLiteral("calls.log")).count(call));
    }
    QString fakeMountPoint(const QString& name) const { return tool(QStringLiteral("volumes/") + name); }

    // A listed standard vault whose image folder exists.
    Vault standardVault(const QString& name) {
        Vault vault = newRecord(name, VaultKind::standard, QStringLiteral(".sparsebundle"), 1024);
        vault.openInFinderAfterUnlock = false;
        QDir().mkpath(vault.bundlePath);
        listed.append(vault);
        return vault;
    }

    // A listed Pocket Vault of 1 MB, created with `password`.
    Vault pocketVault(const QString& name, const QString& password) {
        Vault vault = newRecord(name, VaultKind::pocket, QStringLiteral(".pocketvault"), 1);
        PocketStorage::create(vault.bundlePath, 1, password, false);
        listed.append(vault);
        return vault;
    }

    // Writes the vaults made so far as the list file and starts a store on it, timers off.
    TestStore& startStore() {
        if (!listed.isEmpty()) {
            QDir().mkpath(dataFolder());
            EXPECT_FALSE(VaultList(dataFolder()).save(listed).has_value());
        }
        VaultStoreDeps deps = storeDeps();
        deps.startTimers = false;
        store = std::make_unique<TestStore>(deps);
        return *store;
    }

    // This fixture's fakes and data folder, as a store started on them uses them.
    VaultStoreDeps storeDeps() {
        VaultStoreDeps deps;
        deps.diskImage = disk.get();
        deps.secrets = &secrets;
        deps.ownerCheck = &owner;
        deps.defaults = &defaults;
        deps.clock = &clock;
        deps.host = &host;
        deps.dataFolder = dataFolder();
        // A look or a fake tool's size count on a loaded machine may take longer than the desktop's
        // deadline; only the tests of a share that stops answering want a look to miss it, and they
        // set their own.
        deps.fileLookDeadline = std::chrono::seconds(60);
        return deps;
    }

    // A fresh record for a file named `name` + `suffix` in the fixture's vault folder.
    Vault newRecord(const QString& name, VaultKind kind, const QString& suffix, qint64 maxSizeMB) const {
        Vault vault;
        vault.id = QUuid::createUuid();
        vault.kind = kind;
        vault.name = name;
        vault.bundlePath = dir.filePath(QStringLiteral("vaults/") + name + suffix);
        vault.maxSizeMB = maxSizeMB;
        return vault;
    }

    QStringList activityTexts() const {
        QStringList texts;
        for (const ActivityEvent& event : store->activity())
            texts.append(event.text);
        return texts;
    }

    bool unlockWith(const Vault& vault, const QString& password, bool remember = false) {
        return QCoro::waitFor(store->unlock(vault, password, remember, UnlockMethod::password));
    }

    QTemporaryDir dir;
    std::unique_ptr<DiskImage> disk;
    FakeSecretStore secrets;
    FakeOwnerCheck owner;
    Defaults defaults;
    FakeClock clock;
    FakeStoreHost host;
    QList<Vault> listed;
    std::unique_ptr<TestStore> store;
};

} // namespace larkhold::test
