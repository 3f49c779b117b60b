#include "AtomicFile.h"
#include "PocketDocument.h"
#include "PocketEditor.h"
#include "PocketItemListModel.h"
#include "PocketPanels.h"
#include "PocketPayload.h"
#include "PocketTestSupport.h"
#include "PocketVaultError.h"
#include "PocketVaultModel.h"
#include "PocketViewers.h"
#include "PocketWindows.h"
#include "SecondPasswordDialog.h"
#include "SecretText.h"
#include "Theme.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QRandomGenerator>
#include <QTest>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace larkhold::test {
namespace {

// The application's side of the store as far as the Pocket windows go: it shows and closes them.
class WindowHost final : public StoreHost {
public:
    QList<StoreAlert> alerts;
    QList<int> alertAnswers;

    void presentWaiting(const Vault&) override {}
    void presentRelocated(const Vault&) override {}
    void showPocketWindow(PocketSession& session, const Vault& vault) override { PocketWindows::show(session, vault); }
    void closePocketWindow(const QUuid& id) override { PocketWindows::close(id); }
    int runAlert(const StoreAlert& alert) override {
        alerts.append(alert);
        return alertAnswers.isEmpty() ? -1 : alertAnswers.takeFirst();
    }
    void openFolder(const QString&) override {}
};

// Records links the desktop would be asked to open.
class LinkRecorder : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

class PocketWindowTest : public PocketFixture {
protected:
    PocketWindowTest() { PocketWindows::setDependencies({nullptr, &secrets, &defaults, &importer}); }
    ~PocketWindowTest() override {
        for (const QUuid& id : PocketWindows::openWindows())
            PocketWindows::close(id);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Opens the vault through the store, which shows its window through the host.
    PocketWindow* openWindow(const QString& name = QStringLiteral("Travel")) {
        pocket = pocketVault(name, QStringLiteral("correct horse"));
        pocketPassword = QStringLiteral("correct horse");
        VaultStoreDeps deps = storeDeps();
        deps.startTimers = false;
        deps.documentHost = &importer;
        deps.host = &windowHost;
        QDir().mkpath(dataFolder());
        EXPECT_FALSE(VaultList(dataFolder()).save(listed).has_value());
        store = std::make_unique<TestStore>(deps);
        VaultStore::setShared(store.get());
        PocketWindows::setDependencies({store.get(), &secrets, &defaults, &importer});
        EXPECT_TRUE(unlockWith(pocket, pocketPassword));
        PocketWindow* window = PocketWindows::window(pocket.id);
        EXPECT_NE(window, nullptr);
        if (window) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(window, 60000));
        }
        return window;
    }

    PocketSession& session() { return *store->pocketSession(pocket.id); }
    PocketDocument& document() { return session().document(); }

    // Waits until the session has written everything edited so far.
    bool savedEverything() {
        return eventually([&] {
            return !session().hasPendingSave() && !session().saving() &&
                   session().storage()->savedGeneration() >= session().generation();
        });
    }

    static void drop(QWidget* target, const QList<QUrl>& urls) {
        auto* mime = new QMimeData;
        mime->setUrls(urls);
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QDropEvent dropped(QPointF(at), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &dropped);
        delete mime;
        // The files are read off the GUI thread; the tests look at what they became.
        for (QWidget* widget = target; widget; widget = widget->parentWidget()) {
            if (auto* editor = qobject_cast<PocketEditor*>(widget)) {
                EXPECT_TRUE(eventually([editor] { return editor->model().document()->importsUnderWay() == 0; }));
            }
        }
    }

    void select(PocketEditor* editor, int row) { editor->itemList()->setCurrentIndex(editor->itemModel()->index(row)); }

    WindowHost windowHost;
};

TEST_F(PocketWindowTest, ANoteTypedIsSavedAfterThePause) {
    PocketWindow* window = openWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Travel"));
    PocketEditor* editor = window->editor();
    EXPECT_TRUE(editor->showsDropHint());
    EXPECT_EQ(editor->placeholderText(), QStringLiteral("Nothing here yet"));

    QTest::mouseClick(editor->newNoteButton(), Qt::LeftButton);
    ASSERT_EQ(document().items().size(), 1u);
    EXPECT_EQ(editor->nameField()->text(), QStringLiteral("New Note"));
    EXPECT_FALSE(editor->showsDropHint());
    editor->nameField()->selectAll();
    QTest::keyClicks(editor->nameField(), QStringLiteral("Packing list"));
    QTest::keyClicks(editor->noteView(), QStringLiteral("Passport, tickets, charger."));
    EXPECT_EQ(document().items().front().text(), QStringLiteral("Passport, tickets, charger."));
    EXPECT_EQ(editor->itemModel()->index(0).data().toString(), QStringLiteral("Packing list"));
    EXPECT_EQ(window->saveStateLabel()->text(),
              session().saving() ? QStringLiteral("Saving…") : QStringLiteral("Saved"));

    ASSERT_TRUE(savedEverything());
    EXPECT_EQ(window->saveStateLabel()->text(), QStringLiteral("Saved"));
    const PocketItems onDisk = itemsOnDisk(pocketPassword);
    ASSERT_EQ(onDisk.size(), 1u);
    EXPECT_EQ(onDisk.front().name, QStringLiteral("Packing list"));
    EXPECT_EQ(onDisk.front().text(), QStringLiteral("Passport, tickets, charger."));
}

