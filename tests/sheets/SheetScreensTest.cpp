#include "PasswordStrengthView.h"
#include "Screens.h"
#include "UnlockPromptWindow.h"
#include "VaultSizeField.h"
#include "WidgetFixture.h"

#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QVBoxLayout>

namespace larkhold::test {
namespace {

// Every sheet in light and dark, empty and with each of its messages, under build/screens/sheets/.
class SheetScreens : public WidgetFixture {
protected:
    void SetUp() override {
        standard = standardVault(QStringLiteral("Tax Records"));
        writeFile(standard.bundlePath + QStringLiteral("/.password"), "pw-standard");
        pocket = pocketVault(QStringLiteral("Diary"), QStringLiteral("pw-pocket"));
        startStore();
    }

    // Renders an open sheet; `prepare` puts it in the state to show.
    template <class Sheet> void render(Sheet* sheet, const QString& name, const std::function<void()>& prepare = {}) {
        if (prepare)
            prepare();
        QCoreApplication::processEvents();
        ScreenOptions options;
        options.mayElide = {QStringLiteral("directory")};
        options.beforeGrab = [sheet](bool) {
            for (auto* meter : sheet->template findChildren<PasswordStrengthView*>())
                meter->finishAnimation();
        };
        const ScreenReport report = renderScreen(sheet, QStringLiteral("sheets"), name, options);
        EXPECT_TRUE(report.ok()) << name.toStdString() << ": "
                                 << report.problems.join(QStringLiteral("; ")).toStdString();
        // On the screen whole, the buttons included (the offscreen screen is 800 high).
        const QRect room = sheet->screen()->availableGeometry();
        EXPECT_TRUE(room.contains(sheet->frameGeometry())) << name.toStdString();
        if (QPushButton* primary = sheet->primaryButton())
            EXPECT_TRUE(room.contains(QRect(primary->mapToGlobal(QPoint(0, 0)), primary->size())))
                << name.toStdString();
    }

