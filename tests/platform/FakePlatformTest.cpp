#include "FakeOwnerCheck.h"
#include "FakeSecretStore.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
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

namespace {

template <typename Predicate> bool eventually(Predicate done) {
    QDeadlineTimer ceiling(std::chrono::minutes(1));
    while (!done()) {
        if (ceiling.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

using Outcome = SecretStore::Lookup::Outcome;

} // namespace

TEST(SecretStore, WhileTheKeyringHangsAVaultHasOneLookupWaitingAndAskingAgainSharesIt) {
    FakeSecretStore store;
    store.savePassword(QStringLiteral("first"), firstVault);
    store.savePassword(QStringLiteral("second"), secondVault);
    store.setDeadline(std::chrono::hours(1));
    store.hang();
    const QFuture<SecretStore::Lookup> running = store.lookUp(secondVault);
    ASSERT_TRUE(eventually([&] { return store.waitingCalls() == 1; }));
    QList<QFuture<SecretStore::Lookup>> rounds;
    for (int round = 0; round < 20; ++round) {
        rounds.append(store.lookUp(firstVault));
        rounds.append(store.lookUp(secondVault));
    }
    EXPECT_EQ(store.callsUnderWay(), 3) << "one running, one waiting for each vault";

    // A save between two lookups is seen by the second: it does not share the first's answer.
    const QFuture<SecretStore::Lookup> before = store.lookUp(firstVault);
    store.savePassword(QStringLiteral("changed"), firstVault);
    const QFuture<SecretStore::Lookup> after = store.lookUp(firstVault);
    EXPECT_EQ(store.callsUnderWay(), 5);

    store.answer();
    ASSERT_TRUE(eventually([&] { return after.isFinished() && store.callsUnderWay() == 0; }));
    for (const QFuture<SecretStore::Lookup>& lookup : std::as_const(rounds))
        ASSERT_TRUE(lookup.isFinished() && lookup.result().outcome == Outcome::found);
    EXPECT_EQ(before.result().password, QStringLiteral("first"));
    EXPECT_EQ(after.result().password, QStringLiteral("changed"));
    EXPECT_EQ(store.calls().count({FakeSecretStore::Operation::read, SecretStore::accountName(firstVault)}), 2);
}

TEST(SecretStore, ALookupPastItsDeadlineSaysTheKeyringDidNotAnswer) {
    FakeSecretStore store;
    store.savePassword(QStringLiteral("pw"), firstVault);
    EXPECT_EQ(store.lookUp(secondVault).result().outcome, Outcome::none);
    store.setDeadline(std::chrono::milliseconds(1));
    store.hang();
    const QFuture<SecretStore::Lookup> asking = store.lookUp(firstVault);
    ASSERT_TRUE(eventually([&] { return asking.isFinished(); }));
    const SecretStore::Lookup late = asking.result();
    EXPECT_EQ(late.outcome, Outcome::noAnswer);
    EXPECT_FALSE(late.password);
    store.answer();
}

// The end of the store: lookups are told at once, and the saves that cannot be done in time take the item
// they were to replace with them at the next start.
TEST(SecretStore, AtTheEndASaveThatCannotBeDoneLeavesNoStalePasswordForTheNextStart) {
    QTemporaryDir folder;
    const QString record = folder.filePath(QStringLiteral("keyring-stale"));
    auto first = std::make_unique<FakeSecretStore>();
    first->setStaleRecord(record);
    first->savePassword(QStringLiteral("old first"), firstVault);
    first->savePassword(QStringLiteral("old second"), secondVault);
    first->setDeadline(std::chrono::hours(1));
    first->setEndDeadline(std::chrono::milliseconds(1));
    std::unique_ptr<FakeSecretStore> next = first->nextStart();
    first->hang();
    first->savePassword(QStringLiteral("new first"), firstVault);
    ASSERT_TRUE(eventually([&] { return first->waitingCalls() == 1; }));
    first->savePassword(QStringLiteral("new second"), secondVault);
    const QFuture<SecretStore::Lookup> waiting = first->lookUp(secondVault);
    first.reset();
    ASSERT_TRUE(waiting.isFinished()) << "a lookup is answered by the end, not left to its deadline";
    EXPECT_EQ(waiting.result().outcome, Outcome::noAnswer);
    EXPECT_TRUE(QFile::exists(record));

    // The keyring comes back: the save it was stuck in goes through, the one behind it never does.
    next->answer();
    ASSERT_TRUE(eventually([&] { return next->saved(firstVault) == QStringLiteral("new first"); }));
    EXPECT_EQ(next->saved(secondVault), QStringLiteral("old second"));
    next->setStaleRecord(record);
    EXPECT_EQ(next->saved(secondVault), std::nullopt) << "the next unlock asks rather than use the old password";
    EXPECT_EQ(next->saved(firstVault), std::nullopt);
    EXPECT_FALSE(QFile::exists(record)) << "done once";

    // A store that ends with its saves done leaves no record.
    next->savePassword(QStringLiteral("again"), firstVault);
    next.reset();
    EXPECT_FALSE(QFile::exists(record));
}
