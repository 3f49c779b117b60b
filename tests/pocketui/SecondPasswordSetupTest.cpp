#include "SecondPasswordSetup.h"

#include "PocketTestSupport.h"
#include "SheetRules.h"

#include <QSignalSpy>

namespace larkhold::test {
namespace {

const QString kNoteText = QStringLiteral("Dentist on Tuesday at ten, then pick up the parcel from the post office.");

class SecondPassword : public PocketFixture {
protected:
    std::unique_ptr<SecondPasswordSetup> setupFor(PocketSession& session) {
        return std::make_unique<SecondPasswordSetup>(session, session.document().items(), secrets, store.get(),
                                                     &importer);
    }

    // Three believable items for the second set: two notes and a PDF.
    void fillDecoy(SecondPasswordSetup& setup) {
        addAndWait(setup.decoy(),
                   {inputFile(QStringLiteral("Groceries.txt"),
                              "Milk, bread, eggs, apples and coffee for the weekend breakfast."),
                    inputFile(QStringLiteral("Gym.txt"), "Monday legs, Wednesday back and arms, Friday a long run."),
                    inputFile(QStringLiteral("Invoice.pdf"), testPdf("Invoice 2023-114"))},
                   false);
    }

    void typePasswords(SecondPasswordSetup& setup, const QString& password) {
        setup.setPassword(password);
        setup.setConfirmPassword(password);
    }
};

TEST_F(SecondPassword, PasswordMessagesCountCharactersNotBytes) {
    PocketSession* session = openPocket();
    auto setup = setupFor(*session);
    EXPECT_FALSE(setup->passwordMessage().has_value()) << "nothing while empty";
    setup->setPassword(QStringLiteral("abc"));
    EXPECT_EQ(setup->passwordMessage(), QStringLiteral("At least 6 characters.")) << "even with an empty confirmation";
    setup->setPassword(QStringLiteral("abcdef"));
    EXPECT_FALSE(setup->passwordMessage().has_value());
    setup->setConfirmPassword(QStringLiteral("abcdeg"));
    EXPECT_EQ(setup->passwordMessage(), QStringLiteral("Passwords don’t match."));
    const QString withZero = QStringLiteral("secret") + QChar(u'\0') + QStringLiteral("word");
    typePasswords(*setup, withZero);
    EXPECT_EQ(setup->passwordMessage(),
              QStringLiteral("A password can’t contain the zero character (U+0000). Type it again without it."));

    // Six characters, each more than one byte (and the last two more than one code unit).
    const QString accented = QString::fromUtf8("\xC3\xA9\xC3\xA0\xC3\xBC\xC3\xB1\xF0\x9F\x94\x91\xF0\x9F\x8C\xB2");
    ASSERT_EQ(characterCount(accented), 6);
    typePasswords(*setup, accented);
    EXPECT_FALSE(setup->passwordMessage().has_value());
    EXPECT_FALSE(setup->ready()) << "the checks still fail";
}

TEST_F(SecondPassword, ChecksDecideWhenSavingIsPossible) {
    PocketSession* session = openPocket();
    auto setup = setupFor(*session);
    EXPECT_EQ(setup->checks().size(), 3u) << "no mix or amount rows against an empty vault";
    EXPECT_EQ(setup->usageCaption(), QStringLiteral("%1 of 1 MB").arg(formatByteCount(PocketPayload::sizeOf({}))))
        << "the fixed overhead shows as used from the start";

    typePasswords(*setup, QStringLiteral("second secret"));
    EXPECT_FALSE(setup->ready());
    EXPECT_EQ(setup->countText(), QStringLiteral("2 of 3"));
    fillDecoy(*setup);
    ASSERT_EQ(setup->decoy().items().size(), 3u);
    EXPECT_TRUE(setup->allChecksPassed());
    EXPECT_EQ(setup->countText(), QStringLiteral("3 of 3"));
    EXPECT_TRUE(setup->ready());
    setup->setConfirmPassword(QStringLiteral("second secreT"));
    EXPECT_FALSE(setup->ready());
}

TEST_F(SecondPassword, ChecksCompareWithTheVaultItemsAsTheSetupOpened) {
    PocketSession* session = openPocket();
    addAndWait(session->document(), {inputFile(QStringLiteral("Diary.txt"), kNoteText.toUtf8())}, false);
    auto setup = setupFor(*session);
    EXPECT_EQ(setup->checks().size(), 5u);
    addAndWait(setup->decoy(), {inputFile(QStringLiteral("Copy.txt"), kNoteText.toUtf8())}, false);
    const auto unique = std::find_if(setup->checks().begin(), setup->checks().end(),
                                     [](const DecoyChecklist::Check& c) { return c.id == QStringLiteral("unique"); });
    ASSERT_NE(unique, setup->checks().end());
    EXPECT_FALSE(unique->passed);
    EXPECT_EQ(unique->detail, QStringLiteral("Remove items that are also in your vault"));
}

TEST_F(SecondPassword, SavingReplacesTheSavedPasswordAndWipesTheSecondSet) {
    PocketSession* session = openPocket(QStringLiteral("Travel"), QStringLiteral("main password"));
    addAndWait(session->document(), {inputFile(QStringLiteral("Real.txt"), kNoteText.toUtf8())}, false);
    ASSERT_TRUE(QCoro::waitFor(session->finish()));
    secrets.savePassword(QStringLiteral("main password"), pocket.id);

    auto setup = setupFor(*session);
    fillDecoy(*setup);
    // The vault's items are one note: the second set needs notes only, and a quarter of its bytes.
    typePasswords(*setup, QStringLiteral("second secret"));
    setup->setRememberInKeychain(true);
    ASSERT_TRUE(setup->ready()) << setup->countText().toStdString();
    QSignalSpy saved(setup.get(), &SecondPasswordSetup::saved);
    EXPECT_TRUE(QCoro::waitFor(setup->save()));
    EXPECT_EQ(saved.count(), 1);
    EXPECT_TRUE(setup->decoy().items().empty());
    EXPECT_EQ(secrets.saved(pocket.id), QStringLiteral("second secret"));

    // Both passwords open the file, each with its own items; the open vault is unchanged.
    EXPECT_EQ(itemsOnDisk(QStringLiteral("second secret")).size(), 3u);
    ASSERT_EQ(itemsOnDisk(QStringLiteral("main password")).size(), 1u);
    EXPECT_EQ(session->document().items().size(), 1u);
}

TEST_F(SecondPassword, WithoutRememberingTheKeyringForgetsTheVault) {
    PocketSession* session = openPocket(QStringLiteral("Travel"), QStringLiteral("main password"));
    secrets.savePassword(QStringLiteral("main password"), pocket.id);
    auto setup = setupFor(*session);
    fillDecoy(*setup);
    typePasswords(*setup, QStringLiteral("second secret"));
    EXPECT_TRUE(QCoro::waitFor(setup->save()));
    EXPECT_FALSE(secrets.saved(pocket.id).has_value());
}

TEST_F(SecondPassword, TheUnlockingPasswordIsRefusedAndNothingIsWritten) {
    PocketSession* session = openPocket(QStringLiteral("Travel"), QStringLiteral("main password"));
    secrets.savePassword(QStringLiteral("main password"), pocket.id);
    const QByteArray before = readFile(pocket.bundlePath);
    auto setup = setupFor(*session);
    fillDecoy(*setup);
    typePasswords(*setup, QStringLiteral("main password"));
    EXPECT_FALSE(QCoro::waitFor(setup->save()));
    EXPECT_EQ(setup->errorText(),
              QStringLiteral("The second password must be different from the password you unlocked with."));
    EXPECT_FALSE(setup->working());
    EXPECT_EQ(setup->decoy().items().size(), 3u) << "kept to correct and save again";
    EXPECT_EQ(readFile(pocket.bundlePath), before);
    EXPECT_EQ(secrets.saved(pocket.id), QStringLiteral("main password")) << "the keyring is not touched";
}

TEST_F(SecondPassword, TheSetupCountsAsUseSoAutoLockWaits) {
    PocketSession* session = openPocket();
    defaults.setValue(SettingsKeys::autoLockMinutes, 1);
    auto setup = setupFor(*session);
    // The user works in the setup for ten minutes, never pausing a whole minute.
    for (int step = 0; step < 20; ++step) {
        clock.advance(30);
        if (step % 2 == 0)
            setup->setPassword(QStringLiteral("second secret").left(step / 2 + 1));
        else
            setup->decoy().addNote();
        QCoro::waitFor(store->autoLockTick());
        ASSERT_TRUE(store->isUnlocked(pocket.id)) << "locked in the middle of the setup, at step " << step;
    }
    clock.advance(120);
    QCoro::waitFor(store->autoLockTick());
    EXPECT_FALSE(store->isUnlocked(pocket.id)) << "idle in the setup is idle";
}

TEST_F(SecondPassword, TheConfirmationSaysTheOtherItemsAreErasedForGood) {
    EXPECT_TRUE(SecondPasswordSetup::confirmationInformativeText().contains(QStringLiteral("erased for good")));
    EXPECT_TRUE(SecondPasswordSetup::confirmationInformativeText().contains(QStringLiteral("can’t be recovered")));
    EXPECT_EQ(SecondPasswordSetup::confirmationButtons().front(), QStringLiteral("Replace and Erase"));
    EXPECT_EQ(SecondPasswordSetup::rememberLabel(), QStringLiteral("Remember this password in my keyring"));
    for (const QString& line : SecondPasswordSetup::guidance()) {
        EXPECT_FALSE(line.contains(QStringLiteral("Keychain")));
        EXPECT_FALSE(line.contains(QStringLiteral("Touch ID")));
    }
}

} // namespace
} // namespace larkhold::test