TEST_F(PocketWindowTest, DroppedPhotosAndPdfsShowAndExport) {
    PocketWindow* window = openWindow();
    PocketEditor* editor = window->editor();
    const QString jpeg = inputFile(QStringLiteral("Beach.jpg"), encodedPicture(testPicture(120, 80), "jpeg"));
    const QString png = inputFile(QStringLiteral("Map.png"), encodedPicture(testPicture(90, 90, Qt::darkGreen), "png"));
    const QString heic = inputFile(QStringLiteral("Harbour.heic"), heicOf(testPicture(64, 48, Qt::darkRed)));
    const QString pdf = inputFile(QStringLiteral("Ticket.pdf"), testPdf());
    drop(editor->itemList()->viewport(),
         {QUrl::fromLocalFile(jpeg), QUrl::fromLocalFile(png), QUrl::fromLocalFile(heic), QUrl::fromLocalFile(pdf),
          QUrl(QStringLiteral("https://example.org/x.jpg"))});
    ASSERT_EQ(document().items().size(), 4u) << document().notice().value_or(QString()).toStdString();
    EXPECT_FALSE(document().notice().has_value());
    EXPECT_EQ(document().selection(), document().items().back().id) << "the last file taken is selected";

    QTemporaryDir out;
    for (int row = 0; row < 4; ++row) {
        select(editor, row);
        const PocketItem& item = document().items()[std::size_t(row)];
        if (item.kind == PocketItem::Kind::image) {
            EXPECT_TRUE(eventually([&] { return !editor->imageView()->isDecoding(); }));
            EXPECT_TRUE(editor->imageView()->hasImage()) << item.name.toStdString();
            EXPECT_TRUE(editor->imageView()->isVisible());
        } else {
            EXPECT_EQ(item.kind, PocketItem::Kind::pdf);
            const PdfRenderer& renderer = editor->pdfView()->renderer();
            ASSERT_TRUE(eventually([&] { return renderer.state() != PdfRenderer::State::loading; }));
            EXPECT_EQ(renderer.state(), PdfRenderer::State::ready);
            EXPECT_EQ(renderer.pageSizes().size(), 1);
        }
        const QString target = out.filePath(QStringLiteral("export-%1").arg(row));
        PocketPanels::answerNextPanel(QStringList{target});
        QTest::mouseClick(editor->exportButton(), Qt::LeftButton);
        ASSERT_TRUE(eventually([&] { return QFileInfo::exists(target); }));
        EXPECT_EQ(readFile(target), bytesOf(item));
    }
    EXPECT_EQ(document().items()[2].name, QStringLiteral("Harbour.jpg")) << "optimised photos are kept as JPEG";
}

