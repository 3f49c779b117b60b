#include "ByteCount.h"
#include "HangingShare.h"
#include "PocketEditorModel.h"
#include "PocketExport.h"
#include "PocketItemListModel.h"
#include "PocketPayload.h"
#include "PocketTestSupport.h"
#include "PocketVaultModel.h"

#include <QSignalSpy>
#include <csignal>
#include <sys/resource.h>

namespace larkhold::test {
namespace {

PocketItem noteNamed(const QString& name, const QString& text = QStringLiteral("text")) {
    return PocketItem::note(name, text, Date::fromReferenceSeconds(1000));
}

PocketItem itemOf(PocketItem::Kind kind, const QString& name, std::size_t bytes) {
    PocketItem item = noteNamed(name);
    item.kind = kind;
    item.data.assign(bytes, 0x42);
    return item;
}

// ---- export names and writes ----

TEST(ExportName, NotesGetTxtOtherKindsKeepTheirName) {
    EXPECT_EQ(PocketExport::fileName(noteNamed(QStringLiteral("Ideas"))), QStringLiteral("Ideas.txt"));
    EXPECT_EQ(PocketExport::fileName(itemOf(PocketItem::Kind::image, QStringLiteral("IMG_1.jpg"), 4)),
              QStringLiteral("IMG_1.jpg"));
    EXPECT_EQ(PocketExport::fileName(itemOf(PocketItem::Kind::pdf, QStringLiteral("Ticket.pdf"), 4)),
              QStringLiteral("Ticket.pdf"));
    EXPECT_EQ(PocketExport::fileName(noteNamed(QString())), QStringLiteral("Untitled.txt"));
}

TEST(ExportName, DecryptedNamesCannotEscapeTheFolderOrHide) {
    // An item name is whatever the vault holds: it must not become a path, a hidden file or a
    // name that reads differently from what it is.
    const QString traversal = PocketExport::fileName(noteNamed(QStringLiteral("../../.bashrc")));
    EXPECT_FALSE(traversal.contains(QLatin1Char('/')));
    EXPECT_FALSE(traversal.startsWith(QLatin1Char('.')));
    EXPECT_EQ(traversal, QStringLiteral("-..-.bashrc.txt"));

    EXPECT_EQ(PocketExport::fileName(noteNamed(QStringLiteral("a\nb\tc\x01"
                                                              "d"))),
              QStringLiteral("a b c d.txt"));
    EXPECT_EQ(PocketExport::fileName(itemOf(PocketItem::Kind::pdf, QStringLiteral("\u202Efdp.exe"), 1)),
              QStringLiteral("fdp.exe"));
    EXPECT_EQ(PocketExport::fileName(itemOf(PocketItem::Kind::image, QStringLiteral("..."), 1)),
              QStringLiteral("Untitled"));
    EXPECT_EQ(PocketExport::fileName(noteNamed(QStringLiteral(" \n "))), QStringLiteral("Untitled.txt"));
}

TEST(ExportName, LongNamesAreCutToWholeCharactersKeepingTheExtension) {
    const QString thumbs = QString::fromUtf8("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"); // thumbs up, skin tone: one character
    const QString longNote = PocketExport::fileName(noteNamed(thumbs.repeated(100)));
    EXPECT_LE(longNote.toUtf8().size(), 255);
    EXPECT_TRUE(longNote.endsWith(QStringLiteral(".txt")));
    EXPECT_EQ(longNote.chopped(4).size() % thumbs.size(), 0) << "no character is cut in half";

    const QString longPhoto =
        PocketExport::fileName(itemOf(PocketItem::Kind::image, QString(300, QChar(0xE9)) + QStringLiteral(".heic"), 1));
    EXPECT_LE(longPhoto.toUtf8().size(), 255);
    EXPECT_TRUE(longPhoto.endsWith(QStringLiteral(".heic")));
    EXPECT_EQ(longPhoto.toUtf8().size(), 255) << "as many whole two-byte characters as fit";
}

TEST(ExportWrite, WritesWholeOrLeavesTheEarlierFile) {
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("Ticket.pdf"));
    writeFile(target, "the earlier file");

    const SecureBytes small(1000, 0x61);
    EXPECT_FALSE(PocketExport::write(target, ByteView(small)).has_value());
    EXPECT_EQ(readFile(target), QByteArray(1000, 'a'));

    // The file system refuses to grow a file past 4 KiB: the export fails part way.
    const SecureBytes large(200'000, 0x62);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit tight = before;
    tight.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &tight);
    const std::optional<QString> failure = PocketExport::write(target, ByteView(large));
    setrlimit(RLIMIT_FSIZE, &before);

