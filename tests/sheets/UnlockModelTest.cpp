#include "UnlockModel.h"

#include "ChangeSheetModels.h"
#include "CheckSheetModels.h"
#include "SheetsFixture.h"

#include <QSignalSpy>

namespace larkhold::test {
namespace {

class UnlockSheet : public SheetsFixture {
protected:
    void SetUp() override {
        vault = standardVault(QStringLiteral("Taxes"));
        startStore();
        setToolFile(QStringLiteral("password"), "right-password");
    }
    Vault vault;
};

TEST_F(UnlockSheet, ShowsTheVaultAndItsHint) {
    UnlockModel standard(services(), vault);
    EXPECT_EQ(standard.title(), QStringLiteral("Unlock “Taxes”"));
    EXPECT_EQ(standard.subtitle(), QStringLiteral("The vault opens as a normal folder in the file manager"));
    EXPECT_EQ(standard.hintLine(), std::nullopt);
    EXPECT_FALSE(standard.saveToKeychain());

    Vault pocket = vault;
    pocket.kind = VaultKind::pocket;
    pocket.passwordHint = QString();
    UnlockModel empty(services(), pocket);
    EXPECT_EQ(empty.subtitle(), QStringLiteral("The vault opens in its own Larkhold window"));
    EXPECT_EQ(empty.hintLine(), std::nullopt);

    pocket.passwordHint = QStringLiteral("  first pet ");
    UnlockModel hinted(services(), pocket);
    EXPECT_EQ(hinted.hintLine(), QStringLiteral("Hint:   first pet "));
}

TEST_F(UnlockSheet, SaysWhyTheSavedPasswordWasNotUsed) {
    EXPECT_EQ(UnlockModel(services(), vault).savedPasswordLine(), std::nullopt);
    store->modifyVault(vault.id, [](Vault& v) { v.requireTouchID = true; });
    vault.requireTouchID = true;
    secrets.savePassword(QStringLiteral("right-password"), vault.id);
    owner.queueAnswers({false});
    QCoro::waitFor(store->requestUnlock(vault));
    ASSERT_TRUE(store->passwordPromptVault().has_value());
    EXPECT_EQ(UnlockModel(services(), vault).savedPasswordLine(),
              QStringLiteral("System authentication did not confirm it’s you, so the saved password was not used."));
}

TEST_F(UnlockSheet, WrongThenRightPassword) {
    UnlockModel model(services(), vault);
    QSignalSpy closing(&model, &SheetModel::closeRequested);
    EXPECT_FALSE(model.canUnlock());
    EXPECT_FALSE(model.unlock());
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 0);

    model.setPassword(QStringLiteral("wrong"));
    ASSERT_TRUE(model.unlock());
    EXPECT_TRUE(model.working());
    EXPECT_EQ(model.primaryLabel(), QStringLiteral("Unlocking…"));
    ASSERT_TRUE(eventually([&] { return !model.working(); }));
    EXPECT_EQ(closing.count(), 0);
    EXPECT_EQ(model.password(), QStringLiteral("wrong"));
    EXPECT_TRUE(model.canUnlock());
    EXPECT_EQ(model.failure(), QStringLiteral("Wrong password for “Taxes”."));

    // The same mistake again, with nobody having answered the first alert: the store's message
    // stays as it was, and the sheet still says why it is open.
    ASSERT_TRUE(model.unlock());
    ASSERT_TRUE(eventually([&] { return !model.working(); }));
    EXPECT_EQ(model.failure(), QStringLiteral("Wrong password for “Taxes”."));

    model.setPassword(QStringLiteral("right-password"));
    model.setSaveToKeychain(true);
    ASSERT_TRUE(model.unlock());
    EXPECT_EQ(model.failure(), std::nullopt);
    ASSERT_TRUE(eventually([&] { return !model.working(); }));
    EXPECT_EQ(closing.count(), 1);
    EXPECT_TRUE(store->isUnlocked(vault));
    EXPECT_EQ(secrets.saved(vault.id), QStringLiteral("right-password"));
    EXPECT_EQ(activityTexts().first(), QStringLiteral("Taxes unlocked · password"));
}

TEST_F(UnlockSheet, ASecondPressWhileWorkingStartsNothing) {
    UnlockModel model(services(), vault);
    model.setPassword(QStringLiteral("right-password"));
    ASSERT_TRUE(model.unlock());
    EXPECT_FALSE(model.canUnlock());
    EXPECT_FALSE(model.unlock());
    ASSERT_TRUE(eventually([&] { return !model.working(); }));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 1);
}

TEST_F(UnlockSheet, ClosesOnItsOwnResultNotOnTheSharedMessage) {
    // A message left over from another operation does not keep a successful unlock open.
    store->setErrorMessage(QStringLiteral("Something else went wrong."));
    UnlockModel model(services(), vault);
    QSignalSpy closing(&model, &SheetModel::closeRequested);
    model.setPassword(QStringLiteral("right-password"));
    model.unlock();
    ASSERT_TRUE(eventually([&] { return !model.working(); }));
    EXPECT_EQ(closing.count(), 1);
}

