#include "PocketSession.h"

#include "ByteCount.h"
#include "FastKdf.h"
#include "PocketDocument.h"
#include "PocketPayload.h"
#include "PocketVaultError.h"
#include "fakes/store/StoreFixture.h"

#include <QCoroTask>
#include <QSemaphore>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <stdexcept>

namespace larkhold::test {
namespace {

// Items of a fixed shape, so that their encoded sizes can be worked out in advance.
PocketItem pdfItem(const QString& name, std::size_t bytes) {
    PocketItem item;
    item.id = QUuid::createUuid();
    item.name = name;
    item.kind = PocketItem::Kind::pdf;
    item.created = item.modified = Date::fromReferenceSeconds(1000);
    item.data = SecureBytes(bytes, 0x25);
    return item;
}

PocketItem noteItem(const QString& name, const QString& text) {
    PocketItem item = PocketItem::note(name, text, Date::fromReferenceSeconds(1000));
    return item;
}

// Files by path: a size to import, or a failure; panels answer from fields.
class ScriptedDocumentHost final : public PocketDocumentHost {
public:
    QMap<QString, std::size_t> sizes;
    std::optional<QString> exportAnswer;
    QStringList proposedNames;
    std::function<void()> whilePanelIsOpen;

    FileImport fileImport() const override {
        return [sizes = sizes](const QString& path, bool) {
            if (!sizes.contains(path))
                throw std::runtime_error(
                    QStringLiteral("“%1” can’t be added.").arg(QFileInfo(path).fileName()).toStdString());
            return pdfItem(QFileInfo(path).fileName(), sizes.value(path));
        };
    }
    std::optional<QString> chooseExportPath(const QString& proposedName, const QString&, const QString&) override {
        proposedNames.append(proposedName);
        if (whilePanelIsOpen)
            whilePanelIsOpen();
        return exportAnswer;
    }
    QStringList chooseFilesToAdd(const QString&, const QString&) override { return {}; }
};

class Document : public ::testing::Test {
protected:
    void watch(PocketDocument& document) {
        document.setOnChange([this] { ++changes; });
    }
    ScriptedDocumentHost host;
    int changes = 0;
};

TEST_F(Document, AddTakesWhatFitsInOrderAndNamesTheRest) {
    host.sizes = {{QStringLiteral("/in/first.pdf"), 1000},
                  {QStringLiteral("/in/second.pdf"), 5000},
                  {QStringLiteral("/in/third.pdf"), 1000}};
    const std::int64_t capacity =
        PocketPayload::sizeOf({pdfItem(QStringLiteral("first.pdf"), 1000), pdfItem(QStringLiteral("third.pdf"), 1000)});
    const std::int64_t leftAfterFirst = capacity - PocketPayload::sizeOf({pdfItem(QStringLiteral("first.pdf"), 1000)});
    PocketDocument document({}, capacity, &host);
    watch(document);
    document.setNotice(QStringLiteral("an earlier notice"));

    addAndWait(document,
               {QStringLiteral("/in/first.pdf"), QStringLiteral("/in/second.pdf"), QStringLiteral("/in/third.pdf")},
               true);
    ASSERT_EQ(document.items().size(), 2u);
    EXPECT_EQ(document.items()[0].name, QStringLiteral("first.pdf"));
    EXPECT_EQ(document.items()[1].name, QStringLiteral("third.pdf"));
    EXPECT_EQ(document.selection(), document.items()[1].id);
    EXPECT_EQ(changes, 1) << "one commit for the whole call";
    EXPECT_EQ(document.notice(),
              QStringLiteral("“second.pdf” doesn’t fit — %1 left.").arg(formatByteCount(leftAfterFirst)));
}

TEST_F(Document, AddOfOnlyFailingFilesCommitsNothing) {
    PocketDocument document({noteItem(QStringLiteral("n"), QStringLiteral("text"))}, 1 << 20, &host);
    watch(document);
    addAndWait(document, {QStringLiteral("/in/a.exe"), QStringLiteral("/in/b.exe")}, false);
    EXPECT_EQ(document.items().size(), 1u);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(document.notice(), QStringLiteral("“a.exe” can’t be added.\n“b.exe” can’t be added."));

    addAndWait(document, {}, false);
    EXPECT_FALSE(document.notice().has_value()) << "an add without problems clears the notice";
}

TEST_F(Document, CapacityIsAnInclusiveLimit) {
    host.sizes = {{QStringLiteral("/in/exact.pdf"), 4000}};
    const std::int64_t exact = PocketPayload::sizeOf({pdfItem(QStringLiteral("exact.pdf"), 4000)});
    PocketDocument tight({}, exact - 1, &host);
    addAndWait(tight, {QStringLiteral("/in/exact.pdf")}, false);
    EXPECT_TRUE(tight.items().empty());
    EXPECT_TRUE(tight.notice()->startsWith(QStringLiteral("“exact.pdf” doesn’t fit")));

    PocketDocument roomy({}, exact, &host);
    addAndWait(roomy, {QStringLiteral("/in/exact.pdf")}, false);
    EXPECT_EQ(roomy.items().size(), 1u);

    watch(roomy);
    roomy.addNote();
    EXPECT_EQ(roomy.items().size(), 1u);
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(roomy.notice()->startsWith(QStringLiteral("Not enough room — this needs ")));
    EXPECT_TRUE(roomy.notice()->endsWith(QStringLiteral(" of %1.").arg(formatByteCount(exact))));
}

TEST_F(Document, AnEditThatDoesNotFitLeavesTheItemAsItWas) {
    const PocketItem note = noteItem(QStringLiteral("Ideas"), QStringLiteral("short"));
    // Room for a slightly longer text and a later modification date, not for a hundred bytes more.
    PocketDocument document({note}, PocketPayload::sizeOf({note}) + 40, &host);
    watch(document);

    document.setText(note.id, QString(100, QLatin1Char('x')));
    document.rename(note.id, QString(100, QLatin1Char('n')));
    EXPECT_EQ(changes, 0);
    ASSERT_EQ(document.items().size(), 1u);
    EXPECT_EQ(document.items()[0], note);
    EXPECT_TRUE(document.notice()->startsWith(QStringLiteral("Not enough room — this needs ")));

    document.setText(note.id, QStringLiteral("shorter"));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(document.items()[0].text(), QStringLiteral("shorter"));
}

TEST_F(Document, UnchangedRenameOrTextIsNoEdit) {
    PocketItem note = noteItem(QStringLiteral("Ideas"), QStringLiteral("same"));
    PocketDocument document({note}, 1 << 20, &host);
    watch(document);
    document.rename(note.id, QStringLiteral("Ideas"));
    document.setText(note.id, QStringLiteral("same"));
    document.rename(QUuid::createUuid(), QStringLiteral("x"));
    EXPECT_EQ(changes, 0);
    document.setText(note.id, QStringLiteral("different"));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(document.items()[0].text(), QStringLiteral("different"));
    EXPECT_GT(document.items()[0].modified, note.modified);
}

TEST_F(Document, DeletingMovesTheSelection) {
    PocketItem a = noteItem(QStringLiteral("a"), {}), b = noteItem(QStringLiteral("b"), {}),
               c = noteItem(QStringLiteral("c"), {});
    PocketDocument document({a, b, c}, 1 << 20, &host);
    EXPECT_EQ(document.selection(), a.id);
    document.deleteItem(c.id);
    EXPECT_EQ(document.selection(), b.id);
    document.deleteItem(a.id);
    EXPECT_EQ(document.selection(), b.id);
    document.deleteItem(b.id);
    EXPECT_FALSE(document.selection().has_value());
}

TEST_F(Document, ExportProposesANameAndWritesAnUnencryptedCopy) {
    QTemporaryDir out;
    PocketItem note = noteItem(QStringLiteral("Ideas"), QStringLiteral("plain words"));
    PocketItem image = pdfItem(QStringLiteral("IMG_1.jpg"), 10);
    image.kind = PocketItem::Kind::image;
    PocketDocument document({note, image}, 1 << 20, &host);

    host.exportAnswer = out.filePath(QStringLiteral("Ideas.txt"));
    document.exportItem(note.id);
    document.exportItem(image.id);
    document.exportItem(QUuid::createUuid());
    EXPECT_EQ(host.proposedNames, QStringList({QStringLiteral("Ideas.txt"), QStringLiteral("IMG_1.jpg")}));
    QFile written(out.filePath(QStringLiteral("Ideas.txt")));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll().size(), 10) << "the later export replaced the earlier one";

