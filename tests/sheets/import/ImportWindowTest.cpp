#include "ImportWindow.h"

#include "PocketTestSupport.h"
#include "Screens.h"
#include "Theme.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

namespace larkhold::test {
namespace {

class ImportWindowTest : public PocketFixture {
protected:
    ~ImportWindowTest() override {
        if (ImportWindow* window = ImportWindow::current())
            window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void useStore() {
        ImportDeps deps;
        deps.store = store.get();
        deps.secrets = &secrets;
        deps.defaults = &defaults;
        deps.trash = [this](const QString& path, QString*) {
            trashed.append(path);
            return true;
        };
        deps.closeDelay = std::chrono::milliseconds(1);
        deps.volumesAreMounts = false; // the stand-in volumes are plain folders
        ImportWindow::setDependencies(deps);
    }

    ImportWindow* show(const QStringList& paths) {
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls.append(QUrl::fromLocalFile(path));
        ImportWindow::show(urls);
        ImportWindow* window = ImportWindow::current();
        EXPECT_NE(window, nullptr);
        if (window) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(window, 60000));
        }
        return window;
    }

    QStringList trashed;
};

TEST_F(ImportWindowTest, ShowsTheFilesAndTheVaults) {
    pocketVault(QStringLiteral("Travel"), QStringLiteral("correct horse"));
    standardVault(QStringLiteral("Archive"));
    startPocketStore();
    useStore();
    ImportWindow* window = show({inputFile(QStringLiteral("report.pdf"), testPdf())});
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Add to Vault"));
    EXPECT_EQ(window->width(), 460);
    auto* header = window->findChild<SheetHeader*>();
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->titleLabel()->text(), QStringLiteral("Add “report.pdf” to a vault"));
    ASSERT_EQ(window->vaultPicker()->count(), 2);
    EXPECT_EQ(window->vaultPicker()->currentText(), QStringLiteral("Travel"));
    EXPECT_TRUE(window->passwordField()->isVisible());
    EXPECT_FALSE(window->copyButton()->isEnabled());
    EXPECT_FALSE(window->moveButton()->isEnabled());
    EXPECT_TRUE(window->cancelButton()->isEnabled());

    // Return does nothing while Copy In is disabled; Escape always cancels.
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_FALSE(window->model().working());
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_TRUE(eventually([] { return ImportWindow::current() == nullptr; }));
}

TEST_F(ImportWindowTest, ReturnCopiesInAndTheWindowClosesItself) {
    openPocket();
    useStore();
    ImportWindow* window = show({inputFile(QStringLiteral("Plans.txt"), "Plans for the summer, written down.")});
    EXPECT_FALSE(window->passwordField()->isVisible()) << "the vault is open already";
    ASSERT_TRUE(window->copyButton()->isEnabled());
    const QPointer<ImportWindow> watched(window);
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_TRUE(eventually([&] { return watched.isNull(); }));
    EXPECT_EQ(store->pocketSession(pocket.id)->document().items().size(), 1u);
}

TEST_F(ImportWindowTest, ErrorsShowInTheWindow) {
    pocket = pocketVault(QStringLiteral("Travel"), QStringLiteral("correct horse"));
    startPocketStore();
    useStore();
    ImportWindow* window = show({inputFile(QStringLiteral("a.txt"), "A note for a vault that stays shut.")});
    QTest::keyClicks(window->passwordField(), QStringLiteral("wrong horse"));
    QTest::mouseClick(window->copyButton(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return !window->model().working(); }));
    EXPECT_TRUE(window->errorLabel()->isVisible());
    EXPECT_EQ(window->errorLabel()->text(), QStringLiteral("Wrong password for “Travel”."));
    EXPECT_EQ(window->passwordField()->text(), QStringLiteral("wrong horse"));
    EXPECT_TRUE(window->copyButton()->isEnabled());
    // The window grew for the error line and still cannot be resized by hand.
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_GE(window->height(), window->sizeHint().height());
}

TEST_F(ImportWindowTest, ANewWindowReplacesTheOldAndALateResultLeavesItAlone) {
    const Vault volume = standardVault(QStringLiteral("Archive"));
    startPocketStore();
    useStore();
    // The vault's unlock waits until the test lets it go on.
    setToolFile(QStringLiteral("attach.gate"));
    ImportWindow* first = show({inputFile(QStringLiteral("first.txt"), "first")});
    const QPointer<ImportWindow> firstWatched(first);
    QTest::keyClicks(first->passwordField(), QStringLiteral("pw"));
    QTest::mouseClick(first->copyButton(), Qt::LeftButton);
    ASSERT_TRUE(first->model().working());
    // The files are checked off the GUI thread before the unlock starts.
    ASSERT_TRUE(eventually([&] { return store->unlockUnderWay(); }));

    ImportWindow* second = show({inputFile(QStringLiteral("second.txt"), "second")});
    EXPECT_NE(second, first);
    EXPECT_TRUE(eventually([&] { return firstWatched.isNull(); }));
    EXPECT_FALSE(second->model().working()) << "fresh state";
    EXPECT_FALSE(second->model().resultMessage().has_value());

    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(eventually([&] { return store->isUnlocked(volume.id); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(ImportWindow::current(), second) << "the first window's late unlock closes nothing";
    EXPECT_TRUE(second->isVisible());
    EXPECT_FALSE(QFileInfo::exists(fakeMountPoint(volume.name) + QStringLiteral("/first.txt")))
        << "the closed window imports nothing";

    QTest::mouseClick(second->moveButton(), Qt::LeftButton);
    const QPointer<ImportWindow> secondWatched(second);
    EXPECT_TRUE(eventually([&] { return secondWatched.isNull(); }));
    EXPECT_EQ(readFile(fakeMountPoint(volume.name) + QStringLiteral("/second.txt")), QByteArray("second"));
    EXPECT_EQ(trashed, QStringList{dir.filePath(QStringLiteral("in/second.txt"))});
}

TEST_F(ImportWindowTest, Screens) {
    pocket = pocketVault(QStringLiteral("Travel"), QStringLiteral("correct horse"));
    const Vault archive = standardVault(QStringLiteral("Archive — photos and scans from the old laptop"));
    startPocketStore();
    ASSERT_TRUE(unlockWith(pocket, QStringLiteral("correct horse")));
    useStore();
    ImportWindow* window =
        show({inputFile(QStringLiteral("Tax return 2023.pdf"), testPdf()),
              inputFile(QStringLiteral("Receipt.jpg"), encodedPicture(testPicture(300, 200), "jpeg"))});
    const ScreenReport open = renderScreen(window, QStringLiteral("pocketui"), QStringLiteral("import-window"));
    EXPECT_TRUE(open.ok()) << open.problems.join(QLatin1Char('\n')).toStdString();

    window->model().setSelectedVaultID(archive.id);
    const ScreenReport locked =
        renderScreen(window, QStringLiteral("pocketui"), QStringLiteral("import-window-password"));
    EXPECT_TRUE(locked.ok()) << locked.problems.join(QLatin1Char('\n')).toStdString();

    window->model().setSelectedVaultID(pocket.id);
    QTest::mouseClick(window->moveButton(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return window->model().finished(); }));
    const ScreenReport done = renderScreen(window, QStringLiteral("pocketui"), QStringLiteral("import-window-result"));
    EXPECT_TRUE(done.ok()) << done.problems.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(window->cancelButton()->text(), QStringLiteral("Close"));
}

} // namespace
} // namespace larkhold::test