    Vault standard;
    Vault pocket;
};

TEST_F(SheetScreens, NewVault) {
    auto* sheet = open<CreateVaultSheet>(sheets().createVault(&window));
    CreateVaultModel& m = sheet->form();
    m.setDirectory(QStringLiteral("/home/robin/Documents/Private Papers/Taxes and Receipts/2024/Scanned"));
    render(sheet, QStringLiteral("create-empty"));
    m.setName(QStringLiteral("Tax/2024"));
    render(sheet, QStringLiteral("create-name-separator"));
    m.setName(QStringLiteral("Taxes\n2024"));
    render(sheet, QStringLiteral("create-name-control"));
    m.setName(QStringLiteral(".."));
    render(sheet, QStringLiteral("create-name-dots"));
    m.setName(QStringLiteral("Taxes"));
    m.setPassword(QStringLiteral("abc"));
    render(sheet, QStringLiteral("create-password-short"));
    m.setPassword(QStringLiteral("correct horse battery"));
    m.setConfirmPassword(QStringLiteral("correct horse"));
    render(sheet, QStringLiteral("create-password-mismatch"));
    m.setConfirmPassword(QStringLiteral("correct horse battery"));
    m.setPasswordHint(QString(121, u'h'));
    render(sheet, QStringLiteral("create-hint-long"));
    m.setPasswordHint(QStringLiteral("correct horse battery"));
    render(sheet, QStringLiteral("create-hint-password"));
    m.setPasswordHint(QStringLiteral("the stable"));
    render(sheet, QStringLiteral("create-ready"));
    m.setExcludeFromCloud(false);
    m.setDirectory(QDir::homePath() + QStringLiteral("/Library/Mobile Documents/com~apple~CloudDocs"));
    render(sheet, QStringLiteral("create-cloud-warning"));
    m.setExcludeFromCloud(true);
    m.setKind(VaultKind::pocket);
    m.setDirectory(QDir::homePath() + QStringLiteral("/Dropbox"));
    render(sheet, QStringLiteral("create-pocket-sync-warning"));
}

TEST_F(SheetScreens, Unlock) {
    Vault hinted = standard;
    hinted.passwordHint = QStringLiteral("the street you grew up on, then the year");
    render(open<UnlockSheet>(sheets().unlock(&window, hinted)), QStringLiteral("unlock-standard-hint"));
    Vault guarded = standard;
    guarded.requireTouchID = true;
    store->modifyVault(guarded.id, [](Vault& v) { v.requireTouchID = true; });
    secrets.savePassword(QStringLiteral("saved"), guarded.id);
    owner.queueAnswers({false});
    QCoro::waitFor(store->requestUnlock(guarded));
    render(open<UnlockSheet>(sheets().unlock(&window, guarded)), QStringLiteral("unlock-saved-password-not-used"));
    store->setPasswordPromptVault(std::nullopt);
    auto* pocketSheet = open<UnlockSheet>(sheets().unlock(&window, pocket));
    render(pocketSheet, QStringLiteral("unlock-pocket"));
    pocketSheet->form().setPassword(QStringLiteral("typed"));
    render(pocketSheet, QStringLiteral("unlock-pocket-typed"));

    UnlockPromptWindow::show(*store, standard);
    UnlockSheet* prompt = UnlockPromptWindow::current();
    ASSERT_NE(prompt, nullptr);
    prompt->form().setPassword(QStringLiteral("wrong"));
    prompt->form().unlock();
    ASSERT_TRUE(settles(prompt));
    render(prompt, QStringLiteral("unlock-window-failed"));
}

TEST_F(SheetScreens, ChangeSizeLimit) {
    auto* sheet = open<ResizeSheet>(sheets().resize(&window, standard));
    render(sheet, QStringLiteral("resize-empty"));
    // What the vault holds raises the smallest limit the field offers.
    sheet->form().setPassword(QStringLiteral("pw"));
    setToolFile(QStringLiteral("du.kb"), "2100000");
    QCoro::waitFor(store->refresh());
    // The vault's own limit stays until the user changes it; a step then lands in the new range.
    EXPECT_EQ(sheet->sizeField()->model().value(), 1);
    EXPECT_FALSE(sheet->primaryButton()->isEnabled());
    sheet->sizeField()->numberField()->stepBy(1);
    EXPECT_EQ(sheet->sizeField()->model().value(), 3);
    EXPECT_EQ(sheet->form().newSizeMB(), 3072);
    EXPECT_EQ(shown(sheet, "validation"), "");
    render(sheet, QStringLiteral("resize-measured"));
}

TEST_F(SheetScreens, Rename) {
    auto* sheet = open<RenameSheet>(sheets().rename(&window, standard));
    render(sheet, QStringLiteral("rename-standard"));
    render(open<RenameSheet>(sheets().rename(&window, pocket)), QStringLiteral("rename-pocket"));
}

TEST_F(SheetScreens, VaultSettings) {
    auto* pocketSheet = open<VaultSettingsSheet>(sheets().vaultSettings(&window, pocket));
    render(pocketSheet, QStringLiteral("settings-pocket"));
    pocketSheet->form().setAutoOpen(true);
    pocketSheet->form().setPasswordHint(QString(130, u'x'));
    render(pocketSheet, QStringLiteral("settings-pocket-messages"));

    secrets.savePassword(QStringLiteral("pw-standard"), standard.id);
    auto* sheet = open<VaultSettingsSheet>(sheets().vaultSettings(&window, standard));
    sheet->form().setPasswordHint(QStringLiteral("pw-standard"));
    render(sheet, QStringLiteral("settings-standard-hint-password"));
}

TEST_F(SheetScreens, ChangePassword) {
    auto* sheet = open<ChangePasswordSheet>(sheets().changePassword(&window, pocket));
    render(sheet, QStringLiteral("change-password-empty"));
    secrets.savePassword(QStringLiteral("pw-standard"), standard.id);
    auto* filled = open<ChangePasswordSheet>(sheets().changePassword(&window, standard));
    filled->form().setNewPassword(QStringLiteral("Summer2024!"));
    filled->form().setConfirmPassword(QStringLiteral("Summer2024!"));
    filled->form().setPasswordHint(QStringLiteral("Summer2024!"));
    render(filled, QStringLiteral("change-password-messages"));
}

TEST_F(SheetScreens, PasswordAction) {
    PasswordAction reclaim{QStringLiteral("Reclaim Free Space"),
                           QStringLiteral("Shrinks the vault file on disk after files were deleted inside."),
                           QStringLiteral("Reclaim"),
                           [](QString) -> QCoro::Task<StoreOutcome> { co_return StoreOutcome::success(); }};
    render(open<PasswordActionSheet>(sheets().passwordAction(&window, standard, reclaim)),
           QStringLiteral("password-action"));
}

TEST_F(SheetScreens, Verify) {
    auto* sheet = open<VerifySheet>(sheets().verify(&window, pocket));
    render(sheet, QStringLiteral("verify-empty"));
    sheet->form().setPassword(QStringLiteral("pw-pocket"));
    sheet->form().verify();
    ASSERT_TRUE(settles(sheet));
    render(sheet, QStringLiteral("verify-healthy"));
    sheet->form().setPassword(QStringLiteral("wrong"));
    sheet->form().verify();
    ASSERT_TRUE(settles(sheet));
    render(sheet, QStringLiteral("verify-wrong-password"));

    auto* problems = open<VerifySheet>(sheets().verify(&window, standard));
    setToolFile(QStringLiteral("verify.fail"), "Checking the inode table\nInode 1207 has a bad checksum\n"
                                               "Directory entry for 'Receipts' is damaged\nexit code is 4\n");
    problems->form().setPassword(QStringLiteral("pw-standard"));
    problems->form().verify();
    ASSERT_TRUE(settles(problems));
    render(problems, QStringLiteral("verify-problems"));
}

TEST_F(SheetScreens, MoveToTrash) {
    auto* sheet = open<DeleteSheet>(sheets().deleteVault(&window, standard));
    render(sheet, QStringLiteral("delete-empty"));
    sheet->form().setPassword(QStringLiteral("wrong"));
    sheet->form().deleteVault();
    ASSERT_TRUE(settles(sheet));
    render(sheet, QStringLiteral("delete-wrong-password"));
}

TEST_F(SheetScreens, MeterAtEachLevel) {
    const std::pair<const char*, QString> samples[] = {
        {"weak", QStringLiteral("abcdef")},
        {"fair", QStringLiteral("Summer2024!")},
        {"good", QStringLiteral("qzmvtkwrplbx")},
        {"strong", QStringLiteral("staple orbit lantern quiet")},
    };
    for (const auto& [name, password] : samples) {
        QWidget frame;
        frame.setFixedWidth(376);
        auto* layout = new QVBoxLayout(&frame);
        layout->setContentsMargins(14, 14, 14, 14);
        auto* meter = new PasswordStrengthView;
        layout->addWidget(meter);
        meter->setPassword(password);
        meter->finishAnimation();
        EXPECT_EQ(PasswordStrengthView::label(*meter->level()).toLower().toStdString(), name);
        const ScreenReport report =
            renderScreen(&frame, QStringLiteral("sheets"), QStringLiteral("meter-%1").arg(QLatin1String(name)));
        EXPECT_TRUE(report.ok()) << report.problems.join(QStringLiteral("; ")).toStdString();
    }
}

} // namespace
} // namespace larkhold::test