TEST_F(UnlockSheet, ShowsOnlyItsOwnAttemptsFailure) {
    // Another operation's message stands; this attempt fails without words (the vault file is gone).
    store->setErrorMessage(QStringLiteral("Could not resize vault: no room."));
    Vault missing = vault;
    missing.bundlePath += QStringLiteral(".gone");
    UnlockModel model(services(), missing);
    model.setPassword(QStringLiteral("right-password"));
    ASSERT_TRUE(model.unlock());
    ASSERT_TRUE(eventually([&] { return !model.working(); }));
    EXPECT_EQ(model.failure(), std::nullopt);
}

TEST_F(UnlockSheet, AResultAfterTheSheetWentReachesNothing) {
    setToolFile(QStringLiteral("attach.gate"));
    auto model = std::make_unique<UnlockModel>(services(), vault);
    model->setPassword(QStringLiteral("right-password"));
    model->unlock();
    model.reset();
    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(eventually([&] { return store->isUnlocked(vault) && store->busyVaults().isEmpty(); }));
}

// ---- pre-fill ----

class Prefill : public SheetsFixture {
protected:
    void SetUp() override {
        vault = standardVault(QStringLiteral("Photos"));
        startStore();
    }
    Vault guarded() {
        store->modifyVault(vault.id, [](Vault& v) { v.requireTouchID = true; });
        return *store->vault(vault.id);
    }
    Vault vault;
};

TEST_F(Prefill, NothingSavedAsksNothingAndLeavesTheFieldEmpty) {
    ResizeModel model(gatedServices(), guarded());
    model.open();
    QCoreApplication::processEvents();
    EXPECT_TRUE(gate.reasons.isEmpty());
    EXPECT_TRUE(model.password().isEmpty());
}

TEST_F(Prefill, SavedWithoutOwnerCheckFillsAtOnce) {
    secrets.savePassword(QStringLiteral("saved"), vault.id);
    ResizeModel model(gatedServices(), vault);
    model.open();
    EXPECT_EQ(model.password(), QStringLiteral("saved"));
    EXPECT_TRUE(gate.reasons.isEmpty());
}

TEST_F(Prefill, ReadsTheSavedPasswordOnceWhenTheSheetOpens) {
    secrets.savePassword(QStringLiteral("saved"), vault.id);
    secrets.clearCalls();
    ResizeModel model(services(), vault);
    model.open();
    model.open();
    model.setPassword(QStringLiteral("typed"));
    (void)model.canResize();
    (void)model.usageCaption();
    EXPECT_EQ(secrets.calls().size(), 1);
    EXPECT_EQ(model.password(), QStringLiteral("typed"));
}

TEST_F(Prefill, RefusedOwnerCheckKeepsWhatTheUserTyped) {
    secrets.savePassword(QStringLiteral("saved"), vault.id);
    ResizeModel model(gatedServices(), guarded());
    model.open();
    ASSERT_EQ(gate.reasons, QStringList{QStringLiteral("resize the vault “Photos”")});
    model.setPassword(QStringLiteral("typed meanwhile"));
    gate.answer(false);
    ASSERT_TRUE(eventually([&] { return gate.delivered == 1; }));
    EXPECT_EQ(model.password(), QStringLiteral("typed meanwhile"));
}

TEST_F(Prefill, PassedOwnerCheckReplacesWhatWasTyped) {
    secrets.savePassword(QStringLiteral("saved"), vault.id);
    ResizeModel model(gatedServices(), guarded());
    model.open();
    model.setPassword(QStringLiteral("typed meanwhile"));
    gate.answer(true);
    ASSERT_TRUE(eventually([&] { return gate.delivered == 1; }));
    EXPECT_EQ(model.password(), QStringLiteral("saved"));
}

TEST_F(Prefill, ALateAnswerAfterTheSheetClosedDoesNothing) {
    secrets.savePassword(QStringLiteral("saved"), vault.id);
    auto model = std::make_unique<ResizeModel>(gatedServices(), guarded());
    model->open();
    model.reset();
    gate.answer(true);
    ASSERT_TRUE(eventually([&] { return gate.delivered == 1; }));
}

TEST_F(Prefill, EachSheetNamesItsActionInThePrompt) {
    secrets.savePassword(QStringLiteral("saved"), vault.id);
    const Vault v = guarded();
    ResizeModel resize(gatedServices(), v);
    RenameModel rename(gatedServices(), v);
    ChangePasswordModel change(gatedServices(), v);
    PasswordActionModel action(gatedServices(), v, {});
    VerifyModel verify(gatedServices(), v);
    DeleteModel remove(gatedServices(), v);
    for (SheetModel* model : std::initializer_list<SheetModel*>{&resize, &rename, &change, &action, &verify, &remove})
        model->open();
    EXPECT_EQ(gate.reasons,
              QStringList({QStringLiteral("resize the vault “Photos”"), QStringLiteral("rename the vault “Photos”"),
                           QStringLiteral("change the password of the vault “Photos”"),
                           QStringLiteral("modify the vault “Photos”"), QStringLiteral("verify the vault “Photos”"),
                           QStringLiteral("delete the vault “Photos”")}));
}

} // namespace
} // namespace larkhold::test