    host.exportAnswer = out.filePath(QStringLiteral("no/such/folder/Ideas.txt"));
    document.exportItem(note.id);
    ASSERT_TRUE(document.notice().has_value());
    EXPECT_TRUE(document.notice()->startsWith(QStringLiteral("Could not export “Ideas”: ")));
}

TEST_F(Document, ExportOfAnItemGoneWhileThePanelWasOpenWritesNothing) {
    QTemporaryDir out;
    PocketItem note = noteItem(QStringLiteral("Ideas"), QStringLiteral("secret"));
    PocketDocument document({note}, 1 << 20, &host);
    host.exportAnswer = out.filePath(QStringLiteral("Ideas.txt"));
    host.whilePanelIsOpen = [&] { document.wipe(); }; // the vault locked meanwhile
    document.exportItem(note.id);
    EXPECT_FALSE(QFileInfo::exists(*host.exportAnswer));
}

TEST_F(Document, WipeForgetsItemsAndTheOwner) {
    PocketDocument document({noteItem(QStringLiteral("a"), QStringLiteral("secret"))}, 1 << 20, &host);
    watch(document);
    document.wipe();
    EXPECT_TRUE(document.items().empty());
    EXPECT_FALSE(document.selection().has_value());
    document.addNote();
    EXPECT_EQ(document.items().size(), 1u);
    EXPECT_EQ(changes, 0);
}

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        QDir().mkpath(folder());
        PocketStorage::Opened opened = PocketStorage::create(path(), 1, QStringLiteral("pw"), false);
        storage = opened.storage;
        session = std::make_unique<PocketSession>(id, storage, std::move(opened.items), storage->capacity());
        QObject::connect(session.get(), &PocketSession::savingChanged, [this](bool saving) {
            if (saving)
                ++savesStarted;
        });
    }
    QString folder() const { return dir.filePath(QStringLiteral("folder")); }
    QString path() const { return dir.filePath(QStringLiteral("folder/P.pocketvault")); }
    void pause(int ms) {
        QElapsedTimer timer;
        timer.start();
        waitUntil([&] { return timer.elapsed() >= ms; }, ms + 1000);
    }
    std::size_t itemsOnDisk() const { return PocketStorage::open(path(), QStringLiteral("pw"), false).items.size(); }

    QTemporaryDir dir;
    QUuid id = QUuid::createUuid();
    std::shared_ptr<PocketStorage> storage;
    std::unique_ptr<PocketSession> session;
    int savesStarted = 0;
};