TEST_F(PocketWindowTest, TheExportPanelAsksBeforeReplacingAndWarns) {
    PocketWindow* window = openWindow();
    QFileDialog* panel = PocketPanels::makeExportPanel(window, QStringLiteral("Ideas.txt"));
    EXPECT_EQ(panel->directory().absolutePath(), QFileInfo(pocket.bundlePath).absolutePath())
        << "a first export opens in the vault's folder, not the program's working folder";
    EXPECT_EQ(panel->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(panel->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(panel->selectedFiles().value(0).section(QLatin1Char('/'), -1), QStringLiteral("Ideas.txt"));
    auto* message = panel->findChild<QLabel*>(QStringLiteral("panelMessage"));
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->text(),
              QStringLiteral("The exported copy is not encrypted and can leave traces on this computer."));
    delete panel;

    // A cancelled panel exports nothing.
    QTest::mouseClick(window->editor()->newNoteButton(), Qt::LeftButton);
    PocketPanels::answerNextPanel(std::nullopt);
    QTest::mouseClick(window->editor()->exportButton(), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_FALSE(document().notice().has_value());
}

TEST_F(PocketWindowTest, AKeyboardUserWritesInTheNewNoteAndLeavesItWithControlTab) {
    PocketWindow* window = openWindow();
    PocketEditor* editor = window->editor();
    editor->newNoteButton()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(editor->newNoteButton(), Qt::Key_Space);
    ASSERT_EQ(document().items().size(), 1u);
    EXPECT_EQ(window->focusWidget(), editor->noteView()) << "the next Space would make another empty note";
    QTest::keyClicks(window->focusWidget(), QStringLiteral("a b"));
    QTest::keyClick(window->focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(window->focusWidget(), editor->noteView()) << "Tab types a tab, as in other editors";
    QTest::keyClick(window->focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_NE(window->focusWidget(), editor->noteView());
    EXPECT_EQ(document().items().front().text(), QStringLiteral("a b\t"));
    editor->noteView()->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(editor->noteView(), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_NE(window->focusWidget(), editor->noteView());
    EXPECT_EQ(document().items().front().text(), QStringLiteral("a b\t"));
}

// Counts the UTF-16 copies of `needle` in the process's writable memory, the needle's own among them.
int copiesInMemory(const QString& needle) {
    const QByteArrayView pattern(reinterpret_cast<const char*>(needle.constData()), needle.size() * 2);
    QFile maps(QStringLiteral("/proc/self/maps"));
    const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (!maps.open(QIODevice::ReadOnly) || mem < 0)
        return -1;
    int found = 0;
    // Read into mappings made after the list was read, so that no region holds what was read before.
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2 || !fields[1].startsWith("rw"))
            continue;
        const QList<QByteArray> range = fields[0].split('-');
        const std::size_t size = range[1].toULongLong(nullptr, 16) - range[0].toULongLong(nullptr, 16);
        if (size > (std::size_t(1) << 31))
            continue;
        void* copy = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (copy == MAP_FAILED)
            continue;
        const ssize_t got = ::pread(mem, copy, size, off_t(range[0].toULongLong(nullptr, 16)));
        const QByteArrayView read(static_cast<const char*>(copy), got > 0 ? got : 0);
        for (qsizetype at = 0; (at = read.indexOf(pattern, at)) >= 0; ++at)
            ++found;
        ::munmap(copy, size);
    }
    ::close(mem);
    return found;
}

TEST_F(PocketWindowTest, ANotesTextIsNotLeftInMemoryAfterTheLock) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine, where nothing is wiped";
#endif
    PocketWindow* window = openWindow();
    QTest::mouseClick(window->editor()->newNoteButton(), Qt::LeftButton);
    // Made up at run time, so that no copy is in the program; the test's own is the one copy expected.
    const QString marker = QStringLiteral("m4rk") +
                           QString::number(QRandomGenerator::global()->generate64(), 36) + QStringLiteral("qz");
    QTest::keyClicks(window->editor()->noteView(), marker);
    // Selected with the mouse, as a user copies it: the desktop's selection clipboard is given it.
    QWidget* page = window->editor()->noteView()->viewport();
    QTest::mouseDClick(page, Qt::LeftButton, {}, QPoint(20, 14));
    ASSERT_GE(copiesInMemory(marker), 2) << "the look finds the note's own copy";
    const QPointer<PocketWindow> watched(window);
    QTest::mouseClick(window->lockButton(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return !store->isUnlocked(pocket.id) && watched.isNull(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(copiesInMemory(marker), 1) << "copies of the note's text besides the test's own";
}

TEST_F(PocketWindowTest, AddFilesTakesWhatThePanelGives) {
    PocketWindow* window = openWindow();
    QFileDialog* panel = PocketPanels::makeAddPanel(window);
    EXPECT_EQ(panel->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_EQ(panel->findChild<QLabel*>(QStringLiteral("panelMessage"))->text(),
              QStringLiteral("Notes (text files), photos (JPEG, PNG, HEIC) and PDFs — up to 5 MB each"));
    delete panel;

    PocketPanels::answerNextPanel(QStringList{inputFile(QStringLiteral("a.txt"), "The first of two notes."),
                                              inputFile(QStringLiteral("b.pdf"), testPdf())});
    QTest::mouseClick(window->editor()->addFilesButton(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return document().items().size() == 2; }));
    EXPECT_EQ(document().items()[0].name, QStringLiteral("a"));
    EXPECT_EQ(document().items()[1].name, QStringLiteral("b.pdf"));
}

TEST_F(PocketWindowTest, LockingClosesTheWindowAndEmptiesTheDocument) {
    PocketWindow* window = openWindow();
    QTest::mouseClick(window->editor()->newNoteButton(), Qt::LeftButton);
    QTest::keyClicks(window->editor()->noteView(), QStringLiteral("before the lock"));
    const std::shared_ptr<PocketSession> held = store->pocketSessions().value(pocket.id);
    const QPointer<PocketWindow> watched(window);

    QTest::mouseClick(window->lockButton(), Qt::LeftButton);
    // The last save is under way: nothing typed now could be saved, so nothing can be typed.
    ASSERT_TRUE(store->isBusy(pocket.id));
    EXPECT_TRUE(window->editor()->noteView()->isReadOnly());
    QTest::keyClicks(window->editor()->noteView(), QStringLiteral(" and during it"));
    EXPECT_EQ(held->document().items().front().text(), QStringLiteral("before the lock"));

    ASSERT_TRUE(eventually([&] { return !store->isUnlocked(pocket.id); }));
    EXPECT_TRUE(held->document().items().empty());
    EXPECT_FALSE(PocketWindows::window(pocket.id));
    EXPECT_TRUE(eventually([&] { return watched.isNull(); }));
    EXPECT_EQ(itemsOnDisk(pocketPassword).front().text(), QStringLiteral("before the lock"));
}

TEST_F(PocketWindowTest, TheCloseBoxLocksAndAFailedSaveKeepsTheWindow) {
    PocketWindow* window = openWindow();
    QTest::mouseClick(window->editor()->newNoteButton(), Qt::LeftButton);
    WriteFaultPlan plan;
    plan.failAfterBytes = 0;
    larkholdTestWriteFault = &plan;
    window->close();
    ASSERT_TRUE(eventually([&] { return !store->isBusy(pocket.id); }));
    larkholdTestWriteFault = nullptr;

    EXPECT_TRUE(store->isUnlocked(pocket.id));
    ASSERT_EQ(PocketWindows::window(pocket.id), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->editor()->noteView()->isReadOnly()) << "editable again once the lock gave up";
    EXPECT_TRUE(window->saveStateLabel()->text().startsWith(QStringLiteral("Not saved: ")));
    auto* failure = window->findChild<QMessageBox*>(QStringLiteral("lockFailure"));
    ASSERT_NE(failure, nullptr);
    EXPECT_TRUE(failure->text().startsWith(QStringLiteral("“Travel” could not be saved, so it stays open. ")));
    failure->close();

    window->close();
    EXPECT_TRUE(eventually([&] { return !store->isUnlocked(pocket.id); }));
    EXPECT_EQ(itemsOnDisk(pocketPassword).size(), 1u);
}

TEST_F(PocketWindowTest, AFileChangedElsewhereIsNotSavedOverAndACopyKeepsTheEdits) {
    PocketWindow* window = openWindow();
    EXPECT_FALSE(window->saveCopyButton()->isVisible());
    PocketStorage::open(pocket.bundlePath, pocketPassword, false).storage->save({}, 1);
    const std::vector<std::uint8_t> theirs = readWholeFile(pocket.bundlePath);
    QTest::mouseClick(window->editor()->newNoteButton(), Qt::LeftButton);
    EXPECT_FALSE(QCoro::waitFor(session().flush()));
    EXPECT_EQ(window->saveStateLabel()->text(),
              QStringLiteral("Not saved: ") + PocketVaultError::changedElsewhere().message());
    // Its last words say what to do: the footer shows the sentence whole.
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->saveStateLabel()->isElided());
    EXPECT_EQ(readWholeFile(pocket.bundlePath), theirs);
    ASSERT_TRUE(window->saveCopyButton()->isVisible());

    const QString copy = dir.filePath(QStringLiteral("Travel copy.pocketvault"));
    PocketPanels::answerNextPanel(QStringList{copy});
    QTest::mouseClick(window->saveCopyButton(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return QFileInfo::exists(copy); }));
    EXPECT_EQ(PocketStorage::open(copy, pocketPassword, false).items, document().items());
    EXPECT_EQ(PocketWindows::window(pocket.id), window) << "the vault stays open";
}

TEST_F(PocketWindowTest, TheNoticeAndASaveErrorShowTogether) {
    PocketWindow* window = openWindow();
    WriteFaultPlan plan;
    plan.failAfterBytes = 0;
    larkholdTestWriteFault = &plan;
    QTest::mouseClick(window->editor()->newNoteButton(), Qt::LeftButton);
    EXPECT_FALSE(QCoro::waitFor(session().flush()));
    larkholdTestWriteFault = nullptr;
    drop(window->editor()->itemList()->viewport(),
         {QUrl::fromLocalFile(inputFile(QStringLiteral("tool.bin"), QByteArray("\x00\x01", 2)))});

    EXPECT_TRUE(window->editor()->noticeBanner()->isVisible());
    EXPECT_TRUE(window->editor()->noticeLabel()->text().startsWith(QStringLiteral("“tool.bin” can’t be added")));
    EXPECT_TRUE(window->saveStateLabel()->isVisible());
    EXPECT_TRUE(window->saveStateLabel()->text().startsWith(QStringLiteral("Not saved: ")));

    QTest::mouseClick(window->editor()->findChild<QWidget*>(QStringLiteral("dismissNotice")), Qt::LeftButton);
    EXPECT_FALSE(window->editor()->noticeBanner()->isVisible());
    EXPECT_TRUE(window->saveStateLabel()->text().startsWith(QStringLiteral("Not saved: ")));
}

TEST_F(PocketWindowTest, DeletingAsksFirst) {
    PocketWindow* window = openWindow();
    PocketEditor* editor = window->editor();
    QTest::mouseClick(editor->newNoteButton(), Qt::LeftButton);
    editor->nameField()->selectAll();
    QTest::keyClick(editor->nameField(), Qt::Key_Backspace);
    ASSERT_EQ(document().items().front().name, QString());
    EXPECT_EQ(editor->itemModel()->index(0).data().toString(), QStringLiteral("Untitled"));

    QTest::mouseClick(editor->deleteButton(), Qt::LeftButton);
    QMessageBox* question = editor->openQuestion();
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), QStringLiteral("Delete “Untitled”?"));
    EXPECT_EQ(question->informativeText(), QStringLiteral("It is removed from the vault. This can’t be undone."));
    for (QAbstractButton* button : question->buttons())
        if (button->text() == QStringLiteral("Cancel"))
            QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(document().items().size(), 1u);

    QTest::mouseClick(editor->deleteButton(), Qt::LeftButton);
    question = editor->openQuestion();
    ASSERT_NE(question, nullptr);
    for (QAbstractButton* button : question->buttons())
        if (button->text() == QStringLiteral("Delete"))
            QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_TRUE(document().items().empty());
    EXPECT_EQ(editor->placeholderText(), QStringLiteral("Nothing here yet"));
}

TEST_F(PocketWindowTest, AnItemNamedInMarkupIsAskedAboutAsText) {
    PocketWindow* window = openWindow();
    PocketEditor* editor = window->editor();
    QTest::mouseClick(editor->newNoteButton(), Qt::LeftButton);
    editor->nameField()->selectAll();
    QTest::keyClicks(editor->nameField(), QStringLiteral("<h1>Taxes</h1><font color=\"#ffffff\">"));
    QTest::mouseClick(editor->deleteButton(), Qt::LeftButton);
    QMessageBox* question = editor->openQuestion();
    ASSERT_NE(question, nullptr);
    for (QLabel* label : question->findChildren<QLabel*>()) {
        if (label->text().contains(QStringLiteral("Taxes"))) {
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
        }
    }
    question->reject();
}

TEST_F(PocketWindowTest, WipingLetsGoOfEveryShownCopy) {
    PocketWindow* window = openWindow();
    PocketEditor* editor = window->editor();
    addAndWait(document(),
               {inputFile(QStringLiteral("Ticket.pdf"), testPdf()),
                inputFile(QStringLiteral("Beach.png"), encodedPicture(testPicture(40, 30), "png"))},
               false);
    select(editor, 0);
    ASSERT_TRUE(eventually([&] { return editor->pdfView()->renderer().state() == PdfRenderer::State::ready; }));
    select(editor, 1);
    ASSERT_TRUE(eventually([&] { return editor->imageView()->hasImage(); }));
    EXPECT_EQ(editor->pdfView()->renderer().state(), PdfRenderer::State::empty) << "a viewer not shown holds nothing";
    EXPECT_EQ(editor->pdfView()->pagesDrawn(), 0);
    window->wipe();
    EXPECT_FALSE(editor->imageView()->hasImage());
    EXPECT_EQ(editor->pdfView()->renderer().state(), PdfRenderer::State::empty);
    EXPECT_TRUE(editor->noteView()->toPlainText().isEmpty());
}

TEST_F(PocketWindowTest, LockingTakesBackWhatWasCopied) {
    PocketWindow* window = openWindow();
    QTest::mouseClick(window->editor()->newNoteButton(), Qt::LeftButton);
    NoteView* note = window->editor()->noteView();
    QTest::keyClicks(note, QStringLiteral("the safe code is 4711"));
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window, 60000));
    note->setFocus();
    note->selectAll();
    note->copy();
    ASSERT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("the safe code is 4711"));
    QCoro::waitFor(store->lock(pocket, true, LockReason::automatic));
    EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());

    // Something copied elsewhere afterwards is not touched by a later lock.
    QGuiApplication::clipboard()->setText(QStringLiteral("from another program"));
    ASSERT_TRUE(unlockWith(pocket, pocketPassword));
    QCoro::waitFor(store->lock(pocket, true, LockReason::automatic));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("from another program"));
}