    ASSERT_TRUE(failure.has_value());
    EXPECT_FALSE(failure->isEmpty());
    EXPECT_EQ(readFile(target), QByteArray(1000, 'a')) << "the earlier file stays whole";
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Ticket.pdf")})
        << "no partial file is left beside it";
}

TEST(ExportWrite, AFailedExportBecomesTheNoticeAndChangesNothing) {
    const PocketItem note = noteNamed(QStringLiteral("Ideas"), QStringLiteral("secret plans"));
    PocketDocument document({note}, 1 << 20);
    PocketEditorModel model(document, nullptr);
    EXPECT_EQ(model.exportFileName(note.id), QStringLiteral("Ideas.txt"));
    model.exportItem(note.id, QStringLiteral("/nonexistent-folder/Ideas.txt"));
    ASSERT_TRUE(eventually([&] { return document.notice().has_value(); }));
    EXPECT_TRUE(document.notice()->startsWith(QStringLiteral("Could not export “Ideas”: ")))
        << document.notice()->toStdString();
    EXPECT_EQ(document.items().front(), note);
    EXPECT_EQ(document.selection(), note.id);

    QTemporaryDir dir;
    model.exportItem(note.id, dir.filePath(QStringLiteral("Ideas.txt")));
    ASSERT_TRUE(eventually([&] { return model.exportsUnderWay() == 0; }));
    EXPECT_EQ(readFile(dir.filePath(QStringLiteral("Ideas.txt"))), QByteArray("secret plans"));
}

TEST(ExportWrite, ToAShareThatStopsAnsweringTheEditorAnswersAndAGoneItemWritesNothing) {
    HangingShare share;
    if (!share.isMounted())
        GTEST_SKIP() << "FUSE cannot be mounted here";
    const PocketItem note = noteNamed(QStringLiteral("Ideas"), QStringLiteral("secret plans"));
    PocketDocument document({note}, 1 << 20);
    PocketEditorModel model(document, nullptr);
    share.hang();
    model.exportItem(note.id, share.path() + QStringLiteral("/Ideas.txt"));
    ASSERT_TRUE(share.waitStalled());

    // Another export, to a disk that answers, ends while the first waits.
    QTemporaryDir dir;
    model.exportItem(note.id, dir.filePath(QStringLiteral("Ideas.txt")));
    ASSERT_TRUE(eventually([&] { return model.exportsUnderWay() == 1; }));
    EXPECT_EQ(readFile(dir.filePath(QStringLiteral("Ideas.txt"))), QByteArray("secret plans"));

    // The vault locks before the share answers: its items leave memory, and nothing reaches the share.
    document.wipe();
    share.answer();
    ASSERT_TRUE(eventually([&] { return model.exportsUnderWay() == 0; }));
    EXPECT_TRUE(QDir(share.backing()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_FALSE(document.notice().has_value());
}

// ---- the sidebar's rows ----

TEST(ItemList, RowsShowNameSizeAndKind) {
    PocketDocument document({noteNamed(QString(), QString()),
                             itemOf(PocketItem::Kind::image, QStringLiteral("IMG.jpg"), 2048),
                             itemOf(PocketItem::Kind::pdf, QStringLiteral("Scan.pdf"), 10)},
                            1 << 20);
    PocketItemListModel model(&document);
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(model.index(0).data().toString(), QStringLiteral("Untitled"));
    EXPECT_EQ(model.index(0).data(PocketItemListModel::SizeTextRole).toString(), QStringLiteral("0 bytes"))
        << "an empty item shows a number, never a word";
    EXPECT_EQ(model.index(1).data(PocketItemListModel::SizeTextRole).toString(), QStringLiteral("2 KB"));
    EXPECT_EQ(model.index(0).data(PocketItemListModel::SymbolRole).toString(), QStringLiteral("note.text"));
    EXPECT_EQ(model.index(1).data(PocketItemListModel::SymbolRole).toString(), QStringLiteral("photo"));
    EXPECT_EQ(model.index(2).data(PocketItemListModel::SymbolRole).toString(), QStringLiteral("doc.richtext"));
}

TEST(ItemList, EditsRefreshRowsAddingResetsAndWipeEmpties) {
    const PocketItem note = noteNamed(QStringLiteral("Ideas"));
    PocketDocument document({note}, 1 << 20);
    PocketItemListModel model(&document);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy refreshed(&model, &QAbstractItemModel::dataChanged);

    document.setText(note.id, QStringLiteral("a longer text"));
    document.rename(note.id, QStringLiteral("Plans"));
    EXPECT_EQ(resets.count(), 0) << "typing keeps the list (and its selection and scroll position)";
    EXPECT_EQ(refreshed.count(), 2);
    EXPECT_EQ(model.index(0).data().toString(), QStringLiteral("Plans"));

    document.addNote();
    EXPECT_EQ(resets.count(), 1);
    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.indexOf(note.id).row(), 0);

    document.wipe();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(model.index(0).data().isValid());
}

// ---- the editor's decisions ----

TEST(EditorModel, PlaceholdersFollowTheSelection) {
    PocketDocument empty({}, 1 << 20);
    PocketEditorModel emptyModel(empty, nullptr);
    EXPECT_EQ(emptyModel.placeholder(), QStringLiteral("Nothing here yet"));
    EXPECT_TRUE(emptyModel.showsDropHint());

    const PocketItem a = noteNamed(QStringLiteral("a")), b = noteNamed(QStringLiteral("b"));
    PocketDocument document({a, b}, 1 << 20);
    PocketEditorModel model(document, nullptr);
    EXPECT_FALSE(model.placeholder().has_value());
    EXPECT_EQ(model.selectedItem()->id, a.id);
    model.select(std::nullopt);
    EXPECT_EQ(model.placeholder(), QStringLiteral("Select an item"));
    model.select(QUuid::createUuid());
    EXPECT_EQ(model.placeholder(), QStringLiteral("Select an item")) << "a selection naming no item";
    EXPECT_FALSE(model.showsDropHint());
}

TEST(EditorModel, ReadOnlyRefusesEveryEdit) {
    const PocketItem note = noteNamed(QStringLiteral("Ideas"), QStringLiteral("before"));
    PocketDocument document({note}, 1 << 20);
    int changes = 0;
    document.setOnChange([&] { ++changes; });
    PocketEditorModel model(document, nullptr);
    model.setReadOnly(true);
    model.setText(note.id, QStringLiteral("typed while locking"));
    model.rename(note.id, QStringLiteral("renamed"));
    model.addNote();
    model.deleteItem(note.id);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(document.items().size(), 1u);
    EXPECT_EQ(document.items().front().text(), QStringLiteral("before"));

    model.setReadOnly(false);
    model.setText(note.id, QStringLiteral("after"));
    EXPECT_EQ(changes, 1);
}

TEST(EditorModel, DeleteQuestionAndPhotoOption) {
    const PocketItem unnamed = noteNamed(QString());
    PocketDocument document({unnamed}, 1 << 20);
    QTemporaryDir dir;
    Defaults defaults(dir.filePath(QStringLiteral("settings.ini")));
    PocketEditorModel model(document, &defaults);
    const std::optional<EditorQuestion> question = model.deleteQuestion(unnamed.id);
    ASSERT_TRUE(question.has_value());
    EXPECT_EQ(question->message, QStringLiteral("Delete “Untitled”?"));
    EXPECT_EQ(question->informativeText, QStringLiteral("It is removed from the vault. This can’t be undone."));
    EXPECT_EQ(question->buttons, (QStringList{QStringLiteral("Delete"), QStringLiteral("Cancel")}));
    EXPECT_FALSE(model.deleteQuestion(QUuid::createUuid()).has_value());

    EXPECT_TRUE(model.optimizePhotos()) << "on while the setting is absent";
    model.setOptimizePhotos(false);
    EXPECT_FALSE(defaults.boolValue(SettingsKeys::pocketOptimizePhotos));
    EXPECT_EQ(
        PocketEditorModel::optimizeToolTip(),
        QStringLiteral("Resizes photos to 2500 px on the long side. Location and camera details are always removed."));
    EXPECT_EQ(PocketEditorModel::addFilesMessage(),
              QStringLiteral("Notes (text files), photos (JPEG, PNG, HEIC) and PDFs — up to 5 MB each"));
}

// ---- the window's header, banner and footer ----

class VaultModel : public PocketFixture {};

TEST_F(VaultModel, HeaderFooterAndSaveState) {
    PocketSession* session = openPocket(QStringLiteral("Travel"));
    ASSERT_NE(session, nullptr);
    PocketVaultModel model(*store, *session, pocket.id);
    EXPECT_EQ(model.title(), QStringLiteral("Travel"));
    EXPECT_EQ(model.subtitle(), QStringLiteral("Pocket Vault · 1 MB"));
    EXPECT_TRUE(model.canLock());
    EXPECT_TRUE(model.editable());
    EXPECT_EQ(model.saveState().text, QStringLiteral("Saved"));

    // An item that encodes to exactly half of 1 MB.
    PocketItem half = itemOf(PocketItem::Kind::pdf, QStringLiteral("half.pdf"), 0);
    for (int round = 0; round < 3; ++round) // the manifest grows with the digits of the size
        half.data.resize(half.data.size() + std::size_t(524'288 - PocketPayload::sizeOf({half})));
    PocketSession halfSession(QUuid::createUuid(), nullptr, {half}, 1'048'576);
    PocketVaultModel halfModel(*store, halfSession, halfSession.vaultID());
    EXPECT_EQ(halfModel.usedBytes(), 524'288);
    EXPECT_DOUBLE_EQ(halfModel.usedFraction(), 0.5);
    EXPECT_EQ(halfModel.usageText(), QStringLiteral("512 KB used of 1 MB"));
    EXPECT_EQ(halfModel.title(), QStringLiteral("Pocket Vault")) << "a vault no longer listed";
    EXPECT_FALSE(halfModel.canLock());
    EXPECT_FALSE(halfModel.banner().has_value());
}

TEST_F(VaultModel, ExportRefusesVaultFilesAndVolumesAndLeavesThemWhole) {
    const Vault archive = standardVault(QStringLiteral("Archive"));
    PocketSession* session = openPocket(QStringLiteral("Travel"));
    ASSERT_TRUE(unlockWith(archive, QStringLiteral("pw")));
    addAndWait(session->document(), {inputFile(QStringLiteral("Ideas.txt"), "secret plans")}, false);
    const QUuid id = session->document().items().back().id;
    PocketEditorModel model(session->document(), nullptr);
    const QByteArray before = readFile(pocket.bundlePath);

    model.exportItem(id, pocket.bundlePath);
    ASSERT_TRUE(eventually([&] { return model.exportsUnderWay() == 0; }));
    EXPECT_EQ(session->document().notice(),
              QStringLiteral("Could not export “Ideas”: “Travel.pocketvault” is a vault. An item can’t be "
                             "exported over a vault."));
    EXPECT_EQ(readFile(pocket.bundlePath), before) << "the open vault's file is untouched";
    EXPECT_EQ(PocketExport::refusal(archive.bundlePath + QStringLiteral("/Info.plist"), store.get()),
              QStringLiteral("“Archive.sparsebundle” is a vault. An item can’t be exported over a vault."));
    EXPECT_EQ(PocketExport::refusal(store->mountPoints().value(archive.id), store.get()),
              QStringLiteral("“Archive” is the volume of an unlocked vault. An item can’t be exported over it."));
    EXPECT_EQ(PocketExport::refusal(dir.filePath(QStringLiteral("Other.nosync")), nullptr),
              QStringLiteral("“Other.nosync” is a vault. An item can’t be exported over a vault."));
    EXPECT_FALSE(
        PocketExport::refusal(store->mountPoints().value(archive.id) + QStringLiteral("/Ideas.txt"), store.get()))
        << "into an unlocked vault is fine";
}

TEST_F(VaultModel, TheFooterShowsAFailedSaveUntilASaveSucceeds) {
    PocketSession* session = openPocket();
    PocketVaultModel model(*store, *session, pocket.id);
    WriteFaultPlan plan;
    plan.failAfterBytes = 0;
    larkholdTestWriteFault = &plan;
    session->document().addNote();
    const bool failed = !QCoro::waitFor(session->finish());
    larkholdTestWriteFault = nullptr;
    EXPECT_TRUE(failed);
    EXPECT_TRUE(model.saveState().failed);
    EXPECT_TRUE(model.saveState().text.startsWith(QStringLiteral("Not saved: ")))
        << model.saveState().text.toStdString();

    session->document().addNote();
    EXPECT_TRUE(QCoro::waitFor(session->finish()));
    EXPECT_FALSE(model.saveState().failed);
    EXPECT_EQ(model.saveState().text, QStringLiteral("Saved"));
}

TEST_F(VaultModel, CopiesWarningNamesTheSyncServiceFirst) {
    QTemporaryDir home;
    Vault vault = newRecord(QStringLiteral("Docs"), VaultKind::pocket, QStringLiteral(".pocketvault"), 1);
    vault.bundlePath = home.filePath(QStringLiteral("Dropbox/Docs.pocketvault"));
    vault.excludedFromCloud = true;
    const std::optional<QString> dropbox = pocketCopiesWarning(vault, home.path());
    ASSERT_TRUE(dropbox.has_value());
    EXPECT_EQ(*dropbox, QStringLiteral("This vault is in your Dropbox folder, which keeps a copy of every version. "
                                       "Move it to a folder that isn’t synced."));

    vault.bundlePath = home.filePath(QStringLiteral("Library/Mobile Documents/com~apple~CloudDocs/Docs.pocketvault"));
    vault.excludedFromCloud = false;
    EXPECT_EQ(pocketCopiesWarning(vault, home.path()),
              QStringLiteral("This vault syncs with cloud sync, which keeps copies of it. Lock it, then turn on “Keep "
                             "out of cloud sync”."));
    vault.excludedFromCloud = true;
    EXPECT_FALSE(pocketCopiesWarning(vault, home.path()).has_value());
    vault.bundlePath = home.filePath(QStringLiteral("Documents/Docs.pocketvault"));
    vault.excludedFromCloud = false;
    EXPECT_FALSE(pocketCopiesWarning(vault, home.path()).has_value());
}

} // namespace
} // namespace larkhold::test
