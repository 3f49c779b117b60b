#include "PasswordStrengthView.h"
#include "PocketStorage.h"
#include "SegmentedControl.h"
#include "VaultSizeField.h"
#include "WidgetFixture.h"

#include <QLabel>
#include <QSpinBox>

namespace larkhold::test {
namespace {

// Each sheet of the vault menu, through its dialog: the way to success, and a failure that keeps
// the sheet open with what the user typed.
class VaultMenuSheets : public WidgetFixture {
protected:
    void SetUp() override {
        standard = standardVault(QStringLiteral("Taxes"));
        writeFile(standard.bundlePath + QStringLiteral("/.password"), "pw-standard");
        pocket = pocketVault(QStringLiteral("Diary"), QStringLiteral("pw-pocket"));
        startStore();
    }

    // The sheet stayed open after its operation ended.
    bool staysOpen(SheetDialog* sheet) {
        QPointer<QDialog> guard(sheet);
        if (!settles(sheet))
            return false;
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return !guard.isNull() && sheet->isVisible();
    }

    Vault standard;
    Vault pocket;
};

TEST_F(VaultMenuSheets, ResizeByTypingANewLimit) {
    auto* sheet = open<ResizeSheet>(sheets().resize(&window, standard));
    QPointer<QDialog> guard(sheet);
    EXPECT_EQ(sheet->width(), 420);
    EXPECT_FALSE(sheet->primaryButton()->isEnabled());
    auto* number = sheet->sizeField()->numberField();
    number->setFocus();
    number->selectAll();
    QTest::keyClicks(number, QStringLiteral("3"));
    QTest::keyClick(number, Qt::Key_Tab);
    EXPECT_EQ(sheet->form().newSizeMB(), 3072);
    EXPECT_FALSE(sheet->primaryButton()->isEnabled());

    type(sheet, "password", QStringLiteral("wrong"));
    pressReturn(sheet);
    ASSERT_TRUE(staysOpen(sheet));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password."));
    EXPECT_EQ(text(sheet, "password"), QStringLiteral("wrong"));
    EXPECT_EQ(sheet->sizeField()->numberField()->value(), 3);
    store->clearErrorMessage();

    clear(sheet, "password");
    type(sheet, "password", QStringLiteral("pw-standard"));
    pressReturn(sheet);
    ASSERT_TRUE(closes(guard));
    EXPECT_EQ(store->vault(standard.id)->maxSizeMB, 3072);
}

TEST_F(VaultMenuSheets, ResizeOpensAtTheExactLimitAndWaitsForAChange) {
    for (const qint64 limit : {qint64(16) * 1024 * 1024, qint64(5000)}) {
        Vault vault = standard;
        vault.maxSizeMB = limit;
        auto* sheet = open<ResizeSheet>(sheets().resize(&window, vault));
        type(sheet, "password", QStringLiteral("pw-standard"));
        auto* number = sheet->sizeField()->numberField();
        EXPECT_EQ(number->value(), limit % 1024 == 0 ? limit / 1024 : limit);
        EXPECT_EQ(sheet->form().newSizeMB(), limit);
        EXPECT_FALSE(sheet->primaryButton()->isEnabled()) << limit;
        number->setFocus();
        QTest::keyClick(number, Qt::Key_Down);
        EXPECT_LT(sheet->form().newSizeMB(), limit);
        EXPECT_TRUE(sheet->primaryButton()->isEnabled());
        // Sizes read as everywhere else.
        EXPECT_TRUE(sheet->findChild<QLabel*>(QStringLiteral("usage"))->text().contains(formatFileSize(0)));
        sheet->reject();
    }
}

TEST_F(VaultMenuSheets, SizeFieldStepsFromTheTypedNumber) {
    VaultSizeField field(1500, 16);
    auto* number = field.numberField();
    number->setFocus();
    number->selectAll();
    QTest::keyClicks(number, QStringLiteral("1000"));
    QTest::keyClick(number, Qt::Key_Up);
    EXPECT_EQ(field.model().sizeMB(), 1016);
    EXPECT_EQ(number->text(), QLocale().toString(1016));
}

TEST_F(VaultMenuSheets, ResizeInMegabytesStepsBy16) {
    auto* sheet = open<ResizeSheet>(sheets().resize(&window, standard));
    auto* unit = sheet->sizeField()->unitPicker();
    QTest::mouseClick(unit, Qt::LeftButton, {}, unit->segmentRect(0).center());
    EXPECT_EQ(sheet->form().newSizeMB(), 1024);
    auto* number = sheet->sizeField()->numberField();
    number->setFocus();
    QTest::keyClick(number, Qt::Key_Down);
    EXPECT_EQ(sheet->form().newSizeMB(), 1008);
    EXPECT_EQ(number->text(), QLocale().toString(1008));
    number->selectAll();
    QTest::keyClicks(number, QStringLiteral("9000"));
    QTest::keyClick(number, Qt::Key_Tab);
    EXPECT_EQ(sheet->form().newSizeMB(), 4096);
    EXPECT_EQ(number->text(), QLocale().toString(4096));
}

TEST_F(VaultMenuSheets, RenameAPocketVaultNeedsNoPassword) {
    auto* sheet = open<RenameSheet>(sheets().rename(&window, pocket));
    QPointer<QDialog> guard(sheet);
    EXPECT_EQ(sheet->findChild<QLineEdit*>(QStringLiteral("password")), nullptr);
    EXPECT_EQ(text(sheet, "name"), QStringLiteral("Diary"));
    EXPECT_FALSE(sheet->primaryButton()->isEnabled());
    clear(sheet, "name");
    type(sheet, "name", QStringLiteral("Jour/nal"));
    EXPECT_FALSE(sheet->primaryButton()->isEnabled());
    clear(sheet, "name");
    type(sheet, "name", QStringLiteral(" Journal "));
    EXPECT_TRUE(sheet->primaryButton()->isEnabled());
    pressReturn(sheet);
    ASSERT_TRUE(closes(guard));
    EXPECT_EQ(store->vault(pocket.id)->name, QStringLiteral("Journal"));
}

TEST_F(VaultMenuSheets, RenamingAnOpenVaultIsRefusedAndTheSheetStays) {
    ASSERT_TRUE(unlockWith(pocket, QStringLiteral("pw-pocket")));
    auto* sheet = open<RenameSheet>(sheets().rename(&window, pocket));
    clear(sheet, "name");
    type(sheet, "name", QStringLiteral("Journal"));
    pressReturn(sheet);
    ASSERT_TRUE(staysOpen(sheet));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Lock “Diary” first, then rename it."));
    EXPECT_EQ(text(sheet, "name"), QStringLiteral("Journal"));
    EXPECT_TRUE(sheet->primaryButton()->isEnabled());
}

TEST_F(VaultMenuSheets, SettingsSaveAndCancel) {
    auto* sheet = open<VaultSettingsSheet>(sheets().vaultSettings(&window, standard));
    QPointer<QDialog> guard(sheet);
    EXPECT_NE(sheet->findChild<QCheckBox*>(QStringLiteral("openInFinder")), nullptr);
    QTest::mouseClick(child<QCheckBox>(sheet, "autoOpen"), Qt::LeftButton);
    EXPECT_EQ(shown(sheet, "autoOpenWarning"),
              "Needs the password saved in your keyring — otherwise you’ll be asked at every start.");
    type(sheet, "hint", QString(121, u'x'));
    EXPECT_EQ(shown(sheet, "hintMessage"), "Password hint must be 120 characters or less.");
    pressReturn(sheet);
    QCoreApplication::processEvents();
    EXPECT_FALSE(guard.isNull());
    clear(sheet, "hint");
    type(sheet, "hint", QStringLiteral("  first car  "));
    pressReturn(sheet);
    ASSERT_TRUE(closes(guard));
    EXPECT_TRUE(store->vault(standard.id)->autoOpenAtLaunch);
    EXPECT_EQ(store->vault(standard.id)->passwordHint, QStringLiteral("first car"));

    auto* pocketSheet = open<VaultSettingsSheet>(sheets().vaultSettings(&window, pocket));
    QPointer<QDialog> pocketGuard(pocketSheet);
    EXPECT_EQ(pocketSheet->findChild<QCheckBox*>(QStringLiteral("openInFinder")), nullptr);
    QTest::mouseClick(child<QCheckBox>(pocketSheet, "requireTouchID"), Qt::LeftButton);
    QTest::keyClick(pocketSheet, Qt::Key_Escape);
    ASSERT_TRUE(closes(pocketGuard));
    EXPECT_FALSE(store->vault(pocket.id)->requireTouchID);
}

TEST_F(VaultMenuSheets, SettingsOpenWithTheHintNotSelectedSoTheFirstKeyDoesNotReplaceIt) {
    store->modifyVault(standard.id, [](Vault& record) { record.passwordHint = QStringLiteral("first car"); });
    auto* sheet = open<VaultSettingsSheet>(sheets().vaultSettings(&window, *store->vault(standard.id)));
    auto* hint = child<QLineEdit>(sheet, "hint");
    ASSERT_EQ(hint->text(), QStringLiteral("first car"));
    EXPECT_FALSE(hint->hasSelectedText());
    QTest::keyClick(hint, Qt::Key_S);
    EXPECT_EQ(hint->text(), QStringLiteral("first cars"));
    QTest::keyClick(sheet, Qt::Key_Escape);
}

TEST_F(VaultMenuSheets, ChangePasswordWrongThenRight) {
    auto* sheet = open<ChangePasswordSheet>(sheets().changePassword(&window, pocket));
    QPointer<QDialog> guard(sheet);
    type(sheet, "oldPassword", QStringLiteral("wrong"));
    type(sheet, "newPassword", QStringLiteral("new-pocket-password"));
    EXPECT_TRUE(sheet->meter()->isVisibleTo(sheet));
    type(sheet, "confirmPassword", QStringLiteral("new-pocket-password"));
    type(sheet, "hint", QStringLiteral("new hint"));
    EXPECT_TRUE(sheet->primaryButton()->isEnabled());
    pressReturn(sheet);
    ASSERT_TRUE(staysOpen(sheet));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password."));
    EXPECT_EQ(store->vault(pocket.id)->passwordHint, std::nullopt);
    EXPECT_EQ(text(sheet, "newPassword"), QStringLiteral("new-pocket-password"));

    clear(sheet, "oldPassword");
    type(sheet, "oldPassword", QStringLiteral("pw-pocket"));
    pressReturn(sheet);
    ASSERT_TRUE(closes(guard));
    EXPECT_EQ(store->vault(pocket.id)->passwordHint, QStringLiteral("new hint"));
    EXPECT_NO_THROW(PocketStorage::open(pocket.bundlePath, QStringLiteral("new-pocket-password"), false));
}

TEST_F(VaultMenuSheets, ChangePasswordOpensWithTheSavedOne) {
    secrets.savePassword(QStringLiteral("pw-standard"), standard.id);
    auto* sheet = open<ChangePasswordSheet>(sheets().changePassword(&window, standard));
    ASSERT_TRUE(eventually([&] { return text(sheet, "oldPassword") == QStringLiteral("pw-standard"); }));
    EXPECT_EQ(shown(sheet, "keychainCaption"), "The saved password in your keyring is updated automatically.");
}

TEST_F(VaultMenuSheets, ReclaimFreeSpace) {
    secrets.savePassword(QStringLiteral("pw-standard"), standard.id);
    PasswordAction reclaim{QStringLiteral("Reclaim Free Space"),
                           QStringLiteral("Shrinks the vault file on disk after files were deleted inside."),
                           QStringLiteral("Reclaim"),
                           [this, v = standard](QString password) { return store->compact(v, password); }};
    auto* sheet = open<PasswordActionSheet>(sheets().passwordAction(&window, standard, reclaim));
    QPointer<QDialog> guard(sheet);
    ASSERT_TRUE(eventually([&] { return sheet->primaryButton()->isEnabled(); }));
    EXPECT_EQ(sheet->primaryButton()->text().toStdString(), "Reclaim");
    setToolFile(QStringLiteral("compact.err"), "hdiutil: compact failed - No space left on device");
    pressReturn(sheet);
    ASSERT_TRUE(staysOpen(sheet));
    EXPECT_EQ(text(sheet, "password"), QStringLiteral("pw-standard"));
    removeToolFile(QStringLiteral("compact.err"));
    pressReturn(sheet);
    ASSERT_TRUE(closes(guard));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil compact")), 2);
}

TEST_F(VaultMenuSheets, VerifyShowsItsResultAndStaysOpen) {
    auto* sheet = open<VerifySheet>(sheets().verify(&window, pocket));
    QPointer<QDialog> guard(sheet);
    type(sheet, "password", QStringLiteral("wrong"));
    pressReturn(sheet);
    ASSERT_TRUE(staysOpen(sheet));
    EXPECT_EQ(shown(sheet, "resultFailed"), "Wrong password.");
    EXPECT_EQ(shown(sheet, "resultPassed"), "");
    EXPECT_EQ(sheet->cancelButton()->text().toStdString(), "Done");
    clear(sheet, "password");
    type(sheet, "password", QStringLiteral("pw-pocket"));
    pressReturn(sheet);
    ASSERT_TRUE(staysOpen(sheet));
    EXPECT_EQ(shown(sheet, "resultPassed"), "Vault is healthy — every item decrypted and checked.");
    EXPECT_EQ(shown(sheet, "resultFailed"), "");
    QTest::keyClick(sheet, Qt::Key_Escape);
    ASSERT_TRUE(closes(guard));
    EXPECT_TRUE(store->errorMessage().isEmpty());
}

TEST_F(VaultMenuSheets, DeleteWrongThenRight) {
    auto* sheet = open<DeleteSheet>(sheets().deleteVault(&window, standard));
    QPointer<QDialog> guard(sheet);
    EXPECT_EQ(sheet->width(), 440);
    type(sheet, "password", QStringLiteral("wrong"));
    pressReturn(sheet);
    ASSERT_TRUE(staysOpen(sheet));
    EXPECT_EQ(shown(sheet, "error"), "Wrong password — the vault was not deleted.");
    EXPECT_TRUE(QFileInfo::exists(standard.bundlePath));
    clear(sheet, "password");
    type(sheet, "password", QStringLiteral("pw-standard"));
    pressReturn(sheet);
    EXPECT_EQ(shown(sheet, "error"), "");
    ASSERT_TRUE(closes(guard));
    EXPECT_FALSE(store->vault(standard.id).has_value());
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("xdg/Trash/files/Taxes.sparsebundle"))));
}

} // namespace
} // namespace larkhold::test