TEST_F(PocketWindowTest, LinksInAPdfOpenNothing) {
    LinkRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &recorder, "open");
    PocketWindow* window = openWindow();
    addAndWait(document(), {inputFile(QStringLiteral("Linked.pdf"), testPdf("Visit us", "https://example.org/"))},
               false);
    PdfItemView* view = window->editor()->pdfView();
    ASSERT_TRUE(eventually([&] { return view->pagesDrawn() == 1; }));
    for (const QPoint at : {view->viewport()->rect().center(), QPoint(40, 40), QPoint(80, 30)}) {
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    }
    QCoreApplication::processEvents();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("mailto"));
    EXPECT_TRUE(recorder.opened.isEmpty());
}

// A PDF on which the PDF library never ends, and one that grows it by gigabytes: the window stays
// usable and a lock ends the drawing at once.
TEST_F(PocketWindowTest, APdfThatHangsOrFloodsThePdfLibraryHoldsNothingUp) {
    openWindow();
    for (const QByteArray& bytes : {selfListingPdf(), nestedFormsPdf()}) {
        QCoro::waitFor(store->lock(pocket, true, LockReason::automatic));
        PocketItem hostile = PocketItem::note(QStringLiteral("Hostile.pdf"), QString(), Date::now());
        hostile.kind = PocketItem::Kind::pdf;
        hostile.data = SecureBytes(bytes.begin(), bytes.end());
        PocketStorage::open(pocket.bundlePath, pocketPassword, false).storage->save({hostile}, 1);

        ASSERT_TRUE(unlockWith(pocket, pocketPassword));
        PocketWindow* window = PocketWindows::window(pocket.id);
        ASSERT_NE(window, nullptr);
        const PdfRenderer& renderer = window->editor()->pdfView()->renderer();
        ASSERT_TRUE(eventually([] { return !pdfRenderers().isEmpty(); }));
        EXPECT_NE(renderer.state(), PdfRenderer::State::empty);
        QCoro::waitFor(store->lock(pocket, true, LockReason::automatic));
        EXPECT_EQ(PocketWindows::window(pocket.id), nullptr);
        EXPECT_TRUE(pdfRenderers().isEmpty());
    }
}

