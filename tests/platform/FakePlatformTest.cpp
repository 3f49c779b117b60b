#include "FakeOwnerCheck.h"
#include "FakeSecretStore.h"

#include <QCoroTask>
#include <gtest/gtest.h>

using namespace larkhold;

namespace {

const QUuid firstVault = QUuid::fromString(QStringLiteral("{0f1e2d3c-4b5a-6978-8a9b-acbdcedfe0f1}"));
const QUuid secondVault = QUuid::fromString(QStringLiteral("{11111111-2222-3333-4444-555555555555}"));

SecureBytes bytesOf(std::string_view text) {
    return toSecure(asBytes(text));
}

} // namespace

TEST(SecretStore, AccountIsUpperCaseUuidWithoutBraces) {
    EXPECT_EQ(SecretStore::accountName(firstVault), QStringLiteral("0F1E2D3C-4B5A-6978-8A9B-ACBDCEDFE0F1"));
    EXPECT_STREQ(SecretStore::service, "com.quillmere.TarnFolder");

    FakeSecretStore store;
    store.savePassword(QStringLiteral("x"), firstVault);
    store.password(firstVault).result();
    store.deletePassword(firstVault);
    const QString account = QStringLiteral("0F1E2D3C-4B5A-6978-8A9B-ACBDCEDFE0F1");
    const QList<FakeSecretStore::Call> expected{{FakeSecretStore::Operation::save, account},
                                                {FakeSecretStore::Operation::read, account},
                                                {FakeSecretStore::Operation::remove, account}};
    EXPECT_EQ(store.calls(), expected);
}

TEST(SecretStore, PasswordIsStoredAsItsUtf8BytesAndReadBack) {
    FakeSecretStore store;
    const QString password = QStringLiteral("Gr\u00fc\u00dfe \u2014 \u5bc6\u7801 \U0001F511");
    store.savePassword(password, firstVault);

    const std::optional<SecureBytes> raw = store.storedSecret(firstVault);
    ASSERT_TRUE(raw);
    const QByteArray utf8 = password.toUtf8();
    EXPECT_EQ(*raw, bytesOf(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size()))));
    EXPECT_EQ(store.password(firstVault).result(), password);

    // A password may begin with U+FEFF; read back without it, it would be refused as wrong and then forgotten.
    const QString leadingMark = QChar(0xfeff) + QStringLiteral("pw");
    store.savePassword(leadingMark, secondVault);
    EXPECT_EQ(store.storedSecret(secondVault), bytesOf("\xef\xbb\xbfpw"));
    EXPECT_EQ(store.password(secondVault).result(), leadingMark);
}

TEST(SecretStore, SavingAgainReplacesAndVaultsStaySeparate) {
    FakeSecretStore store;
    EXPECT_EQ(store.password(firstVault).result(), std::nullopt);

    store.savePassword(QStringLiteral("one"), firstVault);
    store.savePassword(QStringLiteral("two"), secondVault);
    store.savePassword(QStringLiteral("three"), firstVault);
    EXPECT_EQ(store.itemCount(), 2);
    EXPECT_EQ(store.password(firstVault).result(), QStringLiteral("three"));
    EXPECT_EQ(store.password(secondVault).result(), QStringLiteral("two"));

    store.deletePassword(firstVault);
    store.deletePassword(firstVault); // nothing left to delete: no effect, no complaint
    EXPECT_EQ(store.password(firstVault).result(), std::nullopt);
    EXPECT_EQ(store.password(secondVault).result(), QStringLiteral("two"));
}

TEST(SecretStore, BytesThatAreNotUtf8ReadAsNoPassword) {
    FakeSecretStore store;
    const std::uint8_t invalid[][3] = {
        {0x61, 0xff, 0x62}, // a byte that never occurs in UTF-8
        {0xc0, 0xaf, 0x61}, // overlong encoding of '/'
        {0xed, 0xa0, 0x80}, // an encoded surrogate
    };
    for (const auto& bytes : invalid) {
        store.plantSecret(firstVault, bytes);
        EXPECT_EQ(store.password(firstVault).result(), std::nullopt);
    }
    const std::uint8_t truncated[] = {0x61, 0xe2, 0x82}; // a three-byte sequence cut short
    store.plantSecret(firstVault, truncated);
    EXPECT_EQ(store.password(firstVault).result(), std::nullopt);
}

TEST(SecretStore, PasswordThatCannotBeEncodedIsNotRemembered) {
    FakeSecretStore store;
    store.savePassword(QStringLiteral("old"), firstVault);
    QString broken = QStringLiteral("abc");
    broken.append(QChar(0xd800)); // a lone high surrogate
    store.savePassword(broken, firstVault);
    EXPECT_EQ(store.password(firstVault).result(), std::nullopt);
}

TEST(SecretStore, FailedSaveLeavesNoStalePassword) {
    FakeSecretStore store;
    store.savePassword(QStringLiteral("before the change"), firstVault);
    store.setFailSaves(true);
    store.savePassword(QStringLiteral("after the change"), firstVault);
    EXPECT_EQ(store.password(firstVault).result(), std::nullopt);
}

TEST(FakeOwnerCheck, AnswersFromScriptThenDefaultAndCountsRequests) {
    FakeOwnerCheck check(true);
    check.queueAnswers({false, true});
    EXPECT_FALSE(QCoro::waitFor(check.authenticate(QStringLiteral("unlock the vault \u201cA\u201d"))));
    EXPECT_TRUE(QCoro::waitFor(check.authenticate(QStringLiteral("b"))));
    EXPECT_TRUE(QCoro::waitFor(check.authenticate(QStringLiteral("c"))));
    EXPECT_EQ(check.callCount(), 3);
    EXPECT_EQ(check.reasons().constFirst(), QStringLiteral("unlock the vault \u201cA\u201d"));
}
