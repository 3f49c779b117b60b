#pragma once

#include "ClassicHome.h"
#include "Dialogs.h"
#include "HomeStoreHost.h"
#include "MainWindow.h"
#include "SheetFactory.h"
#include "VaultCard.h"
#include "VaultFileLocation.h"
#include "VaultStatusCache.h"
#include "store/StoreFixture.h"

#include <QDialog>
#include <QTest>
#include <memory>

namespace larkhold::test {

// Records which sheet was asked for and hands back a plain dialog in its place.
class FakeSheets final : public SheetFactory {
public:
    QStringList calls;
    QList<PasswordAction> passwordActions;

    QDialog* createVault(QWidget* parent) override { return make(parent, QStringLiteral("create")); }
    QDialog* unlock(QWidget* parent, const Vault& v) override {
        return make(parent, QStringLiteral("unlock:") + v.name);
    }
    QDialog* resize(QWidget* parent, const Vault& v) override {
        return make(parent, QStringLiteral("resize:") + v.name);
    }
    QDialog* rename(QWidget* parent, const Vault& v) override {
        return make(parent, QStringLiteral("rename:") + v.name);
    }
    QDialog* vaultSettings(QWidget* parent, const Vault& v) override {
        return make(parent, QStringLiteral("settings:") + v.name);
    }
    QDialog* changePassword(QWidget* parent, const Vault& v) override {
        return make(parent, QStringLiteral("changePassword:") + v.name);
    }
    QDialog* verify(QWidget* parent, const Vault& v) override {
        return make(parent, QStringLiteral("verify:") + v.name);
    }
    QDialog* passwordAction(QWidget* parent, const Vault& v, PasswordAction action) override {
        passwordActions.append(action);
        return make(parent, QStringLiteral("passwordAction:") + v.name);
    }
    QDialog* deleteVault(QWidget* parent, const Vault& v) override {
        return make(parent, QStringLiteral("delete:") + v.name);
    }

private:
    QDialog* make(QWidget* parent, const QString& call) {
        calls.append(call);
        auto* dialog = new QDialog(parent);
        dialog->setObjectName(call);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        return dialog;
    }
};

// The store with the helpers a window test needs to stage states.
class HomeStore : public VaultStore {
public:
    using VaultStore::BusyMark;
    using VaultStore::setSizeOnDisk;
    using VaultStore::VaultStore;
};

// A store over the fake disk-image tools, the main window over it with a recording sheet factory,
// and the dialog seam reset.
class HomeFixture : public StoreFixture {
protected:
    void SetUp() override {
        Dialogs::resetSeam();
        storeHost = std::make_unique<HomeStoreHost>(&owner);
    }

    void TearDown() override {
        // Store operations started by a click finish before the store goes.
        if (home) {
            EXPECT_TRUE(waitUntil([&] { return home->busyVaults().isEmpty(); }, 60'000));
        }
        window.reset();
        home.reset();
        QCoreApplication::processEvents();
        Dialogs::resetSeam();
    }

    HomeStore& startHomeStore() {
        if (!listed.isEmpty()) {
            QDir().mkpath(dataFolder());
            EXPECT_FALSE(VaultList(dataFolder()).save(listed).has_value());
        }
        VaultStoreDeps deps = storeDeps();
        deps.startTimers = false;
        home = std::make_unique<HomeStore>(deps);
        storeHost->setStore(home.get());
        return *home;
    }

    MainWindow& openWindow(bool show = true) {
        HomeDeps deps;
        deps.store = home.get();
        deps.defaults = &defaults;
        deps.sheets = &sheets;
        deps.ownerCheck = &owner;
        deps.secrets = &secrets;
        deps.refreshOnShow = false;
        window = std::make_unique<MainWindow>(deps);
        // Only files are looked at, off the GUI thread; the fake secret store is not shared with a worker.
        window->statusCache().setProbes(&probeVaultFile, [](const QUuid&) { return false; });
        // The tests look again through settleStatus(); a timed look in between could take a probe's
        // place, and a slow look on a loaded machine must not show as a disk that does not answer.
        window->statusCache().setInterval(std::chrono::hours(1));
        window->statusCache().setDeadline(std::chrono::seconds(60));
        storeHost->setParentWindow([w = window.get()] { return w; });
        if (show) {
            window->show();
            EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get(), 60000));
        }
        settleStatus();
        return *window;
    }

    // Waits for a fresh look at the files to finish.
    void settleStatus() {
        if (!window)
            return;
        VaultStatusCache& cache = window->statusCache();
        const quint64 before = cache.completedPasses();
        cache.refresh();
        ASSERT_TRUE(waitUntil([&] { return cache.completedPasses() > before && !cache.isRefreshing(); }, 60'000));
        QCoreApplication::processEvents();
    }

    ClassicHome* classic() const { return qobject_cast<ClassicHome*>(window->design()); }

    bool unlockHome(const Vault& vault, const QString& password = QStringLiteral("pw")) {
        return QCoro::waitFor(home->unlock(vault, password, false, UnlockMethod::password));
    }

    template <typename Predicate> static bool eventually(Predicate done) { return waitUntil(done, 60'000); }

    FakeSheets sheets;
    std::unique_ptr<HomeStoreHost> storeHost;
    std::unique_ptr<HomeStore> home;
    std::unique_ptr<MainWindow> window;
};

} // namespace larkhold::test
