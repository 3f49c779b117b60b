#include "PocketFile.h"

#include "Argon2id.h"
#include "Crypto.h"
#include "FastKdf.h"
#include "PocketErrorCase.h"
#include "PocketFormat.h"
#include "PocketPayload.h"
#include "PocketVaultError.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace larkhold;
using test::errorOf;

namespace {

constexpr std::int64_t kOneMB = 1'048'576;

PocketFile randomFile(std::int64_t capacity = kOneMB) {
    return PocketFile(PocketFormat::randomBytes(static_cast<std::size_t>(PocketFormat::fileSizeForCapacity(capacity))),
                      capacity);
}

// A random vault with `password` in slot `slot` and an encoded empty area.
PocketFile vaultWith(const QString& password, int slot, std::int64_t capacity = kOneMB) {
    PocketFile file = randomFile(capacity);
    const PocketKey key{slot, crypto::randomBytes(32)};
    file.setSlot(slot, password, key.key);
    file.writeArea(key, PocketPayload::encode({}, capacity));
    return file;
}

TEST(PocketFormat, RecognisesTierSizesOnly) {
    EXPECT_EQ(PocketFormat::capacity(2'097'392), kOneMB);
    EXPECT_EQ(PocketFormat::capacity(10'486'000), 5 * kOneMB);
    EXPECT_EQ(PocketFormat::capacity(52'429'040), 25 * kOneMB);
    EXPECT_EQ(PocketFormat::capacity(104'857'840), 50 * kOneMB);
    for (std::int64_t size : {0ll, 240ll, 2'097'391ll, 2'097'393ll, 4'194'544ll, -2'097'392ll})
        EXPECT_FALSE(PocketFormat::capacity(size)) << size;
}

TEST(PocketFormat, RecognisesFilesBySizeNotName) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto makeFile = [&](const QString& name, qint64 size) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        EXPECT_TRUE(f.resize(size));
        return f.fileName();
    };
    EXPECT_TRUE(PocketFormat::isPocketVaultFile(makeFile(QStringLiteral("notes.txt"), 2'097'392)));
    EXPECT_FALSE(PocketFormat::isPocketVaultFile(makeFile(QStringLiteral("a.pocketvault"), 2'097'391)));
    EXPECT_FALSE(PocketFormat::isPocketVaultFile(makeFile(QStringLiteral("b.pocketvault"), 2'097'393)));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("c.pocketvault")));
    EXPECT_FALSE(PocketFormat::isPocketVaultFile(dir.filePath(QStringLiteral("c.pocketvault"))));
    EXPECT_FALSE(PocketFormat::isPocketVaultFile(dir.filePath(QStringLiteral("missing.pocketvault"))));
}

TEST(PocketVaultError, Messages) {
    EXPECT_EQ(PocketVaultError::full(1'572'864, 1'048'576).message(),
              QStringLiteral("Not enough room — this needs 1.5 MB of 1 MB."));
    EXPECT_EQ(PocketVaultError::full(0, 1'048'576).message(),
              QStringLiteral("Not enough room — this needs 0 bytes of 1 MB."));
    EXPECT_EQ(PocketVaultError::badPassword().message(), QStringLiteral("Wrong password."));
    EXPECT_EQ(PocketVaultError::notAPocketVault().message(), QStringLiteral("That file isn’t a Pocket Vault."));
    EXPECT_EQ(PocketVaultError::damaged().message(), QStringLiteral("The vault file is damaged and can’t be read."));
    EXPECT_EQ(PocketVaultError::sameAsCurrentPassword().message(),
              QStringLiteral("The second password must be different from the password you unlocked with."));
    EXPECT_STREQ(PocketVaultError::badPassword().what(), "Wrong password.");
}

TEST(PocketFile, RefusesBytesThatDoNotMatchTheCapacity) {
    EXPECT_EQ(errorOf([] { PocketFile(std::vector<std::uint8_t>(2'097'391), kOneMB); }),
              PocketVaultError::Case::notAPocketVault);
    EXPECT_EQ(errorOf([] { PocketFile(std::vector<std::uint8_t>(2'097'392), 5 * kOneMB); }),
              PocketVaultError::Case::notAPocketVault);
}

TEST(PocketFile, UnlocksTheSlotThatWasSetAndNothingElse) {
    for (int slot : {0, 1}) {
        const PocketFile file = vaultWith(QStringLiteral("correct horse"), slot);
        const PocketKey key = file.unlock(QStringLiteral("correct horse"));
        EXPECT_EQ(key.area, slot);
        EXPECT_TRUE(PocketPayload::decode(file.readArea(key)).empty());
        EXPECT_TRUE(file.passwordOpensSlot(QStringLiteral("correct horse"), slot));
        EXPECT_FALSE(file.passwordOpensSlot(QStringLiteral("correct horse"), 1 - slot));
        EXPECT_EQ(errorOf([&] { file.unlock(QStringLiteral("correct horse ")); }), PocketVaultError::Case::badPassword);
        EXPECT_EQ(errorOf([&] { file.unlock(QString()); }), PocketVaultError::Case::badPassword);
    }
    EXPECT_EQ(errorOf([] { randomFile().unlock(QStringLiteral("anything")); }), PocketVaultError::Case::badPassword);
}

