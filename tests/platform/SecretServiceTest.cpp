#include "LibsecretStore.h"
#include "PeerEnvironment.h"

#include <QDBusConnection>

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
    }
    LibsecretStore store;
};

} // namespace

TEST_F(LibsecretStoreWithService, SavesReadsReplacesAndDeletesPerVault) {
    EXPECT_EQ(store.password(firstVault), std::nullopt);

    store.savePassword(QStringLiteral("first \u2014 \u5bc6\u7801"), firstVault);
    store.savePassword(QStringLiteral("second"), secondVault);
    EXPECT_EQ(store.password(firstVault), QStringLiteral("first \u2014 \u5bc6\u7801"));
    EXPECT_EQ(store.password(secondVault), QStringLiteral("second"));

    store.savePassword(QStringLiteral("first, changed"), firstVault);
    EXPECT_EQ(store.password(firstVault), QStringLiteral("first, changed"));
    EXPECT_EQ(countItems(firstVault).matching, 1);
    EXPECT_EQ(countItems(secondVault).matching, 1);
    EXPECT_EQ(countItems(firstVault).withOurService, 2);

    store.deletePassword(firstVault);
    EXPECT_EQ(store.password(firstVault), std::nullopt);
    EXPECT_EQ(countItems(firstVault).matching, 0);
    EXPECT_EQ(store.password(secondVault), QStringLiteral("second"));

    store.deletePassword(firstVault); // already gone: nothing happens
    store.deletePassword(secondVault);
    EXPECT_EQ(countItems(secondVault).withOurService, 0);
}

TEST_F(LibsecretStoreWithService, ItemsWrittenElsewhereAreReadAndReplacedByServiceAndAccount) {
    // Another program's item for the vault: valid UTF-8 is read, and a save leaves exactly one item.
    plantRawItem(firstVault, asBytes("from elsewhere"));
    EXPECT_EQ(store.password(firstVault), QStringLiteral("from elsewhere"));
    store.savePassword(QStringLiteral("ours"), firstVault);
    EXPECT_EQ(countItems(firstVault).matching, 1);
    EXPECT_EQ(store.password(firstVault), QStringLiteral("ours"));

    const std::uint8_t notUtf8[] = {0x70, 0x77, 0xff, 0xfe};
    plantRawItem(secondVault, notUtf8);
    EXPECT_EQ(store.password(secondVault), std::nullopt);
}

TEST(LibsecretStoreWithoutService, ReadsNothingAndSavesAreSilent) {
    if (!insidePrivateSession())
        GTEST_SKIP() << "needs the environment of run-with-peer.sh";
    LibsecretStore store;
    store.savePassword(QStringLiteral("nowhere to go"), firstVault);
    EXPECT_EQ(store.password(firstVault), std::nullopt);
    store.deletePassword(firstVault);
    EXPECT_EQ(store.password(secondVault), std::nullopt);
}