// The debounce is checked on the timer itself: no event is processed between the edits, so a
// loaded machine cannot let the save start early.
TEST_F(Session, QuickEditsGiveOneSaveAfterTheLast) {
    session->document().addNote();
    ASSERT_TRUE(session->hasPendingSave());
    // Until part of the delay has gone by; the timer cannot fire meanwhile, since no event is
    // processed.
    QElapsedTimer elapsed;
    elapsed.start();
    while (session->saveDelayLeft() > 400 && elapsed.elapsed() < 60'000) {
    }
    const int leftAfterFirst = session->saveDelayLeft();
    ASSERT_LE(leftAfterFirst, 400);
    QElapsedTimer sinceLastEdit;
    sinceLastEdit.start();
    for (int i = 0; i < 4; ++i)
        session->document().addNote();
    // The timer was started again after `sinceLastEdit` began, however long the edits took (a
    // coarse timer may be up to 5 % early).
    const int left = session->saveDelayLeft();
    EXPECT_GE(left, 550 - int(sinceLastEdit.elapsed())) << "each edit starts the delay again";
    EXPECT_EQ(savesStarted, 0);

    ASSERT_TRUE(waitUntil([&] { return savesStarted == 1 && !session->saving(); }));
    EXPECT_GE(sinceLastEdit.elapsed(), 500) << "a coarse timer may fire a little early, never much";
    pause(800);
    EXPECT_EQ(savesStarted, 1);
    EXPECT_EQ(session->generation(), 5);
    EXPECT_EQ(storage->savedGeneration(), 5);
    EXPECT_EQ(itemsOnDisk(), 5u);
}