TEST(PocketFile, PasswordsMatchInEitherNormalForm) {
    const QString composed = QStringLiteral("caf\u00e9 na\u00efve");
    const QString decomposed = QStringLiteral("cafe\u0301 nai\u0308ve");
    ASSERT_NE(composed, decomposed);
    EXPECT_EQ(vaultWith(composed, 0).unlock(decomposed).area, 0);
    EXPECT_EQ(vaultWith(decomposed, 1).unlock(composed).area, 1);
    EXPECT_EQ(PocketFile::passwordBytes(decomposed), PocketFile::passwordBytes(composed));
}

TEST(PocketFile, OnePasswordInBothSlotsOpensAreaZero) {
    PocketFile file = randomFile();
    file.setSlot(1, QStringLiteral("same"), crypto::randomBytes(32));
    file.setSlot(0, QStringLiteral("same"), crypto::randomBytes(32));
    EXPECT_EQ(file.unlock(QStringLiteral("same")).area, 0);
}

TEST(PocketFile, SetSlotChangesOnlyThatSlotWithFreshSaltAndNonce) {
    PocketFile file = vaultWith(QStringLiteral("pw"), 0);
    const std::vector<std::uint8_t> before = file.bytes();
    const PocketKey key = file.unlock(QStringLiteral("pw"));
    file.setSlot(0, QStringLiteral("pw"), key.key);
    const auto& after = file.bytes();
    EXPECT_TRUE(std::equal(before.begin() + 92, before.end(), after.begin() + 92));
    EXPECT_FALSE(std::equal(before.begin(), before.begin() + 32, after.begin()));           // salt
    EXPECT_FALSE(std::equal(before.begin() + 32, before.begin() + 44, after.begin() + 32)); // nonce
    EXPECT_EQ(file.unlock(QStringLiteral("pw")).key, key.key);
}

TEST(PocketFile, AnyChangedSlotByteLocksThatSlot) {
    const PocketFile original = vaultWith(QStringLiteral("pw"), 1);
    for (std::size_t offset = 92; offset < 184; ++offset) {
        PocketFile file = original;
        file.bytes()[offset] ^= 0x01;
        EXPECT_FALSE(file.passwordOpensSlot(QStringLiteral("pw"), 1)) << offset;
    }
}

TEST(PocketFile, AnyChangedAreaByteIsDamageWhileTheSlotStillOpens) {
    const PocketFile original = vaultWith(QStringLiteral("pw"), 0);
    const std::int64_t areaStart = 184, areaEnd = 184 + kOneMB + 28;
    for (std::int64_t offset :
         {areaStart, areaStart + 11, areaStart + 12, areaStart + 5000, areaEnd - 17, areaEnd - 16, areaEnd - 1}) {
        PocketFile file = original;
        file.bytes()[static_cast<std::size_t>(offset)] ^= 0x80;
        const PocketKey key = file.unlock(QStringLiteral("pw"));
        EXPECT_EQ(errorOf([&] { file.readArea(key); }), PocketVaultError::Case::damaged) << offset;
    }
    // Area 1's bytes are not area 0's business.
    PocketFile file = original;
    file.bytes()[static_cast<std::size_t>(areaEnd + 100)] ^= 0x80;
    EXPECT_NO_THROW(file.readArea(file.unlock(QStringLiteral("pw"))));
}

TEST(PocketFile, BoxesDoNotOpenInAnotherPlaceOrTier) {
    const PocketFile source = vaultWith(QStringLiteral("pw"), 0);

    PocketFile moved = randomFile();
    std::copy(source.bytes().begin(), source.bytes().begin() + 92, moved.bytes().begin() + 92);
    EXPECT_EQ(errorOf([&] { moved.unlock(QStringLiteral("pw")); }), PocketVaultError::Case::badPassword);

    PocketFile otherTier = randomFile(5 * kOneMB);
    std::copy(source.bytes().begin(), source.bytes().begin() + 92, otherTier.bytes().begin());
    EXPECT_EQ(errorOf([&] { otherTier.unlock(QStringLiteral("pw")); }), PocketVaultError::Case::badPassword);

    // An area box moved to the other area position does not open with its key either.
    PocketFile swapped = source;
    const PocketKey key = swapped.unlock(QStringLiteral("pw"));
    const auto areaSize = static_cast<std::ptrdiff_t>(kOneMB + 28);
    std::copy(source.bytes().begin() + 184, source.bytes().begin() + 184 + areaSize,
              swapped.bytes().begin() + 184 + areaSize);
    EXPECT_EQ(errorOf([&] { swapped.readArea(PocketKey{1, key.key}); }), PocketVaultError::Case::damaged);
}

