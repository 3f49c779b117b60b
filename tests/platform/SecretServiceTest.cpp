#include "LibsecretStore.h"
#include "PeerEnvironment.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QProcess>

#undef signals
#include <gtest/gtest.h>
#include <libsecret/secret.h>

using namespace larkhold;

namespace {

const QUuid firstVault = QUuid::fromString(QStringLiteral("{6b1f0c2e-9d4a-4e57-8c3b-2f7e1a9d5c40}"));
const QUuid secondVault = QUuid::fromString(QStringLiteral("{a0b1c2d3-e4f5-4a6b-9c8d-7e6f5a4b3c2d}"));

// Looks at the service's items directly, the way another program would, with a schema of its own that
// matches on the two attributes only.
const SecretSchema* probeSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.example.Probe";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

constexpr const char* end = nullptr;

struct ItemCount {
    int matching = 0;       // items with our service and this account
    int withOurService = 0; // items with our service, any account
};

ItemCount countItems(const QUuid& vaultId) {
    ItemCount count;
    const QByteArray account = SecretStore::accountName(vaultId).toUtf8();
    GError* error = nullptr;
    GList* items = secret_password_search_sync(probeSchema(), SECRET_SEARCH_ALL, nullptr, &error, "service",
                                               SecretStore::service, end);
    if (error)
        g_error_free(error);
    for (GList* i = items; i; i = i->next) {
        ++count.withOurService;
        GHashTable* attributes = secret_retrievable_get_attributes(SECRET_RETRIEVABLE(i->data));
        const auto* itemAccount = static_cast<const char*>(g_hash_table_lookup(attributes, "account"));
        if (itemAccount && account == itemAccount)
            ++count.matching;
        g_hash_table_unref(attributes);
    }
    g_list_free_full(items, g_object_unref);
    return count;
}

void plantRawItem(const QUuid& vaultId, ByteView bytes) {
    const QByteArray account = SecretStore::accountName(vaultId).toUtf8();
    SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(bytes.data()),
                                          static_cast<gssize>(bytes.size()), "application/octet-stream");
    GError* error = nullptr;
    secret_password_store_binary_sync(probeSchema(), SECRET_COLLECTION_DEFAULT, "planted", value, nullptr, &error,
                                      "service", SecretStore::service, "account", account.constData(), end);
    secret_value_unref(value);
    ASSERT_EQ(error, nullptr) << error->message;
}

// Spins the event loop (which times a lookup's deadline) until `done` holds; false after a minute, a
// ceiling that only ends a wait that would otherwise hang.
template <typename Predicate> bool waitUntil(Predicate done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 60'000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

std::optional<QString> read(LibsecretStore& store, const QUuid& vaultId) {
    QFuture<std::optional<QString>> reading = store.password(vaultId);
    EXPECT_TRUE(waitUntil([&] { return reading.isFinished(); }));
    return reading.isFinished() ? reading.result() : std::nullopt;
}

// Saves and deletes are only handed over; a lookup runs after them, so once it answered they are done.
void settle(LibsecretStore& store) {
    read(store, QUuid());
}

class LibsecretStoreWithService : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insidePrivateSession())
            GTEST_SKIP() << "needs the private session of run-with-peer.sh";
        if (!peerUnavailableReason().isEmpty())
            GTEST_SKIP() << "no Secret Service: " << peerUnavailableReason().toStdString();
        if (!waitForBusName(QDBusConnection::sessionBus(), QStringLiteral("org.freedesktop.secrets")))
            GTEST_SKIP() << "gnome-keyring-daemon did not register org.freedesktop.secrets";
        store.deletePassword(firstVault);
        store.deletePassword(secondVault);
        // A healthy service on a loaded machine may be slow; only the silent one must miss the deadline.
        store.setDeadline(std::chrono::minutes(1));
        settle(store);
    }
    LibsecretStore store;
};

} // namespace

TEST_F(LibsecretStoreWithService, SavesReadsReplacesAndDeletesPerVault) {
    EXPECT_EQ(read(store, firstVault), std::nullopt);

    store.savePassword(QStringLiteral("first \u2014 \u5bc6\u7801"), firstVault);
    store.savePassword(QStringLiteral("second"), secondVault);
    EXPECT_EQ(read(store, firstVault), QStringLiteral("first \u2014 \u5bc6\u7801"));
    EXPECT_EQ(read(store, secondVault), QStringLiteral("second"));

    store.savePassword(QStringLiteral("first, changed"), firstVault);
    EXPECT_EQ(read(store, firstVault), QStringLiteral("first, changed"));
    EXPECT_EQ(countItems(firstVault).matching, 1);
    EXPECT_EQ(countItems(secondVault).matching, 1);
    EXPECT_EQ(countItems(firstVault).withOurService, 2);

    store.deletePassword(firstVault);
    EXPECT_EQ(read(store, firstVault), std::nullopt);
    EXPECT_EQ(countItems(firstVault).matching, 0);
    EXPECT_EQ(read(store, secondVault), QStringLiteral("second"));

    store.deletePassword(firstVault); // already gone: nothing happens
    store.deletePassword(secondVault);
    settle(store);
    EXPECT_EQ(countItems(secondVault).withOurService, 0);
}