TEST_F(Session, EditDuringASaveGetsANewerSaveOfItsOwn) {
    bool editedDuringSave = false;
    QObject::connect(session.get(), &PocketSession::savingChanged, [&](bool saving) {
        if (saving && !editedDuringSave) {
            editedDuringSave = true;
            session->document().addNote();
        }
    });
    session->document().addNote();
    ASSERT_TRUE(waitUntil([&] { return savesStarted == 2 && !session->saving(); }));
    EXPECT_EQ(session->generation(), 2);
    EXPECT_EQ(storage->savedGeneration(), 2);
    EXPECT_EQ(itemsOnDisk(), 2u);
}

TEST_F(Session, FinishSavesAtOnceInsteadOfLater) {
    session->document().addNote();
    EXPECT_TRUE(session->hasPendingSave());
    EXPECT_TRUE(QCoro::waitFor(session->finish()));
    EXPECT_FALSE(session->hasPendingSave());
    EXPECT_EQ(savesStarted, 1);
    EXPECT_EQ(itemsOnDisk(), 1u);
    pause(800);
    EXPECT_EQ(savesStarted, 1);
}

TEST_F(Session, NeverEditedStillWritesOnFinish) {
    EXPECT_TRUE(QCoro::waitFor(session->finish()));
    EXPECT_EQ(storage->savedGeneration(), 0);
}

TEST_F(Session, FailedSaveIsReportedAndClearedByTheNextSuccess) {
    session->document().addNote();
    WriteFaultPlan fullDisk;
    fullDisk.failAfterBytes = 0;
    larkholdTestWriteFault = &fullDisk;
    EXPECT_FALSE(QCoro::waitFor(session->finish()));
    larkholdTestWriteFault = nullptr;
    ASSERT_TRUE(session->saveError().has_value());
    EXPECT_TRUE(session->saveError()->startsWith(QStringLiteral("Not saved: ")));
    EXPECT_FALSE(session->fileChangedElsewhere());
    EXPECT_FALSE(session->saving());
    EXPECT_EQ(session->document().items().size(), 1u) << "the edit is kept";

    EXPECT_TRUE(QCoro::waitFor(session->flush()));
    EXPECT_FALSE(session->saveError().has_value());
    EXPECT_EQ(itemsOnDisk(), 1u);
}

TEST_F(Session, AFileChangedElsewhereIsSaidSoAndACopyKeepsTheEdits) {
    session->document().addNote();
    ASSERT_TRUE(QCoro::waitFor(session->finish()));
    PocketStorage::open(path(), QStringLiteral("pw"), false).storage->save({}, 1);
    session->document().addNote();
    EXPECT_FALSE(QCoro::waitFor(session->finish()));
    EXPECT_EQ(session->saveError(),
              QStringLiteral("Not saved: ") + PocketVaultError::changedElsewhere().message());
    EXPECT_TRUE(session->fileChangedElsewhere());
    EXPECT_EQ(itemsOnDisk(), 0u) << "what the other side wrote stays";
    EXPECT_EQ(session->document().items().size(), 2u);

    const QString copy = dir.filePath(QStringLiteral("folder/P copy.pocketvault"));
    EXPECT_EQ(QCoro::waitFor(session->saveCopy(copy)), std::nullopt);
    EXPECT_EQ(PocketStorage::open(copy, QStringLiteral("pw"), false).items, session->document().items());
    EXPECT_TRUE(QCoro::waitFor(session->saveCopy(copy)).has_value()) << "a copy never replaces a file";
}

