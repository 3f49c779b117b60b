#include "CreateVaultModel.h"
#include "HangingShare.h"
#include "SheetsFixture.h"

#include <QSignalSpy>

namespace larkhold::test {
namespace {

class CreateForm : public SheetsFixture {
protected:
    void SetUp() override { startStore(); }

    QString folder() const { return dir.filePath(QStringLiteral("vaults")); }
    QString inFolder(const QString& name) const { return QDir(folder()).filePath(name); }

    // A form filled in well enough to be created.
    std::unique_ptr<CreateVaultModel> filled(VaultKind kind, const QString& name = QStringLiteral("Private")) {
        auto model = std::make_unique<CreateVaultModel>(services());
        model->setKind(kind);
        model->setDirectory(folder());
        model->setName(name);
        model->setPassword(QStringLiteral("correct horse"));
        model->setConfirmPassword(QStringLiteral("correct horse"));
        return model;
    }

    // Runs the creation to its end; whether the sheet asked to close.
    bool createAndWait(CreateVaultModel& model) {
        QSignalSpy closing(&model, &SheetModel::closeRequested);
        EXPECT_TRUE(model.create());
        EXPECT_TRUE(eventually([&] { return !model.creating(); }));
        return closing.count() == 1;
    }
};

TEST_F(CreateForm, StartsWithTheDefaults) {
    CreateVaultModel model(services());
    EXPECT_EQ(model.kind(), VaultKind::standard);
    EXPECT_EQ(model.maxSizeMB(), 10240);
    EXPECT_EQ(model.pocketSizeMB(), 5);
    EXPECT_TRUE(model.saveToKeychain());
    EXPECT_TRUE(model.excludeFromCloud());
    EXPECT_EQ(model.validationMessage(), std::nullopt);
    EXPECT_FALSE(model.canCreate());
    EXPECT_EQ(model.subtitle(), QStringLiteral("An encrypted folder only you can open"));
    model.setKind(VaultKind::pocket);
    EXPECT_EQ(model.subtitle(), QStringLiteral("A small encrypted vault that opens inside Larkhold"));
    EXPECT_EQ(model.primaryLabel(), QStringLiteral("Create Vault"));
    EXPECT_EQ(CreateVaultModel::pocketCaption(),
              QStringLiteral("For notes, photos and PDFs (up to 5 MB each), opened inside Larkhold — never in the file "
                             "manager. The file takes about twice this size on disk, is kept out of backups, and its "
                             "size can’t be changed later. Need more than 50 MB? Use a Standard Vault."));
    EXPECT_EQ(CreateVaultModel::pocketSizeLabel(25), QStringLiteral("25 MB"));
    model.setPocketSizeMB(7);
    EXPECT_EQ(model.pocketSizeMB(), 5);
}

TEST_F(CreateForm, EnablesCreateOnlyForACompleteForm) {
    auto model = filled(VaultKind::standard);
    EXPECT_TRUE(model->canCreate());

    model->setName(QStringLiteral("   "));
    EXPECT_EQ(model->validationMessage(), std::nullopt);
    EXPECT_FALSE(model->canCreate());
    model->setName(QStringLiteral("  Private\t"));
    EXPECT_EQ(model->trimmedName(), QStringLiteral("Private"));
    EXPECT_TRUE(model->canCreate());

    model->setConfirmPassword(QString());
    EXPECT_EQ(model->validationMessage(), std::nullopt);
    EXPECT_FALSE(model->canCreate());
    model->setConfirmPassword(QStringLiteral("Correct horse"));
    EXPECT_EQ(model->validationMessage(), QStringLiteral("Passwords don’t match."));
    model->setConfirmPassword(QStringLiteral("correct horse"));

    model->setPassword(QString());
    model->setConfirmPassword(QString());
    EXPECT_EQ(model->validationMessage(), std::nullopt);
    EXPECT_FALSE(model->canCreate());
    model->setPassword(QStringLiteral("12345"));
    EXPECT_EQ(model->validationMessage(), QStringLiteral("Password must be at least 6 characters."));
    // The tools would read this password only up to its zero character.
    const QString withZero = QStringLiteral("secret") + QChar(u'\0') + QStringLiteral("word");
    model->setPassword(withZero);
    model->setConfirmPassword(withZero);
    EXPECT_EQ(model->validationMessage(),
              QStringLiteral("A password can’t contain the zero character (U+0000). Type it again without it."));
    EXPECT_FALSE(model->canCreate());
    // Six letters of several bytes each are six characters.
    model->setPassword(QStringLiteral("ñøüßéç"));
    model->setConfirmPassword(QStringLiteral("ñøüßéç"));
    EXPECT_TRUE(model->canCreate());

    model->setPasswordHint(QStringLiteral(" ñøüßéç "));
    EXPECT_EQ(model->validationMessage(), QStringLiteral("Password hint cannot be the same as the password."));
    EXPECT_FALSE(model->canCreate());
    model->setPasswordHint(QString(121, u'h'));
    EXPECT_EQ(model->validationMessage(), QStringLiteral("Password hint must be 120 characters or less."));
    model->setPasswordHint(QString(120, u'h'));
    EXPECT_TRUE(model->canCreate());

    model->setMaxSizeMB(15);
    EXPECT_FALSE(model->canCreate());
    model->setKind(VaultKind::pocket);
    EXPECT_TRUE(model->canCreate());
}

TEST_F(CreateForm, NameProblemsComeFirst) {
    auto model = filled(VaultKind::standard, QStringLiteral("a:b"));
    model->setPassword(QStringLiteral("123"));
    EXPECT_EQ(model->validationMessage(), QStringLiteral("The name can’t contain “/” or “:”."));
    EXPECT_FALSE(model->canCreate());
    for (const QString& name : {QStringLiteral("Tax\nes"), QString(QStringLiteral("a")) + QChar(u'\0')}) {
        model->setName(name);
        EXPECT_EQ(model->validationMessage(),
                  QStringLiteral("The name can’t contain line breaks or other control characters."));
    }
    model->setName(QStringLiteral(" .. "));
    EXPECT_EQ(model->validationMessage(), QStringLiteral("The name can’t be “.” or “..”."));
}

TEST_F(CreateForm, AFolderOnAShareThatStopsAnsweringIsLookedAtOffTheGuiThreadAndGetsNoWarning) {
    HangingShare share;
    if (!share.isMounted())
        GTEST_SKIP() << "FUSE cannot be mounted here";
    QDir().mkpath(share.backing() + QStringLiteral("/Vaults"));
    CreateVaultModel model(services());
    model.setKind(VaultKind::pocket);
    ASSERT_TRUE(waitUntil([&] { return !model.lookingAtFolder(); }));
    share.hang();
    model.setDirectory(share.path() + QStringLiteral("/Vaults"));
    ASSERT_TRUE(share.waitStalled());
    EXPECT_TRUE(model.lookingAtFolder());
    EXPECT_EQ(model.syncServiceWarning(), std::nullopt);
    // The look's deadline passes while the share still hangs.
    ASSERT_TRUE(waitUntil([&] { return !model.lookingAtFolder(); }));
    EXPECT_EQ(model.syncServiceWarning(), std::nullopt);
    EXPECT_EQ(model.cloudWarning(), std::nullopt);
    share.answer();
}

TEST_F(CreateForm, CloudWarningsFollowTheFolderKindAndToggle) {
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    const QString dropbox = QDir(home.path()).filePath(QStringLiteral("Dropbox/Vaults"));
    QDir().mkpath(dropbox);

    CreateVaultModel model(services());
    model.setDirectory(dropbox);
    ASSERT_TRUE(waitUntil([&] { return !model.lookingAtFolder(); }));
    EXPECT_EQ(model.syncServiceWarning(), std::nullopt);
    model.setKind(VaultKind::pocket);
    EXPECT_EQ(model.syncServiceWarning(),
              QStringLiteral("This folder syncs with Dropbox, which keeps copies of every version. Choose a folder "
                             "that isn’t synced."));
    EXPECT_EQ(model.cloudWarning(), std::nullopt);

    model.setDirectory(QDir(home.path()).filePath(QStringLiteral("Library/Mobile Documents/com~apple~CloudDocs")));
    ASSERT_TRUE(waitUntil([&] { return !model.lookingAtFolder(); }));
    EXPECT_EQ(model.cloudWarning(), std::nullopt);
    model.setExcludeFromCloud(false);
    EXPECT_EQ(model.cloudWarning(),
              QStringLiteral("This location syncs with cloud sync — the encrypted vault file would be uploaded."));
    model.setExcludeFromCloud(true);
    EXPECT_EQ(model.cloudWarning(), std::nullopt);
    EXPECT_EQ(CreateVaultModel::lostPasswordWarning(),
              QStringLiteral("If you forget the password and it isn’t in your keyring, the contents cannot be "
                             "recovered by anyone."));
    qputenv("HOME", oldHome);
}

TEST_F(CreateForm, StandardVaultKeptOutOfCloudSync) {
    auto model = filled(VaultKind::standard);
    model->setMaxSizeMB(2048);
    model->setPasswordHint(QStringLiteral("  horse  "));
    ASSERT_TRUE(createAndWait(*model));

    ASSERT_EQ(store->vaults().size(), 1);
    const Vault v = store->vaults().first();
    EXPECT_EQ(v.kind, VaultKind::standard);
    EXPECT_EQ(v.name, QStringLiteral("Private"));
    EXPECT_EQ(v.bundlePath, inFolder(QStringLiteral("Private.nosync")));
    EXPECT_TRUE(QFileInfo(v.bundlePath).isDir());
    EXPECT_FALSE(QFileInfo::exists(inFolder(QStringLiteral("Private.sparsebundle"))));
    EXPECT_TRUE(v.excludedFromCloud);
    EXPECT_EQ(v.maxSizeMB, 2048);
    EXPECT_TRUE(v.openInFinderAfterUnlock);
    EXPECT_FALSE(v.requireTouchID);
    EXPECT_FALSE(v.autoOpenAtLaunch);
    EXPECT_EQ(v.lastOpenedAt, std::nullopt);
    EXPECT_EQ(v.passwordHint, QStringLiteral("horse"));
    EXPECT_EQ(secrets.saved(v.id), QStringLiteral("correct horse"));
    // It joins the list locked.
    EXPECT_FALSE(store->isUnlocked(v));
}

TEST_F(CreateForm, StandardVaultInCloudSyncWithoutSavedPassword) {
    auto model = filled(VaultKind::standard);
    model->setExcludeFromCloud(false);
    model->setSaveToKeychain(false);
    model->setPasswordHint(QStringLiteral("   "));
    ASSERT_TRUE(createAndWait(*model));
    const Vault v = store->vaults().first();
    EXPECT_EQ(v.bundlePath, inFolder(QStringLiteral("Private.sparsebundle")));
    EXPECT_FALSE(v.excludedFromCloud);
    EXPECT_EQ(v.passwordHint, std::nullopt);
    EXPECT_EQ(secrets.itemCount(), 0);
}

TEST_F(CreateForm, ATakenNameRunsNoTool) {
    for (const char* taken : {"Private.sparsebundle", "Private.nosync"}) {
        SCOPED_TRACE(taken);
        QDir().mkpath(inFolder(QString::fromLatin1(taken)));
        auto model = filled(VaultKind::standard);
        EXPECT_FALSE(createAndWait(*model));
        EXPECT_EQ(store->errorMessage(), QStringLiteral("A vault named “Private” already exists in that folder."));
        EXPECT_EQ(callCount(QStringLiteral("hdiutil create")), 0);
        EXPECT_TRUE(store->vaults().isEmpty());
        EXPECT_TRUE(model->canCreate());
        QDir(inFolder(QString::fromLatin1(taken))).removeRecursively();
        store->clearErrorMessage();
    }
}

TEST_F(CreateForm, AFailingToolKeepsTheSheetWithItsFields) {
    setToolFile(QStringLiteral("create.err"),
                "hdiutil: create failed - There is not enough space on the disk that holds this vault.");
    setToolFile(QStringLiteral("create.status"), "81");
    auto model = filled(VaultKind::standard);
    EXPECT_FALSE(createAndWait(*model));
    EXPECT_EQ(store->errorMessage(),
              QStringLiteral("“Private” could not be created. The disk is full — make room on it, then try again."));
    EXPECT_EQ(model->name(), QStringLiteral("Private"));
    EXPECT_EQ(model->password(), QStringLiteral("correct horse"));
    EXPECT_TRUE(model->canCreate());
    EXPECT_TRUE(store->vaults().isEmpty());
}

TEST_F(CreateForm, AnImageThatCannotTakeItsNosyncNameIsListedUnderItsOwn) {
    // Something takes the ".nosync" name while the image is being made.
    setToolFile(QStringLiteral("create.gate"));
    auto model = filled(VaultKind::standard);
    ASSERT_TRUE(model->create());
    ASSERT_TRUE(eventually([&] { return callCount(QStringLiteral("hdiutil create")) == 1; }));
    QDir().mkpath(inFolder(QStringLiteral("Private.nosync")));
    removeToolFile(QStringLiteral("create.gate"));
    ASSERT_TRUE(eventually([&] { return !model->creating(); }));

    ASSERT_EQ(store->vaults().size(), 1);
    const Vault v = store->vaults().first();
    EXPECT_EQ(v.bundlePath, inFolder(QStringLiteral("Private.sparsebundle")));
    EXPECT_FALSE(v.excludedFromCloud);
    EXPECT_TRUE(store->errorMessage().startsWith(
        QStringLiteral("The vault was created as “Private.sparsebundle”, but it could not be kept out of cloud sync")))
        << store->errorMessage().toStdString();
}

TEST_F(CreateForm, DecidesFromItsOwnOutcomeNotTheSharedMessage) {
    // A message another operation left behind does not keep a successful creation open…
    store->setErrorMessage(QStringLiteral("Something else went wrong."));
    auto model = filled(VaultKind::pocket);
    EXPECT_TRUE(createAndWait(*model));
    // …and one cleared meanwhile does not close a failed one.
    store->clearErrorMessage();
    auto again = filled(VaultKind::pocket);
    QSignalSpy closing(again.get(), &SheetModel::closeRequested);
    QObject::connect(store.get(), &VaultStore::errorMessageChanged, store.get(), [this] {
        if (!store->errorMessage().isEmpty())
            store->clearErrorMessage();
    });
    again->create();
    ASSERT_TRUE(eventually([&] { return !again->creating(); }));
    EXPECT_EQ(closing.count(), 0);
}

TEST_F(CreateForm, PocketVaultWithItsCapacityOpensItsWindow) {
    auto model = filled(VaultKind::pocket, QStringLiteral("Diary"));
    model->setPocketSizeMB(25);
    model->setExcludeFromCloud(false);
    ASSERT_TRUE(createAndWait(*model));
    const Vault v = store->vaults().first();
    EXPECT_EQ(v.kind, VaultKind::pocket);
    EXPECT_EQ(v.maxSizeMB, 25);
    EXPECT_EQ(v.bundlePath, inFolder(QStringLiteral("Diary.pocketvault")));
    EXPECT_TRUE(store->isUnlocked(v));
    EXPECT_EQ(host.shownPocketWindows, QList<QUuid>{v.id});
}

TEST_F(CreateForm, ASecondPressWhileCreatingStartsNothing) {
    setToolFile(QStringLiteral("create.gate"));
    auto model = filled(VaultKind::standard);
    ASSERT_TRUE(model->create());
    EXPECT_EQ(model->primaryLabel(), QStringLiteral("Creating…"));
    EXPECT_FALSE(model->canCreate());
    EXPECT_FALSE(model->create());
    removeToolFile(QStringLiteral("create.gate"));
    ASSERT_TRUE(eventually([&] { return !model->creating(); }));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil create")), 1);
    EXPECT_EQ(store->vaults().size(), 1);
}

TEST_F(CreateForm, ClosingTheSheetLetsTheCreationFinish) {
    setToolFile(QStringLiteral("create.gate"));
    auto model = filled(VaultKind::standard);
    model->create();
    model.reset();
    removeToolFile(QStringLiteral("create.gate"));
    ASSERT_TRUE(eventually([&] { return store->vaults().size() == 1; }));
}

} // namespace
} // namespace larkhold::test
