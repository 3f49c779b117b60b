#include "PasswordStrengthView.h"
#include "PocketFormat.h"
#include "SegmentedControl.h"
#include "UnlockPromptWindow.h"
#include "VaultSizeField.h"
#include "WidgetFixture.h"

#include <QFileDialog>
#include <QSpinBox>

namespace larkhold::test {
namespace {

class CreateSheet : public WidgetFixture {
protected:
    void SetUp() override { startStore(); }

    CreateVaultSheet* openCreate() {
        auto* sheet = open<CreateVaultSheet>(sheets().createVault(&window));
        sheet->form().setDirectory(vaultsFolder());
        return sheet;
    }
    QString vaultsFolder() const { return dir.filePath(QStringLiteral("vaults")); }
    void clickSegment(QWidget* sheet, const char* name, int index) {
        auto* control = child<SegmentedControl>(sheet, name);
        QTest::mouseClick(control, Qt::LeftButton, {}, control->segmentRect(index).center());
    }
};

TEST_F(CreateSheet, StartsEmptyWithTheDefaults) {
    auto* sheet = open<CreateVaultSheet>(sheets().createVault(&window));
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->parentWidget(), &window);
    EXPECT_EQ(sheet->width(), 460);
    EXPECT_EQ(child<SegmentedControl>(sheet, "kind")->currentIndex(), 0);
    EXPECT_EQ(sheet->form().directory(), CreateVaultModel::defaultDirectory());
    auto* size = child<VaultSizeField>(sheet, "size");
    EXPECT_EQ(size->numberField()->value(), 10);
    EXPECT_EQ(size->unitPicker()->currentIndex(), 1);
    EXPECT_TRUE(child<QCheckBox>(sheet, "remember")->isChecked());
    EXPECT_TRUE(child<QCheckBox>(sheet, "keepOut")->isChecked());
    EXPECT_EQ(child<QCheckBox>(sheet, "keepOut")->text().toStdString(),
              "Keep out of cloud sync (never upload this vault)");
    EXPECT_EQ(child<QCheckBox>(sheet, "remember")->text().toStdString(), "Remember password in my keyring");
    EXPECT_EQ(shown(sheet, "validation"), "");
    EXPECT_FALSE(sheet->primaryButton()->isEnabled());
    EXPECT_EQ(sheet->primaryButton()->text().toStdString(), "Create Vault");
    EXPECT_FALSE(child<PasswordStrengthView>(sheet, "meter")->isVisibleTo(sheet));
}

TEST_F(CreateSheet, TypingShowsEachMessageInTurn) {
    auto* sheet = openCreate();
    type(sheet, "password", QStringLiteral("12345"));
    // Nothing is said while no name is typed.
    EXPECT_EQ(shown(sheet, "validation"), "");
    type(sheet, "name", QStringLiteral("Tax/es"));
    EXPECT_EQ(shown(sheet, "validation"), "The name can’t contain “/” or “:”.");
    clear(sheet, "name");
    type(sheet, "name", QStringLiteral("  Taxes "));
    EXPECT_EQ(shown(sheet, "validation"), "Password must be at least 6 characters.");
    type(sheet, "password", QStringLiteral("6"));
    EXPECT_EQ(shown(sheet, "validation"), "");
    EXPECT_FALSE(sheet->primaryButton()->isEnabled());
    type(sheet, "confirmPassword", QStringLiteral("12345"));
    EXPECT_EQ(shown(sheet, "validation"), "Passwords don’t match.");
    type(sheet, "confirmPassword", QStringLiteral("6"));
    EXPECT_EQ(shown(sheet, "validation"), "");
    EXPECT_TRUE(sheet->primaryButton()->isEnabled());
    type(sheet, "hint", QStringLiteral(" 123456 "));
    EXPECT_EQ(shown(sheet, "validation"), "Password hint cannot be the same as the password.");
    EXPECT_FALSE(sheet->primaryButton()->isEnabled());
    // The meter follows the password as it is typed.
    EXPECT_TRUE(child<PasswordStrengthView>(sheet, "meter")->isVisibleTo(sheet));
    EXPECT_EQ(child<PasswordStrengthView>(sheet, "meter")->level(), PasswordStrength::Level::weak);
}

TEST_F(CreateSheet, ALineBreakInTheNameIsRefused) {
    auto* sheet = openCreate();
    sheet->form().setName(QStringLiteral("Taxes\n2024"));
    EXPECT_EQ(shown(sheet, "validation"), "The name can’t contain line breaks or other control characters.");
    sheet->form().setName(QStringLiteral(".."));
    EXPECT_EQ(shown(sheet, "validation"), "The name can’t be “.” or “..”.");
}

TEST_F(CreateSheet, PocketVaultThroughTheSheet) {
    auto* sheet = openCreate();
    QPointer<QDialog> guard(sheet);
    clickSegment(sheet, "kind", 1);
    EXPECT_EQ(sheet->form().kind(), VaultKind::pocket);
    EXPECT_FALSE(child<VaultSizeField>(sheet, "size")->isVisibleTo(sheet));
    EXPECT_EQ(child<SegmentedControl>(sheet, "pocketSize")->currentIndex(), 1);
    clickSegment(sheet, "pocketSize", 0);
    type(sheet, "name", QStringLiteral("Diary"));
    type(sheet, "password", QStringLiteral("correct horse"));
    type(sheet, "confirmPassword", QStringLiteral("correct horse"));
    type(sheet, "hint", QStringLiteral("  stable  "));
    QTest::mouseClick(child<QCheckBox>(sheet, "keepOut"), Qt::LeftButton);
    pressReturn(sheet);
    ASSERT_TRUE(closes(guard));

    ASSERT_EQ(store->vaults().size(), 1);
    const Vault created = store->vaults().first();
    EXPECT_EQ(created.kind, VaultKind::pocket);
    EXPECT_EQ(created.name, QStringLiteral("Diary"));
    EXPECT_EQ(created.maxSizeMB, 1);
    EXPECT_EQ(created.passwordHint, QStringLiteral("stable"));
    EXPECT_FALSE(created.excludedFromCloud);
    EXPECT_EQ(QFileInfo(created.bundlePath).fileName(), QStringLiteral("Diary.pocketvault"));
    EXPECT_EQ(PocketFormat::capacity(QFileInfo(created.bundlePath).size()), 1'048'576);
    EXPECT_EQ(secrets.saved(created.id), QStringLiteral("correct horse"));
    EXPECT_EQ(host.shownPocketWindows, QList<QUuid>{created.id});
}

TEST_F(CreateSheet, AFailedCreationKeepsTheSheetAndItsFields) {
    writeFile(QDir(vaultsFolder()).filePath(QStringLiteral("Diary.nosync")), "taken");
    auto* sheet = openCreate();
    QPointer<QDialog> guard(sheet);
    clickSegment(sheet, "kind", 1);
    type(sheet, "name", QStringLiteral("Diary"));
    type(sheet, "password", QStringLiteral("correct horse"));
    type(sheet, "confirmPassword", QStringLiteral("correct horse"));
    QTest::mouseClick(sheet->primaryButton(), Qt::LeftButton);
    ASSERT_TRUE(settles(sheet));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(guard.isNull());
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(store->errorMessage(), QStringLiteral("A vault named “Diary” already exists in that folder."));
    EXPECT_EQ(text(sheet, "name"), QStringLiteral("Diary"));
    EXPECT_EQ(text(sheet, "password"), QStringLiteral("correct horse"));
    EXPECT_TRUE(sheet->primaryButton()->isEnabled());
    EXPECT_EQ(sheet->primaryButton()->text().toStdString(), "Create Vault");
    EXPECT_TRUE(store->vaults().isEmpty());
}

TEST_F(CreateSheet, TheFolderChooserPicksTheFolder) {
    auto* sheet = openCreate();
    QTest::mouseClick(child<QPushButton>(sheet, "choose"), Qt::LeftButton);
    QFileDialog* chooser = sheet->folderChooser();
    ASSERT_NE(chooser, nullptr);
    EXPECT_TRUE(chooser->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(chooser->fileMode(), QFileDialog::Directory);
    EXPECT_EQ(chooser->directory().absolutePath(), QDir(dir.filePath(QStringLiteral("vaults"))).absolutePath());
    const QString other = dir.filePath(QStringLiteral("other"));
    QDir().mkpath(other);
    chooser->selectFile(other);
    static_cast<QDialog*>(chooser)->accept();
    EXPECT_EQ(sheet->form().directory(), other);
    EXPECT_TRUE(child<QLabel>(sheet, "directory")->toolTip().endsWith(QStringLiteral("other")));

    // Once closed it can be opened again; cancelling keeps the folder.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::mouseClick(child<QPushButton>(sheet, "choose"), Qt::LeftButton);
    ASSERT_NE(sheet->folderChooser(), nullptr);
    sheet->folderChooser()->reject();
    EXPECT_EQ(sheet->form().directory(), other);
}

TEST_F(CreateSheet, CancelWhileCreatingClosesAndTheCreationGoesOn) {
    auto* sheet = openCreate();
    QPointer<QDialog> guard(sheet);
    clickSegment(sheet, "kind", 1);
    type(sheet, "name", QStringLiteral("Diary"));
    type(sheet, "password", QStringLiteral("correct horse"));
    type(sheet, "confirmPassword", QStringLiteral("correct horse"));
    pressReturn(sheet);
    EXPECT_EQ(sheet->primaryButton()->text().toStdString(), "Creating…");
    EXPECT_TRUE(sheet->cancelButton()->isEnabled());
    QTest::keyClick(sheet, Qt::Key_Escape);
    ASSERT_TRUE(closes(guard));
    ASSERT_TRUE(eventually([&] { return store->vaults().size() == 1; }));
}

// ---- unlocking ----

class UnlockSheetWidget : public WidgetFixture {
protected:
    void SetUp() override {
        standard = standardVault(QStringLiteral("Taxes"));
        pocket = pocketVault(QStringLiteral("Diary"), QStringLiteral("right-password"));
        startStore();
        setToolFile(QStringLiteral("password"), "right-password");
    }
    Vault standard;
    Vault pocket;
};

TEST_F(UnlockSheetWidget, WrongThenRightPassword) {
    for (const Vault& vault : {standard, pocket}) {
        SCOPED_TRACE(vault.name.toStdString());
        auto* sheet = open<UnlockSheet>(sheets().unlock(&window, vault));
        QPointer<QDialog> guard(sheet);
        EXPECT_FALSE(sheet->primaryButton()->isEnabled());
        type(sheet, "password", QStringLiteral("wrong"));
        pressReturn(sheet);
        ASSERT_TRUE(settles(sheet));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ASSERT_FALSE(guard.isNull());
        EXPECT_EQ(text(sheet, "password"), QStringLiteral("wrong"));
        EXPECT_TRUE(sheet->primaryButton()->isEnabled());
        EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password for “%1”.").arg(vault.name));
        // The main window's alert tells it; the sheet shows no second copy.
        EXPECT_EQ(sheet->findChild<QLabel*>(QStringLiteral("failure")), nullptr);
        store->clearErrorMessage();

        clear(sheet, "password");
        type(sheet, "password", QStringLiteral("right-password"));
        pressReturn(sheet);
        ASSERT_TRUE(closes(guard));
        EXPECT_TRUE(store->isUnlocked(vault));
    }
}

TEST_F(UnlockSheetWidget, ReturnPressedTwiceStartsOneUnlock) {
    setToolFile(QStringLiteral("attach.gate"));
    auto* sheet = open<UnlockSheet>(sheets().unlock(&window, standard));
    QPointer<QDialog> guard(sheet);
    type(sheet, "password", QStringLiteral("right-password"));
    pressReturn(sheet);
    pressReturn(sheet);
    QTest::mouseClick(sheet->primaryButton(), Qt::LeftButton);
    EXPECT_EQ(sheet->primaryButton()->text().toStdString(), "Unlocking…");
    EXPECT_FALSE(sheet->primaryButton()->isEnabled());
    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(closes(guard));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 1);
}

TEST_F(UnlockSheetWidget, EscapeCancelsAndAnEmptyPasswordDoesNothing) {
    auto* sheet = open<UnlockSheet>(sheets().unlock(&window, standard));
    QPointer<QDialog> guard(sheet);
    pressReturn(sheet);
    QCoreApplication::processEvents();
    EXPECT_FALSE(guard.isNull());
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 0);
    QTest::keyClick(sheet, Qt::Key_Escape);
    ASSERT_TRUE(closes(guard));
}

