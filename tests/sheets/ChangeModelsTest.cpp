#include "ChangeSheetModels.h"
#include "PocketStorage.h"
#include "SheetsFixture.h"

#include <QSignalSpy>

namespace larkhold::test {
namespace {

// Runs a sheet's primary action to its end; whether the sheet asked to close.
template <class Model, class Start> bool runToEnd(SheetsFixture& f, Model& model, Start start) {
    QSignalSpy closing(&model, &SheetModel::closeRequested);
    EXPECT_TRUE((model.*start)());
    EXPECT_TRUE(waitUntil([&] { return !model.working(); }, 60'000));
    (void)f;
    return closing.count() == 1;
}

class ChangeSheets : public SheetsFixture {
protected:
    void SetUp() override {
        standard = standardVault(QStringLiteral("Taxes"));
        writeFile(standard.bundlePath + QStringLiteral("/.password"), "pw-standard");
        pocket = pocketVault(QStringLiteral("Diary"), QStringLiteral("pw-pocket"));
        startStore();
    }
    Vault standard;
    Vault pocket;
};

// ---- resize ----

TEST_F(ChangeSheets, ResizeStartsAtTheLimitAndNeedsAChangeAndAPassword) {
    ResizeModel model(services(), standard);
    EXPECT_EQ(model.newSizeMB(), 1024);
    EXPECT_EQ(model.subtitle(), QStringLiteral("“Taxes” can currently grow up to 1 GB"));
    EXPECT_EQ(model.minimumMB(), 16);
    EXPECT_EQ(model.primaryLabel(), QStringLiteral("Resize"));
    model.setNewSizeMB(2048);
    EXPECT_FALSE(model.canResize());
    model.setPassword(QStringLiteral("pw-standard"));
    EXPECT_TRUE(model.canResize());
    model.setNewSizeMB(1024);
    EXPECT_FALSE(model.canResize());
}

TEST_F(ChangeSheets, ResizeMinimumAndUsageFollowTheMeasuredSize) {
    ResizeModel model(services(), standard);
    QSignalSpy redraws(&model, &SheetModel::changed);
    EXPECT_EQ(model.usedBytes(), 0);
    EXPECT_EQ(model.usageCaption(), QStringLiteral("Files inside currently use Zero KB — the limit can be raised "
                                                   "anytime, or lowered down to that amount."));
    setToolFile(QStringLiteral("du.kb"), "16385");
    QCoro::waitFor(store->refresh());
    EXPECT_GT(redraws.count(), 0);
    EXPECT_EQ(model.usedBytes(), 16385 * 1024);
    EXPECT_EQ(model.minimumMB(), 17);

    // A limit below what the vault holds is refused in the sheet; no tool runs for it.
    model.setPassword(QStringLiteral("pw-standard"));
    model.setNewSizeMB(16);
    EXPECT_EQ(model.validationMessage(),
              QStringLiteral("The new limit is smaller than the space the files inside currently use. Delete files "
                             "first (and reclaim free space), or choose a larger limit."));
    EXPECT_FALSE(model.canResize());
    EXPECT_FALSE(model.resize());
    EXPECT_EQ(callCount(QStringLiteral("hdiutil resize")), 0);
}

TEST_F(ChangeSheets, ResizeSucceedsAndClosesOrStaysWithItsFields) {
    ResizeModel model(services(), standard);
    model.setNewSizeMB(4096);
    model.setPassword(QStringLiteral("wrong"));
    EXPECT_FALSE(runToEnd(*this, model, &ResizeModel::resize));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password."));
    EXPECT_EQ(model.newSizeMB(), 4096);
    EXPECT_EQ(model.password(), QStringLiteral("wrong"));
    EXPECT_TRUE(model.canResize());

    setToolFile(QStringLiteral("used.mb"), "5000");
    model.setPassword(QStringLiteral("pw-standard"));
    EXPECT_FALSE(runToEnd(*this, model, &ResizeModel::resize));
    EXPECT_EQ(store->errorMessage(),
              QStringLiteral("The new limit is smaller than the space the files inside currently use. Delete files "
                             "first (and reclaim free space), or choose a larger limit."));
    EXPECT_EQ(store->vault(standard.id)->maxSizeMB, 1024);

    removeToolFile(QStringLiteral("used.mb"));
    // The earlier, unacknowledged message does not keep a successful resize open.
    EXPECT_TRUE(runToEnd(*this, model, &ResizeModel::resize));
    EXPECT_EQ(store->vault(standard.id)->maxSizeMB, 4096);
}

// ---- rename ----

TEST_F(ChangeSheets, RenameIsEnabledOnlyForAUsableNewName) {
    RenameModel model(services(), standard);
    EXPECT_EQ(model.newName(), QStringLiteral("Taxes"));
    EXPECT_EQ(model.title(), QStringLiteral("Rename “Taxes”"));
    EXPECT_EQ(model.subtitle(), QStringLiteral("Renames the vault file and the folder shown in the file manager"));
    model.setPassword(QStringLiteral("pw-standard"));
    EXPECT_FALSE(model.canRename());
    model.setNewName(QStringLiteral("  Taxes\t"));
    EXPECT_FALSE(model.canRename());
    model.setNewName(QStringLiteral(" \t "));
    EXPECT_FALSE(model.canRename());
    for (const QString& bad : {QStringLiteral("Tax/es"), QStringLiteral("Tax:es"), QStringLiteral("Tax\nes"),
                               QStringLiteral(".."), QStringLiteral(".")}) {
        model.setNewName(bad);
        EXPECT_FALSE(model.canRename()) << bad.toStdString();
    }
    model.setNewName(QStringLiteral("taxes"));
    EXPECT_TRUE(model.canRename());
    model.setPassword(QString());
    EXPECT_FALSE(model.canRename());

    RenameModel pocketModel(services(), pocket);
    EXPECT_FALSE(pocketModel.needsPassword());
    EXPECT_EQ(pocketModel.subtitle(), QStringLiteral("Renames the vault file"));
    pocketModel.setNewName(QStringLiteral("Journal"));
    EXPECT_TRUE(pocketModel.canRename());
}

TEST_F(ChangeSheets, RenameMovesTheFileAndClosesOrStays) {
    const QString taken = QFileInfo(pocket.bundlePath).dir().filePath(QStringLiteral("Taken.pocketvault"));
    writeFile(taken, "x");
    RenameModel model(services(), pocket);
    model.setNewName(QStringLiteral("Taken"));
    EXPECT_FALSE(runToEnd(*this, model, &RenameModel::rename));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("A vault named “Taken” already exists in that folder."));
    EXPECT_EQ(model.newName(), QStringLiteral("Taken"));

    model.setNewName(QStringLiteral("  Journal "));
    EXPECT_TRUE(runToEnd(*this, model, &RenameModel::rename));
    const Vault renamed = *store->vault(pocket.id);
    EXPECT_EQ(renamed.name, QStringLiteral("Journal"));
    EXPECT_EQ(QFileInfo(renamed.bundlePath).fileName(), QStringLiteral("Journal.pocketvault"));
    EXPECT_TRUE(QFileInfo::exists(renamed.bundlePath));
}

TEST_F(ChangeSheets, RenameOfAStandardVaultRenamesItsVolumeWithThePassword) {
    RenameModel model(services(), standard);
    model.setNewName(QStringLiteral("Receipts"));
    model.setPassword(QStringLiteral("wrong"));
    EXPECT_FALSE(runToEnd(*this, model, &RenameModel::rename));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password."));
    model.setPassword(QStringLiteral("pw-standard"));
    EXPECT_TRUE(runToEnd(*this, model, &RenameModel::rename));
    EXPECT_EQ(store->vault(standard.id)->name, QStringLiteral("Receipts"));
    EXPECT_EQ(callCount(QStringLiteral("diskutil rename")), 1);
    EXPECT_FALSE(store->isUnlocked(standard.id));
}

// ---- vault settings ----

TEST_F(ChangeSheets, SettingsShowWhatTheVaultAndTheSavedPasswordAllow) {
    VaultSettingsModel model(services(), pocket);
    model.open();
    EXPECT_EQ(model.title(), QStringLiteral("Settings for “Diary”"));
    EXPECT_FALSE(model.showsOpenInFinder());
    EXPECT_EQ(model.touchIDCaption(), QStringLiteral("This vault has no saved password yet — system authentication "
                                                     "applies once you save one while unlocking."));
    model.setRequireTouchID(true);
    EXPECT_EQ(model.touchIDCaption(), QStringLiteral("This vault has no saved password yet — system authentication "
                                                     "applies once you save one while unlocking."));
    EXPECT_EQ(model.autoOpenWarning(), std::nullopt);
    model.setAutoOpen(true);
    EXPECT_EQ(model.autoOpenWarning(), QStringLiteral("Needs the password saved in your keyring — otherwise you’ll be "
                                                      "asked at every start."));
    model.setPasswordHint(QStringLiteral("pw-pocket"));
    EXPECT_TRUE(model.canSave());

    secrets.savePassword(QStringLiteral("pw-standard"), standard.id);
    VaultSettingsModel saved(services(), standard);
    saved.open();
    EXPECT_TRUE(saved.showsOpenInFinder());
    EXPECT_EQ(VaultSettingsModel::openInFinderLabel(), QStringLiteral("Show in File Manager after unlocking"));
    EXPECT_EQ(VaultSettingsModel::requireTouchIDLabel(), QStringLiteral("Require system authentication to unlock"));
    EXPECT_EQ(saved.touchIDCaption(),
              QStringLiteral("Before the saved password is used, system authentication (such as your computer login "
                             "password) is required. Someone at your unlocked computer can’t open this vault."));
    saved.setAutoOpen(true);
    EXPECT_EQ(saved.autoOpenWarning(), std::nullopt);
    saved.setPasswordHint(QStringLiteral(" pw-standard "));
    EXPECT_EQ(saved.hintMessage(), QStringLiteral("Password hint cannot be the same as the password."));
    EXPECT_FALSE(saved.canSave());
    EXPECT_FALSE(saved.save());
    saved.setPasswordHint(QString(121, u'x'));
    EXPECT_EQ(saved.hintMessage(), QStringLiteral("Password hint must be 120 characters or less."));
    saved.setPasswordHint(QString(120, u'x'));
    EXPECT_TRUE(saved.canSave());
}

TEST_F(ChangeSheets, SettingsReadTheSavedPasswordOnce) {
    secrets.savePassword(QStringLiteral("pw-standard"), standard.id);
    secrets.clearCalls();
    VaultSettingsModel model(services(), standard);
    model.open();
    for (int i = 0; i < 5; ++i) {
        (void)model.touchIDCaption();
        (void)model.hintMessage();
        (void)model.autoOpenWarning();
        model.setPasswordHint(QString::number(i));
    }
    EXPECT_EQ(secrets.calls().size(), 1);
}

TEST_F(ChangeSheets, SheetsOpenWhileTheKeyringHangsAndTakeItsAnswerWhenItComes) {
    secrets.savePassword(QStringLiteral("pw-standard"), standard.id);
    secrets.hang();
    VaultSettingsModel settings(services(), standard);
    settings.open();
    ChangePasswordModel change(services(), standard);
    change.open();
    // Two reads, and the pre-fill's: one runs, the others share at most one lookup waiting behind it.
    ASSERT_TRUE(waitUntil([&] { return secrets.waitingCalls() == 1; }));
    EXPECT_LE(secrets.callsUnderWay(), 2);
    EXPECT_FALSE(settings.hasSavedPassword());
    EXPECT_EQ(settings.touchIDCaption(),
              QStringLiteral("Asking your keyring whether a password is saved for this vault…"))
        << "Save is greyed, and the caption says why";
    EXPECT_FALSE(settings.autoOpenWarning());
    // The hint may not be the saved password, which is not known yet.
    settings.setPasswordHint(QStringLiteral("pw-standard"));
    EXPECT_FALSE(settings.save());
    EXPECT_TRUE(change.oldPassword().isEmpty());
    EXPECT_FALSE(change.keychainCaption());

    secrets.answer();
    ASSERT_TRUE(waitUntil([&] { return settings.hasSavedPassword() && change.oldPassword() == "pw-standard"; }));
    EXPECT_TRUE(settings.hintMessage().has_value());
    EXPECT_FALSE(settings.canSave());
    EXPECT_TRUE(change.keychainCaption().has_value());
    settings.setPasswordHint(QStringLiteral("the usual"));
    EXPECT_TRUE(settings.canSave());
}

TEST_F(ChangeSheets, SettingsOfAVaultWhoseKeyringDoesNotAnswerCanBeSavedAndSaySo) {
    secrets.savePassword(QStringLiteral("pw-standard"), standard.id);
    secrets.setDeadline(std::chrono::milliseconds(1));
    secrets.hang();
    VaultSettingsModel settings(services(), standard);
    settings.open();
    settings.setAutoOpen(true);
    ASSERT_TRUE(waitUntil([&] { return settings.canSave(); }));
    EXPECT_TRUE(settings.keyringSilent());
    EXPECT_FALSE(settings.touchIDCaption().contains(QStringLiteral("no saved password")))
        << "a password may well be saved";
    EXPECT_EQ(settings.touchIDCaption(), QStringLiteral("Your keyring did not answer in time, so whether a password "
                                                        "is saved for this vault is not known."));
    EXPECT_FALSE(settings.autoOpenWarning());
    EXPECT_TRUE(settings.save());
    secrets.answer();
}

TEST_F(ChangeSheets, SettingsSaveWritesTheRecordAndClose) {
    VaultSettingsModel model(services(), standard);
    model.open();
    QSignalSpy closing(&model, &SheetModel::closeRequested);
    model.setRequireTouchID(true);
    model.setOpenInFinder(true);
    model.setAutoOpen(true);
    model.setPasswordHint(QStringLiteral("   "));
    EXPECT_TRUE(model.save());
    EXPECT_EQ(closing.count(), 1);
    const Vault v = *store->vault(standard.id);
    EXPECT_TRUE(v.requireTouchID);
    EXPECT_TRUE(v.openInFinderAfterUnlock);
    EXPECT_TRUE(v.autoOpenAtLaunch);
    EXPECT_EQ(v.passwordHint, std::nullopt);

    VaultSettingsModel hinted(services(), v);
    hinted.open();
    hinted.setPasswordHint(QStringLiteral("  the usual "));
    hinted.save();
    EXPECT_EQ(store->vault(standard.id)->passwordHint, QStringLiteral("the usual"));

    // A vault gone from the list changes nothing, and the sheet still closes.
    Vault gone = standard;
    gone.id = QUuid::createUuid();
    VaultSettingsModel orphan(services(), gone);
    QSignalSpy orphanClosing(&orphan, &SheetModel::closeRequested);
    orphan.open();
    orphan.setAutoOpen(false);
    EXPECT_TRUE(orphan.save());
    EXPECT_EQ(orphanClosing.count(), 1);
    EXPECT_EQ(store->vaults().size(), 2);
}

// ---- change password ----

TEST_F(ChangeSheets, ChangePasswordEnablingRules) {
    ChangePasswordModel model(services(), pocket);
    model.open();
    EXPECT_EQ(model.subtitle(), QStringLiteral("New password for “Diary”"));
    EXPECT_EQ(model.keychainCaption(), std::nullopt);
    model.setOldPassword(QStringLiteral("pw-pocket"));
    model.setNewPassword(QStringLiteral("12345"));
    model.setConfirmPassword(QStringLiteral("12345"));
    EXPECT_FALSE(model.canChange());
    const QString withZero = QStringLiteral("secret") + QChar(u'\0') + QStringLiteral("word");
    model.setNewPassword(withZero);
    model.setConfirmPassword(withZero);
    EXPECT_FALSE(model.canChange());
    EXPECT_EQ(model.passwordMessage(),
              QStringLiteral("A password can’t contain the zero character (U+0000). Type it again without it."));
    model.setNewPassword(QStringLiteral("ñøüßéç"));
    model.setConfirmPassword(QStringLiteral("ñøüßéç"));
    EXPECT_EQ(model.passwordMessage(), std::nullopt);
    EXPECT_TRUE(model.canChange());
    model.setConfirmPassword(QStringLiteral("ÑØÜSSÉÇ"));
    EXPECT_FALSE(model.canChange());
    model.setConfirmPassword(QStringLiteral("ñøüßéç"));
    model.setPasswordHint(QStringLiteral("ñøüßéç"));
    EXPECT_EQ(model.hintMessage(), QStringLiteral("Password hint cannot be the same as the password."));
    EXPECT_FALSE(model.canChange());
    model.setPasswordHint(QStringLiteral("pw-pocket"));
    EXPECT_EQ(model.hintMessage(), std::nullopt);
    EXPECT_TRUE(model.canChange());
    model.setOldPassword(QString());
    EXPECT_FALSE(model.canChange());
}

TEST_F(ChangeSheets, ChangePasswordOpensFilledWithTheSavedOne) {
    secrets.savePassword(QStringLiteral("pw-pocket"), pocket.id);
    Vault hinted = pocket;
    hinted.passwordHint = QStringLiteral("old hint");
    ChangePasswordModel model(services(), hinted);
    model.open();
    EXPECT_EQ(model.oldPassword(), QStringLiteral("pw-pocket"));
    EXPECT_EQ(model.passwordHint(), QStringLiteral("old hint"));
    EXPECT_EQ(model.keychainCaption(), QStringLiteral("The saved password in your keyring is updated automatically."));
}

TEST_F(ChangeSheets, ChangePasswordStoresTheHintOnlyAfterSuccess) {
    store->updatePasswordHint(pocket, QStringLiteral("kept"));
    ChangePasswordModel model(services(), *store->vault(pocket.id));
    model.setOldPassword(QStringLiteral("wrong"));
    model.setNewPassword(QStringLiteral("new-password"));
    model.setConfirmPassword(QStringLiteral("new-password"));
    model.setPasswordHint(QStringLiteral("   "));
    EXPECT_FALSE(runToEnd(*this, model, &ChangePasswordModel::change));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password."));
    EXPECT_EQ(store->vault(pocket.id)->passwordHint, QStringLiteral("kept"));
    EXPECT_EQ(model.newPassword(), QStringLiteral("new-password"));

    model.setOldPassword(QStringLiteral("pw-pocket"));
    EXPECT_TRUE(runToEnd(*this, model, &ChangePasswordModel::change));
    EXPECT_EQ(store->vault(pocket.id)->passwordHint, std::nullopt);
    EXPECT_NO_THROW(PocketStorage::open(pocket.bundlePath, QStringLiteral("new-password"), false));
}

TEST_F(ChangeSheets, ChangePasswordOfAStandardVault) {
    secrets.savePassword(QStringLiteral("pw-standard"), standard.id);
    ChangePasswordModel model(services(), standard);
    model.open();
    model.setNewPassword(QStringLiteral("brand-new"));
    model.setConfirmPassword(QStringLiteral("brand-new"));
    EXPECT_TRUE(runToEnd(*this, model, &ChangePasswordModel::change));
    EXPECT_EQ(readFile(standard.bundlePath + QStringLiteral("/.password")), QByteArray("brand-new"));
    EXPECT_EQ(secrets.saved(standard.id), QStringLiteral("brand-new"));
}

// ---- password action ----

TEST_F(ChangeSheets, PasswordActionRunsTheCallersOperation) {
    QStringList given;
    bool succeed = false;
    PasswordAction action{QStringLiteral("Reclaim Free Space"),
                          QStringLiteral("Shrinks the vault file on disk after files were deleted inside."),
                          QStringLiteral("Reclaim"), [&](QString password) -> QCoro::Task<StoreOutcome> {
                              given.append(password);
                              co_return succeed ? StoreOutcome::success() : StoreOutcome::failure(QStringLiteral("No"));
                          }};
    PasswordActionModel model(services(), standard, action);
    EXPECT_EQ(model.primaryLabel(), QStringLiteral("Reclaim"));
    EXPECT_FALSE(model.canRun());
    model.setPassword(QStringLiteral("pw"));
    EXPECT_FALSE(runToEnd(*this, model, &PasswordActionModel::run));
    EXPECT_EQ(model.password(), QStringLiteral("pw"));
    succeed = true;
    // A message another operation left in the store does not keep a success open.
    store->setErrorMessage(QStringLiteral("Left over."));
    EXPECT_TRUE(runToEnd(*this, model, &PasswordActionModel::run));
    EXPECT_EQ(given, QStringList({QStringLiteral("pw"), QStringLiteral("pw")}));
}

TEST_F(ChangeSheets, PasswordActionShowsWorkingAndTakesOnePress) {
    setToolFile(QStringLiteral("compact.gate"));
    PasswordAction action{QStringLiteral("Reclaim Free Space"), QString(), QStringLiteral("Reclaim"),
                          [this, v = standard](QString password) { return store->compact(v, password); }};
    PasswordActionModel model(services(), standard, action);
    model.setPassword(QStringLiteral("pw-standard"));
    ASSERT_TRUE(model.run());
    EXPECT_EQ(model.primaryLabel(), QStringLiteral("Working…"));
    EXPECT_FALSE(model.run());
    removeToolFile(QStringLiteral("compact.gate"));
    ASSERT_TRUE(eventually([&] { return !model.working(); }));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil compact")), 1);
}

} // namespace
} // namespace larkhold::test
