#include "PocketEditor.h"
#include "PocketItemListModel.h"
#include "PocketTestSupport.h"
#include "PocketViewers.h"
#include "PocketWindows.h"
#include "Screens.h"
#include "SecondPasswordDialog.h"

#include <QLineEdit>
#include <QListView>
#include <QTest>

namespace larkhold::test {
namespace {

class ScreenHost final : public StoreHost {
public:
    void presentWaiting(const Vault&) override {}
    void presentRelocated(const Vault&) override {}
    void showPocketWindow(PocketSession& session, const Vault& vault) override { PocketWindows::show(session, vault); }
    void closePocketWindow(const QUuid& id) override { PocketWindows::close(id); }
    int runAlert(const StoreAlert&) override { return 0; }
    void openFolder(const QString&) override {}
};

// Renders the Pocket window and the second password setup to build/screens/pocketui, light and
// dark, and checks that nothing is empty or cut short.
class PocketScreens : public PocketFixture {
protected:
    ~PocketScreens() override {
        for (const QUuid& id : PocketWindows::openWindows())
            PocketWindows::close(id);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    PocketWindow* openWindow() {
        pocket = pocketVault(QStringLiteral("Travel Documents"), QStringLiteral("correct horse"));
        QDir().mkpath(dataFolder());
        EXPECT_FALSE(VaultList(dataFolder()).save(listed).has_value());
        VaultStoreDeps deps = storeDeps();
        deps.startTimers = false;
        deps.documentHost = &importer;
        deps.host = &host_;
        store = std::make_unique<TestStore>(deps);
        PocketWindows::setDependencies({store.get(), &secrets, &defaults, &importer});
        EXPECT_TRUE(unlockWith(pocket, QStringLiteral("correct horse")));
        return PocketWindows::window(pocket.id);
    }

    void fill(PocketDocument& document) {
        addAndWait(document,
                   {inputFile(QStringLiteral("Packing list.txt"),
                              "Passport and visa\nTickets (printed and on the phone)\nCharger, adapter\n"
                              "Blue jacket, walking shoes\nSunscreen"),
                    inputFile(QStringLiteral("Harbour.jpg"), encodedPicture(testPicture(640, 420), "jpeg")),
                    inputFile(QStringLiteral("Boarding pass.pdf"), testPdf("Boarding pass  LH 1234  Seat 14A"))},
                   true);
    }

    void expectFit(const ScreenReport& report) {
        EXPECT_TRUE(report.ok()) << report.problems.join(QLatin1Char('\n')).toStdString();
    }

    ScreenHost host_;
};

TEST_F(PocketScreens, PocketWindowEmptyAndWithEachKindSelected) {
    PocketWindow* window = openWindow();
    ASSERT_NE(window, nullptr);
    window->resize(PocketWindow::kDefaultSize);
    ScreenOptions options;
    options.mayElide = {QStringLiteral("detailPlaceholder")};
    expectFit(renderScreen(window, QStringLiteral("pocketui"), QStringLiteral("pocket-window-empty"), options));

    PocketDocument& document = store->pocketSession(pocket.id)->document();
    fill(document);
    ASSERT_EQ(document.items().size(), 3u);
    const char* names[] = {"pocket-window-note", "pocket-window-photo", "pocket-window-pdf"};
    for (int row = 0; row < 3; ++row) {
        window->editor()->itemList()->setCurrentIndex(window->editor()->itemModel()->index(row));
        if (row == 1)
            ASSERT_TRUE(eventually([&] { return window->editor()->imageView()->hasImage(); }));
        if (row == 2) {
            window->show();
            ASSERT_TRUE(eventually([&] { return window->editor()->pdfView()->pagesDrawn() > 0; }));
        }
        expectFit(renderScreen(window, QStringLiteral("pocketui"), QString::fromLatin1(names[row]), options));
    }

    // A refused file and a failed save at once: both show.
    WriteFaultPlan plan;
    plan.failAfterBytes = 0;
    larkholdTestWriteFault = &plan;
    QCoro::waitFor(store->pocketSession(pocket.id)->flush());
    larkholdTestWriteFault = nullptr;
    addAndWait(document, {inputFile(QStringLiteral("setup.exe"), QByteArray("MZ\x00\x01", 4))}, true);
    window->editor()->itemList()->setCurrentIndex(window->editor()->itemModel()->index(0));
    expectFit(renderScreen(window, QStringLiteral("pocketui"), QStringLiteral("pocket-window-problems"), options));
}

TEST_F(PocketScreens, SecondPasswordSetupSteps) {
    PocketWindow* window = openWindow();
    ASSERT_NE(window, nullptr);
    fill(store->pocketSession(pocket.id)->document());
    store->pocketSession(pocket.id)->setSecondPasswordRequested(true);
    ASSERT_TRUE(eventually([&] { return window->secondPasswordDialog() != nullptr; }));
    SecondPasswordDialog* dialog = window->secondPasswordDialog();
    ScreenOptions options;
    options.mayElide = {QStringLiteral("detailPlaceholder")};
    expectFit(renderScreen(dialog, QStringLiteral("pocketui"), QStringLiteral("second-password-1-empty"), options));

    dialog->passwordField()->setText(QStringLiteral("summer"));
    dialog->confirmField()->setText(QStringLiteral("sumer"));
    addAndWait(dialog->setup().decoy(), {inputFile(QStringLiteral("Groceries.txt"), "milk milk milk")}, true);
    expectFit(renderScreen(dialog, QStringLiteral("pocketui"), QStringLiteral("second-password-2-typing"), options));

    dialog->passwordField()->setText(QStringLiteral("Lantern orchard 42"));
    dialog->confirmField()->setText(QStringLiteral("Lantern orchard 42"));
    dialog->setup().decoy().wipe();
    addAndWait(
        dialog->setup().decoy(),
        {inputFile(QStringLiteral("Recipes.txt"), "Soak the lentils overnight, then simmer them slowly with onion."),
         inputFile(QStringLiteral("Gym plan.txt"), "Monday legs, Wednesday back and arms, Friday a long easy run."),
         inputFile(QStringLiteral("Garden.jpg"), encodedPicture(testPicture(500, 320, Qt::darkGreen), "jpeg")),
         inputFile(QStringLiteral("Invoice.pdf"), testPdf("Invoice 2023-114  Paid"))},
        true);
    ASSERT_TRUE(dialog->setup().ready()) << dialog->setup().countText().toStdString();
    expectFit(renderScreen(dialog, QStringLiteral("pocketui"), QStringLiteral("second-password-3-ready"), options));
}

} // namespace
} // namespace larkhold::test