// A photo whose decoding takes minutes: the window answers while it is decoded elsewhere, and a lock
// ends the decoder at once.
TEST_F(PocketWindowTest, APhotoThatTakesMinutesToDecodeHoldsNothingUp) {
    openWindow();
    QCoro::waitFor(store->lock(pocket, true, LockReason::automatic));
    PocketItem bomb = PocketItem::note(QStringLiteral("Scan.jpg"), QString(), Date::now());
    bomb.kind = PocketItem::Kind::image;
    const QByteArray bytes = scanBombJpeg(20'000);
    bomb.data = SecureBytes(bytes.begin(), bytes.end());
    PocketStorage::open(pocket.bundlePath, pocketPassword, false).storage->save({bomb}, 1);

    ASSERT_TRUE(unlockWith(pocket, pocketPassword));
    PocketWindow* window = PocketWindows::window(pocket.id);
    ASSERT_NE(window, nullptr);
    const auto decoders = [] { return childrenNamed("larkhold-photo-"); };
    ASSERT_TRUE(eventually([&] { return !decoders().isEmpty(); }));
    EXPECT_TRUE(window->editor()->imageView()->isDecoding());
    EXPECT_FALSE(window->editor()->imageView()->showsMessage());
    QCoro::waitFor(store->lock(pocket, true, LockReason::automatic));
    EXPECT_EQ(PocketWindows::window(pocket.id), nullptr);
    EXPECT_TRUE(decoders().isEmpty());
}

// A lock while the import checks a PDF the PDF library never ends on: the checking process goes at
// once (its deadline is hours here), and nothing of the file joins the vault.
TEST_F(PocketWindowTest, ALockDuringAnImportsCheckEndsTheChecker) {
    PdfRenderer::setImportCheckDeadlineForTesting(std::chrono::hours(1));
    openWindow();
    QFuture<PocketDocument::Added> added =
        document().add({inputFile(QStringLiteral("Loop.pdf"), selfListingPdf())}, false);
    ASSERT_TRUE(eventually([] { return !pdfRenderers().isEmpty(); }));
    const QList<int> checkers = pdfRenderers();
    QCoro::waitFor(store->lock(pocket, true, LockReason::automatic));
    EXPECT_EQ(PocketWindows::window(pocket.id), nullptr);
    // Ended, not merely asked to: the worker that waited for it reaps it.
    ASSERT_TRUE(eventually([] { return pdfRenderers().isEmpty(); }));
    EXPECT_TRUE(added.isFinished() || !added.isValid() || added.resultCount() == 0 ||
                !added.result().items.value(0).has_value());
    PdfRenderer::setImportCheckDeadlineForTesting({});
}

TEST_F(PocketWindowTest, TheSameVaultNeverGetsASecondWindow) {
    PocketWindow* window = openWindow();
    PocketWindows::show(session(), pocket);
    store->openVault(pocket);
    EXPECT_EQ(PocketWindows::openWindows().size(), 1);
    EXPECT_EQ(PocketWindows::window(pocket.id), window);
    PocketWindows::close(QUuid::createUuid());
    EXPECT_EQ(PocketWindows::window(pocket.id), window);
}

TEST_F(PocketWindowTest, GrowingKeepsTheTopEdgeAndTheCentreAndStaysOnScreen) {
    PocketWindow* window = openWindow();
    const QRect screen = window->screen()->availableGeometry();
    window->setMinimumSize(100, 100);
    window->setGeometry(screen.left() + 150, screen.top() + 100, 300, 200);
    const QRect before = window->geometry();
    PocketWindows::growToFit(QSize(400, 260), pocket.id);
    QRect after = window->geometry();
    EXPECT_EQ(after.size(), QSize(400, 260));
    EXPECT_EQ(after.top(), before.top());
    EXPECT_NEAR(after.center().x(), before.center().x(), 1);

    PocketWindows::growToFit(QSize(200, 100), pocket.id);
    EXPECT_EQ(window->geometry(), after) << "never shrinks";

    // More than the screen holds: as large as the screen, and on it.
    PocketWindows::growToFit(screen.size() + QSize(300, 300), pocket.id);
    after = window->frameGeometry();
    EXPECT_EQ(after.size(), screen.size());
    EXPECT_TRUE(screen.contains(after));
}

TEST_F(PocketWindowTest, SecondPasswordSetupFromTheStore) {
    PocketWindow* window = openWindow();
    addAndWait(document(),
               {inputFile(QStringLiteral("Real.txt"),
                          "Meeting notes from the lawyer about the house, keep these safe and private.")},
               false);
    secrets.savePassword(pocketPassword, pocket.id);
    windowHost.alertAnswers = {0};
    store->requestSecondPasswordSetup(pocket);
    ASSERT_TRUE(eventually([&] { return window->secondPasswordDialog() != nullptr; }));
    EXPECT_FALSE(session().secondPasswordRequested());
    const QRect screen = window->screen()->availableGeometry();
    EXPECT_GE(window->frameGeometry().width(), std::min(1020, screen.width()));
    EXPECT_GE(window->frameGeometry().height(), std::min(720, screen.height()));

    SecondPasswordDialog* dialog = window->secondPasswordDialog();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog, 60000));
    EXPECT_FALSE(dialog->saveButton()->isEnabled());
    QTest::keyClicks(dialog->passwordField(), QStringLiteral("abc"));
    EXPECT_EQ(dialog->messageLabel()->text(), QStringLiteral("At least 6 characters."));
    QTest::keyClicks(dialog->passwordField(), QStringLiteral("def-ghi"));
    QTest::keyClicks(dialog->confirmField(), QStringLiteral("abcdef-ghi"));
    EXPECT_TRUE(dialog->messageLabel()->isHidden());
    EXPECT_EQ(dialog->countLabel()->text(), QStringLiteral("2 of 5"));
    EXPECT_FALSE(dialog->saveButton()->isEnabled());

    drop(
        dialog->editor()->itemList()->viewport(),
        {QUrl::fromLocalFile(inputFile(QStringLiteral("Groceries.txt"),
                                       "Milk, bread, eggs, apples and coffee for the weekend breakfast.")),
         QUrl::fromLocalFile(inputFile(QStringLiteral("Gym.txt"), "Monday legs, Wednesday back and arms, Friday run.")),
         QUrl::fromLocalFile(
             inputFile(QStringLiteral("Recipes.txt"), "Soak the lentils overnight, then simmer slowly."))});
    EXPECT_EQ(dialog->countLabel()->text(), QStringLiteral("5 of 5"));
    EXPECT_TRUE(dialog->saveButton()->isEnabled());
    QTest::mouseClick(dialog->rememberBox(), Qt::LeftButton);

    QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
    QMessageBox* question = dialog->openQuestion();
    ASSERT_NE(question, nullptr);
    EXPECT_TRUE(question->informativeText().contains(QStringLiteral("erased for good")));
    for (QAbstractButton* button : question->buttons())
        if (button->text() == QStringLiteral("Replace and Erase"))
            QTest::mouseClick(button, Qt::LeftButton);
    const QPointer<SecondPasswordDialog> watched(dialog);
    ASSERT_TRUE(eventually([&] { return watched.isNull() || !watched->isVisible(); }));

    ASSERT_TRUE(savedEverything());
    EXPECT_EQ(itemsOnDisk(QStringLiteral("abcdef-ghi")).size(), 3u);
    EXPECT_EQ(itemsOnDisk(pocketPassword).size(), 1u);
    EXPECT_EQ(secrets.saved(pocket.id), QStringLiteral("abcdef-ghi"));
    EXPECT_EQ(document().items().size(), 1u);
}