TEST_F(UnlockSheetWidget, TheStandaloneWindowShowsItsOwnErrors) {
    UnlockPromptWindow::show(*store, standard);
    UnlockSheet* window1 = UnlockPromptWindow::current();
    ASSERT_NE(window1, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window1, 60000));
    EXPECT_TRUE(window1->isWindow());
    EXPECT_EQ(window1->windowTitle(), QStringLiteral("Unlock Vault"));
    EXPECT_EQ(window1->windowModality(), Qt::NonModal);
    type(window1, "password", QStringLiteral("wrong"));
    pressReturn(window1);
    ASSERT_TRUE(settles(window1));
    EXPECT_EQ(shown(window1, "failure"), "Wrong password for “Taxes”.");
    type(window1, "password", QStringLiteral("!"));
    pressReturn(window1);
    EXPECT_EQ(shown(window1, "failure"), "");
    ASSERT_TRUE(settles(window1));
}

TEST_F(UnlockSheetWidget, TheStandaloneWindowClosesWhenItsVaultLeavesTheList) {
    UnlockPromptWindow::show(*store, standard);
    QPointer<QDialog> prompt(UnlockPromptWindow::current());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(prompt, 60000));
    type(prompt, "password", QStringLiteral("right-password"));
    QCoro::waitFor(store->forget(standard));
    ASSERT_TRUE(closes(prompt));
    EXPECT_FALSE(store->isUnlocked(standard));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 0);
}

TEST_F(UnlockSheetWidget, ALateResultClosesOnlyTheWindowThatStartedIt) {
    setToolFile(QStringLiteral("attach.gate"));
    UnlockPromptWindow::show(*store, standard);
    QPointer<QDialog> first(UnlockPromptWindow::current());
    type(first, "password", QStringLiteral("right-password"));
    pressReturn(first);

    // A second prompt replaces the first while its unlock still runs.
    UnlockPromptWindow::show(*store, pocket);
    QPointer<QDialog> second(UnlockPromptWindow::current());
    ASSERT_NE(first, second);
    ASSERT_TRUE(closes(first));
    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(eventually([&] { return store->isUnlocked(standard); }));
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(second.isNull());
    EXPECT_TRUE(second->isVisible());
    EXPECT_EQ(UnlockPromptWindow::current(), second.data());
    EXPECT_TRUE(second->windowTitle() == QStringLiteral("Unlock Vault"));
    second->close();
}

} // namespace
} // namespace larkhold::test
