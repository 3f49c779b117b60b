#include "CheckSheetModels.h"
#include "PocketStorage.h"
#include "SheetsFixture.h"

#include <QSignalSpy>

namespace larkhold::test {
namespace {

class CheckSheets : public SheetsFixture {
protected:
    CheckSheets() {
        // Moves to the Trash land in the scratch folder, never in the user's own Trash.
        QDir().mkpath(dir.filePath(QStringLiteral("xdg")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("xdg"))));
    }
    void SetUp() override {
        standard = standardVault(QStringLiteral("Taxes"));
        writeFile(standard.bundlePath + QStringLiteral("/.password"), "pw-standard");
        pocket = pocketVault(QStringLiteral("Diary"), QStringLiteral("pw-pocket"));
        startStore();
    }

    template <class Model> void finish(Model& model) {
        ASSERT_TRUE(eventually([&] { return !model.working(); }));
    }
    QStringList trashed() const {
        return QDir(dir.filePath(QStringLiteral("xdg/Trash/files"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    Vault standard;
    Vault pocket;
};

// ---- verify ----

TEST_F(CheckSheets, VerifyShowsTheKindsOwnTexts) {
    VerifyModel s(services(), standard);
    EXPECT_EQ(s.title(), QStringLiteral("Verify “Taxes”"));
    EXPECT_EQ(s.subtitle(), QStringLiteral("Checks the vault's filesystem for damage"));
    // Invisible only where the tools mount with the kernel; through udisks the volume shows while checked.
    const QByteArray backend = qgetenv("LARKHOLD_VOLUME_BACKEND");
    qputenv("LARKHOLD_VOLUME_BACKEND", "kernel");
    EXPECT_TRUE(s.caption().startsWith(QStringLiteral("The vault is opened invisibly")));
    qputenv("LARKHOLD_VOLUME_BACKEND", "udisks");
    EXPECT_TRUE(s.caption().startsWith(QStringLiteral("The vault is opened (it shows in the file manager until the "
                                                      "check ends)")));
    qputenv("LARKHOLD_VOLUME_BACKEND", backend);
    VerifyModel p(services(), pocket);
    EXPECT_EQ(p.subtitle(), QStringLiteral("Checks the vault's contents for damage"));
    EXPECT_TRUE(p.caption().startsWith(QStringLiteral("The vault is decrypted in memory")));
    EXPECT_EQ(p.closeLabel(), QStringLiteral("Cancel"));
    EXPECT_FALSE(p.canVerify());
}

TEST_F(CheckSheets, VerifyAPocketVaultWrongThenRightAndNeverCloses) {
    VerifyModel model(services(), pocket);
    QSignalSpy closing(&model, &SheetModel::closeRequested);
    model.setPassword(QStringLiteral("wrong"));
    ASSERT_TRUE(model.verify());
    EXPECT_EQ(model.primaryLabel(), QStringLiteral("Verifying…"));
    EXPECT_FALSE(model.verify());
    finish(model);
    EXPECT_FALSE(model.resultOK());
    EXPECT_EQ(model.resultText(), QStringLiteral("Wrong password."));
    EXPECT_EQ(model.closeLabel(), QStringLiteral("Done"));
    EXPECT_EQ(model.password(), QStringLiteral("wrong"));

    model.setPassword(QStringLiteral("pw-pocket"));
    ASSERT_TRUE(model.verify());
    // The old result is hidden while the next check runs.
    EXPECT_EQ(model.resultText(), std::nullopt);
    EXPECT_EQ(model.closeLabel(), QStringLiteral("Cancel"));
    finish(model);
    EXPECT_TRUE(model.resultOK());
    EXPECT_EQ(model.resultText(), QStringLiteral("Vault is healthy — every item decrypted and checked."));
    EXPECT_EQ(closing.count(), 0);
    EXPECT_TRUE(store->errorMessage().isEmpty());
}

TEST_F(CheckSheets, VerifyAFileOfNoTier) {
    writeFile(pocket.bundlePath, "not a pocket vault at all");
    VerifyModel model(services(), pocket);
    model.setPassword(QStringLiteral("pw-pocket"));
    model.verify();
    finish(model);
    EXPECT_EQ(model.resultText(), QStringLiteral("That file isn’t a Pocket Vault."));
}

TEST_F(CheckSheets, VerifyAStandardVault) {
    VerifyModel model(services(), standard);
    model.setPassword(QStringLiteral("pw-standard"));
    model.verify();
    finish(model);
    EXPECT_TRUE(model.resultOK());
    EXPECT_EQ(model.resultText(), QStringLiteral("Vault is healthy — filesystem check passed."));
    EXPECT_FALSE(store->isUnlocked(standard));

    setToolFile(QStringLiteral("verify.fail"), "one\ntwo\nthree\nfour\n");
    model.verify();
    finish(model);
    EXPECT_FALSE(model.resultOK());
    EXPECT_EQ(model.resultText(), QStringLiteral("Verification reported problems:\ntwo\nthree\nfour"));
}

TEST_F(CheckSheets, VerifyRefusesAnOpenOrBusyVaultAndMarksItBusy) {
    setToolFile(QStringLiteral("password"), "pw-standard");
    ASSERT_TRUE(unlockWith(standard, QStringLiteral("pw-standard")));
    VerifyModel model(services(), standard);
    model.setPassword(QStringLiteral("pw-standard"));
    model.verify();
    finish(model);
    EXPECT_FALSE(model.resultOK());
    ASSERT_TRUE(model.resultText().has_value());
    EXPECT_TRUE(model.resultText()->contains(QStringLiteral("Lock “Taxes” first")));
    EXPECT_TRUE(store->isUnlocked(standard));
    EXPECT_EQ(callCount(QStringLiteral("diskutil verifyVolume")), 0);

    QCoro::waitFor(store->lock(standard, false, LockReason::manual));
    setToolFile(QStringLiteral("verifyVolume.gate"));
    model.verify();
    ASSERT_TRUE(eventually([&] { return store->isBusy(standard.id); }));
    removeToolFile(QStringLiteral("verifyVolume.gate"));
    finish(model);
    EXPECT_TRUE(model.resultOK());
    EXPECT_FALSE(store->isBusy(standard.id));
}

// ---- delete ----

TEST_F(CheckSheets, DeleteTexts) {
    DeleteModel model(services(), standard);
    EXPECT_EQ(model.title(), QStringLiteral("Move “Taxes” to Trash"));
    EXPECT_EQ(DeleteModel::subtitle(), QStringLiteral("The vault password is required to delete it"));
    EXPECT_EQ(DeleteModel::warning(),
              QStringLiteral("The vault and everything inside it will be moved to the Trash — recoverable until the "
                             "Trash is emptied, and encrypted the whole time. Its saved password is removed from your "
                             "keyring."));
    EXPECT_EQ(model.primaryLabel(), QStringLiteral("Move to Trash"));
    EXPECT_FALSE(model.canDelete());
}

TEST_F(CheckSheets, DeleteRefusesAWrongPasswordOfEitherKind) {
    for (const Vault& vault : {standard, pocket}) {
        SCOPED_TRACE(vault.name.toStdString());
        secrets.savePassword(QStringLiteral("saved"), vault.id);
        DeleteModel model(services(), vault);
        QSignalSpy closing(&model, &SheetModel::closeRequested);
        model.setPassword(QStringLiteral("wrong"));
        ASSERT_TRUE(model.deleteVault());
        EXPECT_EQ(model.primaryLabel(), QStringLiteral("Deleting…"));
        finish(model);
        EXPECT_EQ(model.errorText(), QStringLiteral("Wrong password — the vault was not deleted."));
        EXPECT_EQ(closing.count(), 0);
        EXPECT_TRUE(store->vault(vault.id).has_value());
        EXPECT_TRUE(QFileInfo::exists(vault.bundlePath));
        EXPECT_EQ(secrets.saved(vault.id), QStringLiteral("saved"));
        EXPECT_EQ(model.password(), QStringLiteral("wrong"));
    }
}

TEST_F(CheckSheets, DeleteMovesToTheTrashAndForgets) {
    secrets.savePassword(QStringLiteral("pw-pocket"), pocket.id);
    DeleteModel model(services(), pocket);
    QSignalSpy closing(&model, &SheetModel::closeRequested);
    model.open();
    EXPECT_EQ(model.password(), QStringLiteral("pw-pocket"));
    model.deleteVault();
    finish(model);
    EXPECT_EQ(closing.count(), 1);
    EXPECT_FALSE(store->vault(pocket.id).has_value());
    EXPECT_FALSE(QFileInfo::exists(pocket.bundlePath));
    EXPECT_EQ(secrets.saved(pocket.id), std::nullopt);
    EXPECT_EQ(trashed(), QStringList{QStringLiteral("Diary.pocketvault")});
}

TEST_F(CheckSheets, DeleteLocksAnOpenVaultFirst) {
    setToolFile(QStringLiteral("password"), "pw-standard");
    ASSERT_TRUE(unlockWith(standard, QStringLiteral("pw-standard")));
    DeleteModel model(services(), standard);
    QSignalSpy closing(&model, &SheetModel::closeRequested);
    model.setPassword(QStringLiteral("pw-standard"));
    model.deleteVault();
    finish(model);
    EXPECT_EQ(closing.count(), 1);
    EXPECT_FALSE(store->isUnlocked(standard.id));
    EXPECT_FALSE(store->vault(standard.id).has_value());
}

TEST_F(CheckSheets, AVaultThatWillNotLockStaysListedAndTheSheetSaysWhy) {
    setToolFile(QStringLiteral("password"), "pw-standard");
    ASSERT_TRUE(unlockWith(standard, QStringLiteral("pw-standard")));
    setToolFile(QStringLiteral("detach.err"), "hdiutil: couldn't unmount \"disk4\" - Resource busy");
    DeleteModel model(services(), standard);
    QSignalSpy closing(&model, &SheetModel::closeRequested);
    model.setPassword(QStringLiteral("pw-standard"));
    model.deleteVault();
    finish(model);
    EXPECT_EQ(closing.count(), 0);
    ASSERT_TRUE(model.errorText().has_value());
    EXPECT_FALSE(model.errorText()->isEmpty());
    EXPECT_TRUE(store->isUnlocked(standard.id));
    EXPECT_TRUE(store->vault(standard.id).has_value());
    EXPECT_TRUE(QFileInfo::exists(standard.bundlePath));
    EXPECT_TRUE(model.canDelete());
}

TEST_F(CheckSheets, ClosingTheSheetDoesNotStopARightDeletion) {
    setToolFile(QStringLiteral("imageinfo.gate"));
    auto model = std::make_unique<DeleteModel>(services(), standard);
    model->setPassword(QStringLiteral("pw-standard"));
    model->deleteVault();
    model.reset();
    removeToolFile(QStringLiteral("imageinfo.gate"));
    ASSERT_TRUE(eventually([&] { return !store->vault(standard.id).has_value(); }));
    EXPECT_EQ(trashed(), QStringList{QStringLiteral("Taxes.sparsebundle")});
}

} // namespace
} // namespace larkhold::test