TEST(PocketFile, WriteAreaRoundTripsAndRejectsWrongLengths) {
    PocketFile file = vaultWith(QStringLiteral("pw"), 1);
    const PocketKey key = file.unlock(QStringLiteral("pw"));
    const PocketItems items{PocketItem::note(QStringLiteral("n"), QStringLiteral("text"), Date{1})};
    file.writeArea(key, PocketPayload::encode(items, kOneMB));
    EXPECT_EQ(PocketPayload::decode(file.readArea(key)), items);
    const std::vector<std::uint8_t> before = file.bytes();
    EXPECT_THROW(file.writeArea(key, SecureBytes(kOneMB - 1)), std::invalid_argument);
    EXPECT_EQ(file.bytes(), before);
}

// Vaults written by every earlier version must keep opening, so the layout is rebuilt here from
// literal offsets and associated-data texts instead of from the code under test.
TEST(PocketFile, LayoutAndAssociatedDataAreFixed) {
    constexpr std::size_t C = kOneMB;
    const auto kek = [](ByteView salt) {
        const KdfCost cost = PocketFile::kdfCost();
        return Argon2id::hash(asBytes("p\xc3\xa4ss"), salt, {}, {}, cost.iterations, cost.memoryKiB, cost.parallelism,
                              32); // "päss" in NFC
    };
    const PocketItems items{PocketItem::note(QStringLiteral("n"), QStringLiteral("hand made"), Date{7})};

    // Written by hand into slot 1 and area 1, opened by the code.
    std::vector<std::uint8_t> bytes = PocketFormat::randomBytes(2 * C + 240);
    ASSERT_EQ(bytes.size(), 2'097'392u);
    const SecureBytes areaKey = crypto::randomBytes(32);
    const ByteView salt1(bytes.data() + 92, 32);
    crypto::aesGcmSeal(kek(salt1), areaKey, asBytes("Larkhold Pocket Vault 1 slot 1 1048576"),
                       std::span(bytes).subspan(92 + 32, 60));
    crypto::aesGcmSeal(areaKey, PocketPayload::encode(items, C), asBytes("Larkhold Pocket Vault 1 area 1 1048576"),
                       std::span(bytes).subspan(184 + C + 28, C + 28));
    const PocketFile handMade(bytes, C);
    const PocketKey key = handMade.unlock(QStringLiteral("pa\u0308ss"));
    EXPECT_EQ(key.area, 1);
    EXPECT_EQ(PocketPayload::decode(handMade.readArea(key)), items);

    // Written by the code into slot 0 and area 0, opened by hand.
    PocketFile file = randomFile();
    const PocketKey key0{0, crypto::randomBytes(32)};
    file.setSlot(0, QStringLiteral("p\u00e4ss"), key0.key);
    file.writeArea(key0, PocketPayload::encode(items, C));
    const std::vector<std::uint8_t>& out = file.bytes();
    SecureBytes opened(32), plaintext(C);
    ASSERT_TRUE(crypto::aesGcmOpen(kek(ByteView(out.data(), 32)), ByteView(out.data() + 32, 60),
                                   asBytes("Larkhold Pocket Vault 1 slot 0 1048576"), opened));
    EXPECT_EQ(opened, key0.key);
    ASSERT_TRUE(crypto::aesGcmOpen(key0.key, ByteView(out.data() + 184, C + 28),
                                   asBytes("Larkhold Pocket Vault 1 area 0 1048576"), plaintext));
    EXPECT_EQ(PocketPayload::decode(plaintext), items);
}

// The one unlock at the real cost, so that the production parameters are accepted by the
// key derivation and give the same result through every path.
TEST(PocketFile, ProductionCostUnlock) {
    KdfCost* const saved = larkholdTestKdfOverride;
    larkholdTestKdfOverride = nullptr;
    const KdfCost cost = PocketFile::kdfCost();
    EXPECT_EQ(cost.iterations, 3u);
    EXPECT_EQ(cost.memoryKiB, 131072u);
    EXPECT_EQ(cost.parallelism, 1u);
    PocketFile file = randomFile();
    const SecureBytes areaKey = crypto::randomBytes(32);
    file.setSlot(1, QStringLiteral("production"), areaKey);
    const PocketKey key = file.unlock(QStringLiteral("production"));
    larkholdTestKdfOverride = saved;
    EXPECT_EQ(key.area, 1);
    EXPECT_EQ(key.key, areaKey);
    // A slot sealed at the real cost does not open at the cheap one.
    EXPECT_EQ(errorOf([&] { file.unlock(QStringLiteral("production")); }), PocketVaultError::Case::badPassword);
}

} // namespace