TEST_F(Session, AFileMovedAwayIsSaidSoAndNothingIsWrittenWhereItWas) {
    session->document().addNote();
    ASSERT_TRUE(QCoro::waitFor(session->finish()));
    const QString moved = dir.filePath(QStringLiteral("P.pocketvault"));
    ASSERT_TRUE(QFile::rename(path(), moved));
    session->document().addNote();
    EXPECT_FALSE(QCoro::waitFor(session->finish()));
    EXPECT_EQ(session->saveError(), QStringLiteral("Not saved: ") + PocketVaultError::movedElsewhere().message());
    EXPECT_TRUE(session->fileChangedElsewhere());
    EXPECT_FALSE(QFile::exists(path()));
    EXPECT_EQ(PocketStorage::open(moved, QStringLiteral("pw"), false).items.size(), 1u);

    const QString copy = dir.filePath(QStringLiteral("folder/P copy.pocketvault"));
    EXPECT_EQ(QCoro::waitFor(session->saveCopy(copy)), std::nullopt);
    EXPECT_EQ(PocketStorage::open(copy, QStringLiteral("pw"), false).items, session->document().items());
}

TEST_F(Session, DroppedWhileSavingEndsQuietly) {
    session->document().addNote();
    auto saving = session->finish();
    session.reset();
    EXPECT_TRUE(QCoro::waitFor(std::move(saving)));
    EXPECT_EQ(storage->savedGeneration(), 1);
}

class PocketInStore : public StoreFixture {
protected:
    void SetUp() override {
        p = pocketVault(QStringLiteral("P"), QStringLiteral("pw"));
        startStore();
    }
    PocketSession* session() const { return store->pocketSession(p.id); }
    Vault p;
};

TEST_F(PocketInStore, UnlockStartsASessionAndEditsCountAsUse) {
    ASSERT_TRUE(unlockWith(p, QStringLiteral("pw"), true));
    ASSERT_NE(session(), nullptr);
    EXPECT_EQ(host.shownPocketWindows, QList<QUuid>{p.id});
    EXPECT_EQ(activityTexts().first(), QStringLiteral("P unlocked · password"));
    EXPECT_EQ(store->sizesOnDisk().value(p.id), PocketPayload::sizeOf({}));
    EXPECT_EQ(store->vault(p.id)->lastOpenedAt, clock.now());
    EXPECT_EQ(secrets.saved(p.id), QStringLiteral("pw"));
    EXPECT_FALSE(store->isBusy(p.id));

    clock.advance(300);
    session()->document().addNote();
    EXPECT_EQ(store->unlockedAt().value(p.id), clock.now());
    EXPECT_EQ(store->sizesOnDisk().value(p.id), PocketPayload::sizeOf(session()->document().items()))
        << "an edit is measured as it is made";
    EXPECT_GT(store->sizesOnDisk().value(p.id), PocketPayload::sizeOf({}));

    // No longer listed: edits are still saved but no longer count as use.
    const Date before = clock.now();
    ASSERT_TRUE(store->removeVault(p.id));
    clock.advance(300);
    session()->document().addNote();
    EXPECT_EQ(store->unlockedAt().value(p.id), before);
    EXPECT_TRUE(session()->hasPendingSave());

    QCoro::waitFor(store->lockAll(true, LockReason::quit));
    EXPECT_EQ(session(), nullptr) << "lock-all reaches an open vault the list no longer names";
    EXPECT_EQ(PocketStorage::open(p.bundlePath, QStringLiteral("pw"), false).items.size(), 2u);
    EXPECT_EQ(activityTexts().first(), QStringLiteral("P locked (quit)"));
}