TEST_F(PocketWindowTest, ALockDuringTheSetupClosesItAndForgetsTheSecondSet) {
    PocketWindow* window = openWindow();
    session().setSecondPasswordRequested(true);
    ASSERT_TRUE(eventually([&] { return window->secondPasswordDialog() != nullptr; }));
    const QPointer<SecondPasswordDialog> dialog(window->secondPasswordDialog());
    addAndWait(dialog->setup().decoy(),
               {inputFile(QStringLiteral("a.txt"), "Something to forget when the vault locks.")}, false);
    QTest::keyClicks(dialog->passwordField(), QStringLiteral("typed secret"));
    QCoro::waitFor(store->lockAll(true, LockReason::screenLocked));
    EXPECT_TRUE(eventually([&] { return dialog.isNull(); }));
    EXPECT_FALSE(PocketWindows::window(pocket.id));
}

TEST_F(PocketWindowTest, ThePhotoOptionIsReadWhenFilesArrive) {
    PocketWindow* window = openWindow();
    const QString big = inputFile(QStringLiteral("Wide.png"), encodedPicture(testPicture(3000, 200), "png"));
    window->editor()->optimizeBox()->setChecked(false);
    EXPECT_FALSE(defaults.boolValue(SettingsKeys::pocketOptimizePhotos));
    drop(window->editor()->itemList()->viewport(), {QUrl::fromLocalFile(big)});
    ASSERT_EQ(document().items().size(), 1u);
    EXPECT_EQ(QImage::fromData(bytesOf(document().items().front())).width(), 3000);

    window->editor()->optimizeBox()->setChecked(true);
    drop(window->editor()->noteView()->viewport(), {QUrl::fromLocalFile(big)});
    ASSERT_EQ(document().items().size(), 2u);
    EXPECT_EQ(QImage::fromData(bytesOf(document().items().back())).width(), 2500);
}