TEST_F(LibsecretStoreWithService, ItemsWrittenElsewhereAreReadAndReplacedByServiceAndAccount) {
    // Another program's item for the vault: valid UTF-8 is read, and a save leaves exactly one item.
    plantRawItem(firstVault, asBytes("from elsewhere"));
    EXPECT_EQ(read(store, firstVault), QStringLiteral("from elsewhere"));
    store.savePassword(QStringLiteral("ours"), firstVault);
    settle(store);
    EXPECT_EQ(countItems(firstVault).matching, 1);
    EXPECT_EQ(read(store, firstVault), QStringLiteral("ours"));

    const std::uint8_t notUtf8[] = {0x70, 0x77, 0xff, 0xfe};
    plantRawItem(secondVault, notUtf8);
    EXPECT_EQ(read(store, secondVault), std::nullopt);
}

TEST(LibsecretStoreWithoutService, ReadsNothingAndSavesAreSilent) {
    if (!insidePrivateSession())
        GTEST_SKIP() << "needs the environment of run-with-peer.sh";
    LibsecretStore store;
    store.savePassword(QStringLiteral("nowhere to go"), firstVault);
    EXPECT_EQ(read(store, firstVault), std::nullopt);
    store.deletePassword(firstVault);
    EXPECT_EQ(read(store, secondVault), std::nullopt);
}

TEST_F(LibsecretStoreWithService, ComparingOperationsTouchOnlyTheMatchingPassword) {
    store.savePassword(QStringLiteral("old"), firstVault);
    store.forgetPasswordIf(firstVault, QStringLiteral("other"));
    store.replaceSavedPassword(secondVault, QStringLiteral("new"), std::nullopt); // none saved: none made
    EXPECT_EQ(read(store, firstVault), QStringLiteral("old"));
    EXPECT_EQ(read(store, secondVault), std::nullopt);

    store.replaceSavedPassword(firstVault, QStringLiteral("new"), QStringLiteral("not the saved one"));
    EXPECT_EQ(read(store, firstVault), QStringLiteral("old"));
    store.replaceSavedPassword(firstVault, QStringLiteral("new"), QStringLiteral("old"));
    EXPECT_EQ(read(store, firstVault), QStringLiteral("new"));
    store.forgetPasswordIf(firstVault, QStringLiteral("new"));
    EXPECT_EQ(read(store, firstVault), std::nullopt);
}

// A Secret Service that owns its name on the bus and never replies (silent-secret-service.py).
class LibsecretStoreWithSilentService : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insidePrivateSession())
            GTEST_SKIP() << "needs the private session of run-with-peer.sh";
        service.setProgram(QStringLiteral(LARKHOLD_SILENT_SECRET_SERVICE));
        service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        service.start();
        if (!waitUntil([&] { return said("ready") || service.state() == QProcess::NotRunning; }) || !said("ready"))
            GTEST_SKIP() << "the silent Secret Service did not start (python3-dbus missing?)";
    }
    void TearDown() override {
        service.closeWriteChannel();
        service.waitForFinished(60'000);
    }

    bool said(const char* line) {
        output += service.readAllStandardOutput();
        return output.split('\n').contains(QByteArray(line));
    }

    QProcess service;
    QByteArray output;
};

TEST_F(LibsecretStoreWithSilentService, NoCallWaitsForItAndALookupPastTheDeadlineFindsNothing) {
    auto store = std::make_unique<LibsecretStore>();
    store->setDeadline(std::chrono::minutes(1));
    // Handed over and left: the caller goes on while the service holds the call.
    store->savePassword(QStringLiteral("pw"), firstVault);
    ASSERT_TRUE(waitUntil([&] { return said("held 1"); }));
    QFuture<std::optional<QString>> waiting = store->password(firstVault);
    EXPECT_FALSE(waiting.isFinished()) << "a lookup waits for the service only off the caller's thread";

    store->setDeadline(std::chrono::milliseconds(100));
    QFuture<std::optional<QString>> late = store->password(secondVault);
    ASSERT_TRUE(waitUntil([&] { return late.isFinished(); }));
    EXPECT_EQ(late.result(), std::nullopt);

    // The store goes while the service holds its call: nothing waits for that call, nor does the
    // process's end.
    store.reset();
}