TEST_F(PocketInStore, WrongPasswordForgetsOnlyTheSavedPasswordThatFailed) {
    secrets.savePassword(QStringLiteral("pw"), p.id);
    EXPECT_FALSE(unlockWith(p, QStringLiteral("nope")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password for “P”."));
    EXPECT_EQ(secrets.saved(p.id), QStringLiteral("pw"));

    secrets.savePassword(QStringLiteral("stale"), p.id);
    store->clearErrorMessage();
    QCoro::waitFor(store->requestUnlock(p));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password for “P”."));
    EXPECT_FALSE(secrets.saved(p.id).has_value());
    EXPECT_EQ(session(), nullptr);
}

TEST_F(PocketInStore, OtherOpenFailureShowsItsTextAndKeepsTheSavedPassword) {
    QFile file(p.bundlePath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("not a vault");
    file.close();
    secrets.savePassword(QStringLiteral("pw"), p.id);
    QCoro::waitFor(store->requestUnlock(p));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("That file isn’t a Pocket Vault."));
    EXPECT_EQ(secrets.saved(p.id), QStringLiteral("pw"));
    EXPECT_FALSE(store->passwordPromptVault().has_value());
    EXPECT_EQ(session(), nullptr);
    EXPECT_FALSE(store->isBusy(p.id));
}

TEST_F(PocketInStore, EditDuringTheFinalSaveIsSavedBeforeTheItemsAreWiped) {
    ASSERT_TRUE(unlockWith(p, QStringLiteral("pw")));
    PocketSession* open = session();
    bool edited = false;
    QObject::connect(open, &PocketSession::savingChanged, [&](bool saving) {
        if (saving && !edited) {
            edited = true;
            open->document().addNote();
        }
    });
    QCoro::waitFor(store->lock(p, true, LockReason::automatic));
    EXPECT_TRUE(edited);
    EXPECT_EQ(session(), nullptr);
    EXPECT_EQ(PocketStorage::open(p.bundlePath, QStringLiteral("pw"), false).items.size(), 1u);
}

TEST_F(PocketInStore, TwoLocksAtOnceCloseTheVaultOnce) {
    ASSERT_TRUE(unlockWith(p, QStringLiteral("pw")));
    auto first = store->lock(p, false, LockReason::manual);
    auto second = store->lock(p, true, LockReason::quit);
    QCoro::waitFor(std::move(first));
    QCoro::waitFor(std::move(second));
    EXPECT_EQ(session(), nullptr);
    EXPECT_FALSE(store->isBusy(p.id));
    EXPECT_EQ(host.closedPocketWindows, QList<QUuid>{p.id});
    EXPECT_EQ(activityTexts().filter(QStringLiteral(" locked (")).size(), 1);
}

TEST_F(PocketInStore, FailedFinalSaveKeepsAManualLockOpenAndAQuietOneClosesAndWipes) {
    ASSERT_TRUE(unlockWith(p, QStringLiteral("pw")));
    session()->document().addNote();
    WriteFaultPlan fullDisk;
    fullDisk.failAfterBytes = 0;
    larkholdTestWriteFault = &fullDisk;
    struct Lift {
        ~Lift() { larkholdTestWriteFault = nullptr; }
    } lift;

    QCoro::waitFor(store->lock(p, false, LockReason::manual));
    ASSERT_NE(session(), nullptr);
    EXPECT_TRUE(
        store->errorMessage().startsWith(QStringLiteral("“P” could not be saved, so it stays open. Not saved: ")));
    EXPECT_EQ(store->errorMessage(),
              QStringLiteral("“P” could not be saved, so it stays open. ") + *session()->saveError());
    EXPECT_TRUE(host.closedPocketWindows.isEmpty());
    EXPECT_EQ(session()->document().items().size(), 1u);
    EXPECT_TRUE(store->unlockedAt().contains(p.id));
    EXPECT_FALSE(store->isBusy(p.id));

    std::shared_ptr<PocketSession> held = store->pocketSessions().value(p.id);
    QCoro::waitFor(store->lockAll(true, LockReason::panicShortcut));
    EXPECT_EQ(session(), nullptr);
    EXPECT_TRUE(held->document().items().empty());
    EXPECT_FALSE(held->hasPendingSave());
    EXPECT_EQ(host.closedPocketWindows, QList<QUuid>{p.id});
    EXPECT_EQ(store->sizesOnDisk().value(p.id), 0);
    EXPECT_FALSE(store->unlockedAt().contains(p.id));
    // The edits that were lost are not lost silently.
    ASSERT_GE(activityTexts().size(), 2);
    EXPECT_EQ(activityTexts()[1], QStringLiteral("P locked (panic shortcut)"));
    EXPECT_EQ(activityTexts()[0], QStringLiteral("“P” was closed without saving its last changes. ") +
                                      held->saveError().value_or(QStringLiteral("(no save error)")));
    EXPECT_TRUE(activityTexts()[0].contains(QStringLiteral("Not saved: ")));
}

// The vault's file changed elsewhere: a manual lock says how to keep the edits and locks once a copy
// holds them; a lock that asks nobody writes that copy beside the file and says where.
TEST_F(PocketInStore, AfterAChangeElsewhereACopyLetsTheVaultLockAndAQuietLockWritesOne) {
    const QString theirs = dir.filePath(QStringLiteral("theirs.pocketvault"));
    const auto changeElsewhere = [&] {
        PocketStorage::create(theirs, 1, QStringLiteral("theirs"), false);
        ASSERT_TRUE(QFile::remove(p.bundlePath));
        ASSERT_TRUE(QFile::rename(theirs, p.bundlePath));
    };
    // Their version opens with their password only; each round starts from a vault of ours again.
    const auto freshVault = [&] {
        ASSERT_TRUE(QFile::remove(p.bundlePath));
        PocketStorage::create(p.bundlePath, 1, QStringLiteral("pw"), false);
    };
    ASSERT_TRUE(unlockWith(p, QStringLiteral("pw")));
    changeElsewhere();
    session()->document().addNote();
    QList<QUuid> asked;
    QObject::connect(store.get(), &VaultStore::pocketEditsUnkept, [&](const QUuid& id) { asked.append(id); });
    const StoreOutcome refused = QCoro::waitFor(store->lock(p, false, LockReason::manual));
    ASSERT_NE(session(), nullptr);
    EXPECT_EQ(refused.message, QStringLiteral("“P” stays open: its file was changed elsewhere, so these edits are "
                                              "not saved. Choose Save a Copy… in its window to keep them."));
    EXPECT_EQ(asked, QList<QUuid>{p.id}) << "the vault's window asks, once";
    EXPECT_TRUE(store->errorMessage().isEmpty());
    const QString copy = dir.filePath(QStringLiteral("vaults/P copy.pocketvault"));
    ASSERT_EQ(QCoro::waitFor(session()->saveCopy(copy)), std::nullopt);
    QCoro::waitFor(store->lock(p, false, LockReason::manual));
    EXPECT_EQ(session(), nullptr) << "the copy holds the edits";
    EXPECT_EQ(PocketStorage::open(copy, QStringLiteral("pw"), false).items.size(), 1u);
    EXPECT_TRUE(PocketStorage::open(p.bundlePath, QStringLiteral("theirs"), false).items.empty());

    // Locked without these edits, as the user chose: nothing is written anywhere.
    freshVault();
    ASSERT_TRUE(unlockWith(p, QStringLiteral("pw")));
    changeElsewhere();
    session()->document().addNote();
    QCoro::waitFor(store->lock(p, false, LockReason::manual));
    ASSERT_NE(session(), nullptr);
    session()->letEditsGo();
    QCoro::waitFor(store->lock(p, false, LockReason::manual));
    EXPECT_EQ(session(), nullptr);
    EXPECT_EQ(QDir(dir.filePath(QStringLiteral("vaults"))).entryList(QDir::Files | QDir::Hidden).size(), 2);

    // Quit: a copy beside the file, under a name that replaces nothing.
    const QString taken = dir.filePath(QStringLiteral("vaults/P (unsaved changes).pocketvault"));
    ASSERT_TRUE(QFile(taken).open(QIODevice::WriteOnly));
    freshVault();
    ASSERT_TRUE(unlockWith(p, QStringLiteral("pw")));
    changeElsewhere();
    session()->document().addNote();
    session()->document().addNote();
    QCoro::waitFor(store->lockAll(true, LockReason::quit));
    EXPECT_EQ(session(), nullptr);
    const QString kept = dir.filePath(QStringLiteral("vaults/P (unsaved changes 2).pocketvault"));
    EXPECT_EQ(PocketStorage::open(kept, QStringLiteral("pw"), false).items.size(), 2u);
    EXPECT_EQ(QFileInfo(taken).size(), 0);
    const QString notice =
        QStringLiteral("“P” was changed elsewhere; its last changes were kept in a new copy: ") + kept;
    EXPECT_EQ(activityTexts()[0], notice);
    // The next start says where, once.
    store.reset();
    EXPECT_EQ(startStore().errorMessage(), notice);
    store.reset();
    EXPECT_TRUE(startStore().errorMessage().isEmpty());
}

TEST_F(PocketInStore, ManualLockSavesClosesAndMeasuresZero) {
    ASSERT_TRUE(unlockWith(p, QStringLiteral("pw")));
    session()->document().addNote();
    QCoro::waitFor(store->lock(p, false, LockReason::manual));
    EXPECT_EQ(session(), nullptr);
    EXPECT_TRUE(store->errorMessage().isEmpty());
    EXPECT_EQ(store->sizesOnDisk().value(p.id), 0);
    EXPECT_EQ(PocketStorage::open(p.bundlePath, QStringLiteral("pw"), false).items.size(), 1u);
}

TEST_F(PocketInStore, SecondPasswordSetupAsksFirst) {
    store->requestSecondPasswordSetup(p);
    EXPECT_TRUE(host.alerts.isEmpty()) << "nothing for a locked vault";

    ASSERT_TRUE(unlockWith(p, QStringLiteral("pw")));
    host.alertAnswers = {1};
    store->requestSecondPasswordSetup(p);
    ASSERT_EQ(host.alerts.size(), 1);
    EXPECT_EQ(host.alerts[0].message, QStringLiteral("Add a second password to “P”?"));
    EXPECT_EQ(host.alerts[0].buttons, QStringList({QStringLiteral("Continue"), QStringLiteral("Cancel")}));
    EXPECT_FALSE(session()->secondPasswordRequested());
    EXPECT_EQ(host.shownPocketWindows.size(), 1);

    host.alertAnswers = {0};
    store->requestSecondPasswordSetup(p);
    EXPECT_TRUE(session()->secondPasswordRequested());
    EXPECT_EQ(host.shownPocketWindows.size(), 2);
    QCoro::waitFor(store->lockAll(true, LockReason::quit));
}

TEST_F(PocketInStore, LockAllWhileTheKeyIsDerivedNeverOpensTheVault) {
    bool unlocked = false;
    auto unlocking = [&]() -> QCoro::Task<> {
        auto opening = store->unlock(p, QStringLiteral("pw"), true, UnlockMethod::password);
        const bool opened = co_await opening;
        EXPECT_FALSE(opened);
        unlocked = true;
    };
    unlocking();
    ASSERT_TRUE(store->unlockUnderWay());
    // Lock-all need not wait for it: the unlock opens nothing once lock-all has begun.
    QCoro::waitFor(store->lockAll(true, LockReason::sleep));
    ASSERT_TRUE(waitUntil([&] { return unlocked; }));

    EXPECT_EQ(session(), nullptr);
    EXPECT_TRUE(host.shownPocketWindows.isEmpty()) << "no window flashes up";
    EXPECT_TRUE(store->activity().isEmpty());
    EXPECT_FALSE(store->isBusy(p.id));
    EXPECT_TRUE(store->errorMessage().isEmpty());
}

// Two prompts answered while the password changes: the change reported as done must hold.
TEST_F(PocketInStore, UnlockWhileThePasswordChangesIsRefused) {
    auto changing = store->changePassword(p, QStringLiteral("pw"), QStringLiteral("new"));
    EXPECT_FALSE(unlockWith(p, QStringLiteral("pw")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wait until “P” is no longer busy, then unlock it."));
    EXPECT_EQ(session(), nullptr);
    const StoreOutcome changed = QCoro::waitFor(std::move(changing));
    EXPECT_TRUE(changed.ok) << changed.message.toStdString();

    store->clearErrorMessage();
    EXPECT_FALSE(unlockWith(p, QStringLiteral("pw")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password for “P”."));
    EXPECT_TRUE(unlockWith(p, QStringLiteral("new")));
    QCoro::waitFor(store->lockAll(true, LockReason::quit));
}

} // namespace
} // namespace larkhold::test