TEST_F(PocketWindowTest, EveryEditorFollowsTheSharedPhotoOptionAndARefusedRenameKeepsTheName) {
    // The vault's own editor and another one (the second-password sheet's) on a full document.
    PocketWindow* window = openWindow();
    // A whole number of seconds is the shortest date there is: any later one takes at least as much room.
    PocketItems items{PocketItem::note(QStringLiteral("Plans for the year"), QStringLiteral("text"), Date{818520641.0})};
    PocketDocument full(items, PocketPayload::sizeOf(items));
    PocketEditor other(full, &defaults);
    other.optimizeBox()->setChecked(false);
    EXPECT_FALSE(window->editor()->optimizeBox()->isChecked());
    defaults.setValue(SettingsKeys::pocketOptimizePhotos, true);
    EXPECT_TRUE(other.optimizeBox()->isChecked());
    EXPECT_TRUE(window->editor()->optimizeBox()->isChecked());

    select(&other, 0);
    auto* name = other.findChild<QLineEdit*>(QStringLiteral("nameField"));
    name->setFocus();
    name->end(false);
    QTest::keyClicks(name, QStringLiteral("X"));
    EXPECT_EQ(full.items().front().name, QStringLiteral("Plans for the year"));
    EXPECT_EQ(name->text(), QStringLiteral("Plans for the year"));
    // Much shorter, so that the new modification date still fits.
    name->selectAll();
    QTest::keyClicks(name, QStringLiteral("P"));
    EXPECT_EQ(full.items().front().name, QStringLiteral("P"));
    EXPECT_EQ(name->text(), QStringLiteral("P"));
}

} // namespace
} // namespace larkhold::test

#include "PocketWindowTest.moc"
