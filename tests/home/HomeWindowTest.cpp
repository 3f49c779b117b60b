#include "HomeFixture.h"
#include "Theme.h"
#include "VaultContextMenu.h"

#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QSemaphore>
#include <QTextDocument>
#include <QTimer>

namespace larkhold::test {
namespace {

QAction* menuAction(QMenu& menu, VaultMenuItem item) {
    for (QAction* action : menu.actions()) {
        if (!action->isSeparator() && action->data().toInt() == int(item))
            return action;
    }
    return nullptr;
}

class HomeWindow : public HomeFixture {};

TEST_F(HomeWindow, TitleIdAndClassicDesign) {
    startHomeStore();
    MainWindow& w = openWindow();
    EXPECT_EQ(w.objectName(), QStringLiteral("main"));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Larkhold"));
    ASSERT_NE(classic(), nullptr);
    EXPECT_TRUE(classic()->showsEmptyState());
    EXPECT_EQ(classic()->subtitleLabel()->text(), QStringLiteral("Encrypted folders, your key only"));
    EXPECT_FALSE(classic()->lockAllButton()->isVisibleTo(&w));

    // Both Return (on the welcome) and Ctrl+N start a new vault.
    QTest::keyClick(&w, Qt::Key_Return);
    ASSERT_TRUE(eventually([&] { return sheets.calls.size() == 1; }));
    w.currentSheet()->reject();
    ASSERT_TRUE(eventually([&] { return !w.currentSheet(); }));
    QTest::keyClick(&w, Qt::Key_N, Qt::ControlModifier);
    ASSERT_TRUE(eventually([&] { return sheets.calls.size() == 2; }));
    EXPECT_EQ(sheets.calls, (QStringList{"create", "create"}));
}

TEST_F(HomeWindow, UnlockWithoutSavedPasswordOpensTheUnlockSheetAndClosingItAnswersTheStore) {
    const Vault a = standardVault(QStringLiteral("A"));
    startHomeStore();
    MainWindow& w = openWindow();
    VaultCard* card = classic()->card(a.id);
    ASSERT_NE(card, nullptr);
    auto* unlock = card->findChild<ProminentButton*>(QStringLiteral("unlockButton"));
    ASSERT_TRUE(unlock && unlock->isVisibleTo(card));
    QTest::mouseClick(unlock, Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return sheets.calls.contains(QStringLiteral("unlock:A")); }));
    ASSERT_TRUE(home->passwordPromptVault().has_value());
    w.currentSheet()->reject();
    ASSERT_TRUE(eventually([&] { return !home->passwordPromptVault().has_value(); }));
}

TEST_F(HomeWindow, UsePasswordOpensThePromptEvenWithASavedPassword) {
    const Vault a = standardVault(QStringLiteral("A"));
    secrets.savePassword(QStringLiteral("pw"), a.id);
    startHomeStore();
    MainWindow& w = openWindow();
    w.actions().usePassword(a);
    ASSERT_TRUE(eventually([&] { return sheets.calls == QStringList{QStringLiteral("unlock:A")}; }));
}

TEST_F(HomeWindow, LockAllShowsOnlyWhileAVaultIsOpen) {
    const Vault a = standardVault(QStringLiteral("A"));
    startHomeStore();
    MainWindow& w = openWindow();
    QuietButton* lockAll = classic()->lockAllButton();
    EXPECT_FALSE(lockAll->isVisibleTo(&w));
    ASSERT_TRUE(unlockHome(a));
    EXPECT_TRUE(lockAll->isVisibleTo(&w));
    EXPECT_TRUE(classic()->subtitleLabel()->text().startsWith(QStringLiteral("1 vault · 1 open · ")));
    QTest::mouseClick(lockAll, Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return !home->isUnlocked(a) && !home->isBusy(a.id); }));
    EXPECT_FALSE(lockAll->isVisibleTo(&w));
    EXPECT_TRUE(classic()->subtitleLabel()->text().startsWith(QStringLiteral("1 vault · all locked · ")));
}

// The widest the status line usually gets, beside Lock All, in the window as it first opens.
TEST_F(HomeWindow, TheStatusLineShowsWholeBesideLockAllAtTheDefaultSize) {
    const Vault a = standardVault(QStringLiteral("A"));
    startHomeStore();
    home->setSizeOnDisk(a.id, 29'300'000);
    MainWindow& w = openWindow();
    ASSERT_TRUE(unlockHome(a));
    ASSERT_TRUE(eventually([&] { return classic()->lockAllButton()->isVisibleTo(&w); }));
    QCoreApplication::processEvents();
    ThemeLabel* status = classic()->subtitleLabel();
    ASSERT_EQ(status->text(), QStringLiteral("1 vault · 1 open · 29.3 MB on disk"));
    EXPECT_LE(QFontMetrics(status->font()).horizontalAdvance(status->text()), status->contentsRect().width())
        << "window " << w.width() << " px wide";
    EXPECT_FALSE(status->isElided());
}

TEST_F(HomeWindow, RemoveFromTheMenuWithTheOwnerCheckRefusedLeavesTheVaultListed) {
    Vault a = standardVault(QStringLiteral("Guarded"));
    a.requireTouchID = true;
    listed.last() = a;
    startHomeStore();
    MainWindow& w = openWindow();

    owner.queueAnswers({false});
    std::unique_ptr<QMenu> menu(VaultContextMenu::create(a, w.context(), &w));
    menu->setAttribute(Qt::WA_DeleteOnClose, false);
    menuAction(*menu, VaultMenuItem::forget)->trigger();
    ASSERT_TRUE(eventually([&] { return owner.callCount() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(owner.reasons().first(), QStringLiteral("remove the vault “Guarded” from the list"));
    EXPECT_TRUE(Dialogs::askedAlerts().isEmpty());
    EXPECT_EQ(home->vaults().size(), 1);

    // Passed, then confirmed: removed.
    owner.queueAnswers({true});
    Dialogs::answerNextAlert(0);
    menuAction(*menu, VaultMenuItem::forget)->trigger();
    ASSERT_TRUE(eventually([&] { return home->vaults().isEmpty(); }));
    ASSERT_EQ(Dialogs::askedAlerts().size(), 1);
    EXPECT_EQ(Dialogs::askedAlerts().first().text, QStringLiteral("Remove “Guarded” from the list?"));
    EXPECT_TRUE(Dialogs::askedAlerts().first().informativeText.contains(QStringLiteral("from your keyring")));
}

TEST_F(HomeWindow, RemoveAsksBeforeRemovingAndCancelKeepsTheVault) {
    const Vault a = standardVault(QStringLiteral("Plain"));
    startHomeStore();
    MainWindow& w = openWindow();
    Dialogs::answerNextAlert(1); // Cancel
    w.actions().forget(a);
    ASSERT_TRUE(eventually([&] { return Dialogs::askedAlerts().size() == 1; }));
    EXPECT_EQ(owner.callCount(), 0);
    EXPECT_EQ(home->vaults().size(), 1);
}

TEST_F(HomeWindow, TrashOnAMissingFileGoesThroughTheOwnerCheckBeforeTheRemoveQuestion) {
    Vault a = standardVault(QStringLiteral("Gone"));
    a.requireTouchID = true;
    listed.last() = a;
    const Vault b = standardVault(QStringLiteral("Here"));
    QDir(a.bundlePath).removeRecursively();
    startHomeStore();
    MainWindow& w = openWindow();

    owner.queueAnswers({false});
    w.actions().trash(a);
    ASSERT_TRUE(eventually([&] { return owner.callCount() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(Dialogs::askedAlerts().isEmpty());
    EXPECT_TRUE(sheets.calls.isEmpty());
    EXPECT_EQ(home->vaults().size(), 2);

    owner.queueAnswers({true});
    Dialogs::answerNextAlert(0);
    w.actions().trash(a);
    ASSERT_TRUE(eventually([&] { return home->vaults().size() == 1; }));
    EXPECT_TRUE(sheets.calls.isEmpty()) << "nothing to move to the Trash";

    // A file that is there goes to the delete sheet, which asks for the password itself.
    w.actions().trash(b);
    ASSERT_TRUE(eventually([&] { return sheets.calls == QStringList{QStringLiteral("delete:Here")}; }));
}

TEST_F(HomeWindow, NewVaultRequestedWhileClosedStartsWhenTheWindowShows) {
    startHomeStore();
    home->setNewVaultRequested(true);
    MainWindow& w = openWindow(false);
    QCoreApplication::processEvents();
    EXPECT_TRUE(sheets.calls.isEmpty());
    w.show();
    ASSERT_TRUE(eventually([&] { return sheets.calls == QStringList{QStringLiteral("create")}; }));
    EXPECT_FALSE(home->newVaultRequested());

    w.currentSheet()->reject();
    ASSERT_TRUE(eventually([&] { return !w.currentSheet(); }));
    home->setNewVaultRequested(true);
    ASSERT_TRUE(eventually([&] { return sheets.calls.size() == 2; }));
    EXPECT_FALSE(home->newVaultRequested());
    home->setNewVaultRequested(false);
    QCoreApplication::processEvents();
    EXPECT_EQ(sheets.calls.size(), 2);

    // Asked again while it is open, by the store and by the window: still the one sheet.
    QDialog* open = w.currentSheet();
    home->setNewVaultRequested(true);
    w.actions().newVault();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.currentSheet(), open);
    EXPECT_EQ(w.queuedSheets(), 0);
    EXPECT_EQ(sheets.calls.size(), 2);
}

TEST_F(HomeWindow, SheetsShowOneAtATimeInTheOrderAsked) {
    const Vault a = standardVault(QStringLiteral("A"));
    startHomeStore();
    MainWindow& w = openWindow();
    w.actions().rename(a);
    w.actions().verify(a);
    w.actions().compact(a);
    ASSERT_TRUE(eventually([&] { return w.currentSheet() != nullptr; }));
    EXPECT_EQ(w.currentSheet()->objectName(), QStringLiteral("rename:A"));
    EXPECT_EQ(w.queuedSheets(), 2);
    w.currentSheet()->accept();
    ASSERT_TRUE(eventually([&] { return w.currentSheet() && w.currentSheet()->objectName() == "verify:A"; }));
    w.currentSheet()->reject();
    ASSERT_TRUE(eventually([&] { return w.currentSheet() && w.currentSheet()->objectName() == "passwordAction:A"; }));
    ASSERT_EQ(sheets.passwordActions.size(), 1);
    EXPECT_EQ(sheets.passwordActions.first().title, QStringLiteral("Reclaim Free Space"));
    EXPECT_EQ(sheets.passwordActions.first().caption,
              QStringLiteral("Shrinks the vault file on disk after files were deleted inside."));
    EXPECT_EQ(sheets.passwordActions.first().buttonLabel, QStringLiteral("Reclaim"));
}

TEST_F(HomeWindow, ErrorMessagesShowInTheAlertAndOkClearsThem) {
    startHomeStore();
    openWindow();
    Dialogs::answerNextAlert(0);
    home->setErrorMessage(QStringLiteral("Wrong password for “A”."));
    ASSERT_EQ(Dialogs::askedAlerts().size(), 1);
    EXPECT_EQ(Dialogs::askedAlerts().first().text, QStringLiteral("Larkhold"));
    EXPECT_EQ(Dialogs::askedAlerts().first().informativeText, QStringLiteral("Wrong password for “A”."));
    EXPECT_EQ(Dialogs::askedAlerts().first().buttons, QStringList{QStringLiteral("OK")});
    EXPECT_TRUE(home->errorMessage().isNull());

    // A failure reported without words is still a failure; clearing the message raises nothing.
    Dialogs::answerNextAlert(0);
    home->setErrorMessage(QStringLiteral(""));
    ASSERT_EQ(Dialogs::askedAlerts().size(), 2);
    EXPECT_TRUE(Dialogs::askedAlerts().last().informativeText.isEmpty());
    home->clearErrorMessage();
    EXPECT_EQ(Dialogs::askedAlerts().size(), 2);
}

TEST_F(HomeWindow, TheSettingPicksDesignSizeAndScheme) {
    startHomeStore();
    MainWindow& w = openWindow();
    EXPECT_EQ(w.size(), QSize(500, 460));
    const QPoint topLeft = w.pos();

    defaults.setValue(SettingsKeys::appTheme, QStringLiteral("nightWatch"));
    ASSERT_TRUE(eventually([&] { return w.size() == QSize(700, 600); }));
    EXPECT_EQ(w.designSpec().design, AppTheme::nightWatch);
    EXPECT_TRUE(ColorScheme::isDark(w.design()));
    EXPECT_EQ(w.design()->minimumSize(), QSize(640, 500));
    EXPECT_EQ(w.pos(), topLeft);

    // A size the user chose stays until the design changes again.
    w.resize(820, 640);
    defaults.setValue(SettingsKeys::appTheme, QStringLiteral("nightWatch"));
    QCoreApplication::processEvents();
    EXPECT_EQ(w.size(), QSize(820, 640));

    defaults.setValue(SettingsKeys::appTheme, QStringLiteral("NightWatch")); // not a design: classic
    ASSERT_TRUE(eventually([&] { return w.size() == QSize(500, 460); }));
    EXPECT_EQ(w.designSpec().design, AppTheme::classic);
    EXPECT_FALSE(w.testAttribute(Qt::WA_SetPalette)) << "classic follows the desktop";
    EXPECT_EQ(w.design()->minimumSize(), QSize(460, 380));
}

TEST_F(HomeWindow, LocateRefusesAnOpenOrBusyVault) {
    const Vault a = standardVault(QStringLiteral("Open"));
    const Vault b = standardVault(QStringLiteral("Busy"));
    startHomeStore();
    MainWindow& w = openWindow();
    Dialogs::answerNextAlert(0); // the error alert
    ASSERT_TRUE(unlockHome(a));
    w.actions().locate(a);
    EXPECT_TRUE(Dialogs::askedFileChoices().isEmpty());
    ASSERT_FALSE(Dialogs::askedAlerts().isEmpty());
    EXPECT_EQ(Dialogs::askedAlerts().last().informativeText,
              QStringLiteral("Lock “Open” first, then locate its file."));

    HomeStore::BusyMark busy(*home, b.id);
    Dialogs::answerNextAlert(0);
    w.actions().locate(b);
    EXPECT_TRUE(Dialogs::askedFileChoices().isEmpty());
    EXPECT_EQ(Dialogs::askedAlerts().last().informativeText,
              QStringLiteral("Wait until “Busy” is no longer busy, then locate its file."));
}

TEST_F(HomeWindow, BusyVaultsMenuOffersOnlyRevealAndItsCardASpinner) {
    const Vault a = standardVault(QStringLiteral("A"));
    startHomeStore();
    MainWindow& w = openWindow();
    HomeStore::BusyMark busy(*home, a.id);
    std::unique_ptr<QMenu> menu(VaultContextMenu::create(a, w.context(), &w));
    menu->setAttribute(Qt::WA_DeleteOnClose, false);
    QStringList titles;
    for (QAction* action : menu->actions())
        titles << action->text();
    EXPECT_EQ(titles, QStringList{QStringLiteral("Show Vault File in File Manager")});
    VaultCard* card = classic()->card(a.id);
    EXPECT_EQ(card->model().controls, VaultCardModel::Controls::progress);
    EXPECT_FALSE(card->findChild<ProminentButton*>(QStringLiteral("unlockButton"))->isVisibleTo(card));
}

TEST_F(HomeWindow, AVaultsChangeReadsOnlyItsOwnCardAndNothingNewChangesNothing) {
    const Vault a = standardVault(QStringLiteral("A"));
    const Vault b = standardVault(QStringLiteral("B"));
    const Vault c = standardVault(QStringLiteral("C"));
    startHomeStore();
    openWindow();
    const QList<VaultCard*> cards = classic()->cards();
    ASSERT_EQ(cards.size(), 3);
    const auto reads = [&] {
        QList<quint64> counts;
        for (VaultCard* card : cards)
            counts.append(card->reads());
        return counts;
    };
    const QList<quint64> start = reads();

    home->setSizeOnDisk(a.id, 29'300'000);
    EXPECT_EQ(reads(), (QList<quint64>{start[0] + 1, start[1], start[2]}));
    EXPECT_EQ(cards[0]->model().caption, QStringLiteral("29.3 MB on disk · up to 1 GB"));
    home->setSizeOnDisk(a.id, 29'300'000);
    {
        HomeStore::BusyMark busy(*home, b.id);
        EXPECT_EQ(cards[1]->model().controls, VaultCardModel::Controls::progress);
    }
    EXPECT_EQ(reads(), (QList<quint64>{start[0] + 1, start[1] + 2, start[2]}));

    // A round of looks that finds every file where it was reads no card.
    settleStatus();
    EXPECT_EQ(reads(), (QList<quint64>{start[0] + 1, start[1] + 2, start[2]}));

    // Read again with nothing new, a card shows nothing new.
    const quint64 shown = cards[2]->changesShown();
    cards[2]->refresh();
    EXPECT_EQ(cards[2]->changesShown(), shown);
    EXPECT_EQ(c.name, cards[2]->vault().name);
}

TEST_F(HomeWindow, ALongNameIsElidedInTheMiddleAndTheControlsStayInside) {
    const Vault a = standardVault(QStringLiteral("An exceedingly long vault name that would never fit on one card "
                                                 "in a narrow window at all"));
    startHomeStore();
    MainWindow& w = openWindow();
    w.resize(460, 380);
    ASSERT_TRUE(eventually([&] { return w.width() == 460; }));
    QCoreApplication::processEvents();
    VaultCard* card = classic()->card(a.id);
    ThemeLabel* name = card->nameLabel();
    EXPECT_TRUE(name->isElided());
    EXPECT_EQ(name->elideMode(), Qt::ElideMiddle);
    auto* unlock = card->findChild<ProminentButton*>(QStringLiteral("unlockButton"));
    EXPECT_EQ(unlock->size(), unlock->sizeHint());
    EXPECT_LE(unlock->geometry().right(), card->width() - VaultCard::kShadowPad);
    EXPECT_LE(card->geometry().right(), card->parentWidget()->width());
    EXPECT_EQ(name->height(), name->sizeHint().height()) << "one line, never wrapped";
}

TEST_F(HomeWindow, ALongListHasEveryCardInOrderAndScrollsToTheLast) {
    QList<QUuid> ids;
    for (int i = 1; i <= 20; ++i)
        ids.append(standardVault(QStringLiteral("Vault %1").arg(i, 2, 10, QLatin1Char('0'))).id);
    startHomeStore();
    // Asked for before the window ever shows, every card is there.
    openWindow(false);
    QList<QUuid> shown;
    for (VaultCard* card : classic()->cards())
        shown.append(card->vault().id);
    EXPECT_EQ(shown, ids);

    // Shown, only the cards near the view are built; scrolling brings the others, and the list scrolls to the
    // last of them.
    window.reset();
    MainWindow& w = openWindow();
    w.resize(700, 400);
    ASSERT_TRUE(eventually([&] { return w.height() == 400; }));
    QCoreApplication::processEvents();
    const auto built = [&] { return qsizetype(w.findChildren<VaultCard*>().size()); };
    EXPECT_LT(built(), ids.size());
    // A change to a vault whose card is not built yet shows once it is.
    home->setSizeOnDisk(ids.last(), 29'300'000);
    auto* list = w.findChild<QScrollArea*>(QStringLiteral("vaultList"));
    ASSERT_NE(list, nullptr);
    QScrollBar* bar = list->verticalScrollBar();
    ASSERT_TRUE(eventually([&] {
        bar->setValue(bar->maximum());
        return built() == ids.size() && bar->value() == bar->maximum();
    }));
    QCoreApplication::processEvents();
    QList<QUuid> order;
    for (VaultCard* card : w.findChildren<VaultCard*>())
        order.append(card->vault().id);
    EXPECT_EQ(QSet<QUuid>(order.cbegin(), order.cend()), QSet<QUuid>(ids.cbegin(), ids.cend()));
    VaultCard* last = classic()->card(ids.last());
    EXPECT_EQ(last->model().caption, QStringLiteral("29.3 MB on disk · up to 1 GB"));
    const QRect inView(last->mapTo(list->viewport(), QPoint(0, 0)), last->size());
    EXPECT_TRUE(list->viewport()->rect().contains(inView)) << inView.y() << " of " << list->viewport()->height();

    // From the top again, Tab reaches the last card's Unlock, each card's in list order, however few were built.
    window.reset();
    MainWindow& again = openWindow();
    again.resize(700, 400);
    ASSERT_TRUE(eventually([&] { return again.height() == 400; }));
    QCoreApplication::processEvents();
    again.activateWindow();
    ASSERT_TRUE(eventually([&] { return QApplication::activeWindow() == &again; }));
    ASSERT_LT(qsizetype(again.findChildren<VaultCard*>().size()), ids.size());
    const auto unlockOf = [&](const QUuid& id) {
        for (VaultCard* card : again.findChildren<VaultCard*>())
            if (card->vault().id == id)
                return card->findChild<QWidget*>(QStringLiteral("unlockButton"));
        return static_cast<QWidget*>(nullptr);
    };
    unlockOf(ids.first())->setFocus(Qt::TabFocusReason);
    qsizetype reached = 0;
    for (int press = 0; press < 40 * int(ids.size()) && reached < ids.size() - 1; ++press) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCoreApplication::processEvents();
        if (QApplication::focusWidget() == unlockOf(ids.at(reached + 1)))
            ++reached;
    }
    EXPECT_EQ(reached, ids.size() - 1) << "Tab reached the Unlock of card " << reached + 1 << " and no further";
}

TEST_F(HomeWindow, FileStatesComeFromTheCacheAndPaintingNeverWaitsForALook) {
    const Vault a = standardVault(QStringLiteral("A"));
    startHomeStore();
    MainWindow& w = openWindow();
    VaultCard* card = classic()->card(a.id);
    EXPECT_EQ(card->model().fileState, VaultFileState::present);

    QDir(a.bundlePath).removeRecursively();
    EXPECT_EQ(card->model().fileState, VaultFileState::present) << "not looked at again yet";
    settleStatus();
    EXPECT_EQ(card->model().fileState, VaultFileState::fileMissing);
    EXPECT_EQ(card->model().controls, VaultCardModel::Controls::locate);

    // A look that hangs (a dead network share) holds only the cache's own thread.
    QSemaphore entered;
    QSemaphore release;
    w.statusCache().setProbes(
        [&](const QString&) {
            entered.release();
            release.acquire();
            return VaultFileState::waitingForDisk;
        },
        [](const QUuid&) { return false; });
    // Painting must not wait for the look, however long it takes.
    w.statusCache().setDeadline(std::chrono::hours(1));
    w.statusCache().refresh();
    ASSERT_TRUE(entered.tryAcquire(1, 60'000));
    const QPixmap shot = w.grab(); // paints every card while the look is stuck
    EXPECT_FALSE(shot.isNull());
    EXPECT_EQ(card->model().fileState, VaultFileState::fileMissing);
    release.release();
    ASSERT_TRUE(eventually([&] { return card->model().fileState == VaultFileState::waitingForDisk; }));
    EXPECT_EQ(card->model().missingText, QStringLiteral("Waiting for disk"));
    EXPECT_EQ(card->model().controls, VaultCardModel::Controls::unlock);
}

TEST_F(HomeWindow, ARoundOfLooksReachesEveryCardTellsTheWholeListInBatchesAndLeavesNothingToWake) {
    QList<Vault> vaults;
    for (int i = 0; i < 40; ++i)
        vaults.append(standardVault(QStringLiteral("Vault %1").arg(i)));
    startHomeStore();
    MainWindow& w = openWindow();
    VaultStatusCache& cache = w.statusCache();
    int wholeList = 0;
    QSet<QUuid> told;
    QObject::connect(&cache, &VaultStatusCache::changed, &cache, [&] { ++wholeList; });
    QObject::connect(&cache, &VaultStatusCache::vaultChanged, &cache, [&](const QUuid& id) { told.insert(id); });

    for (const Vault& vault : std::as_const(vaults))
        QDir(vault.bundlePath).removeRecursively();
    settleStatus();
    EXPECT_EQ(told.size(), vaults.size());
    EXPECT_GE(wholeList, 1);
    EXPECT_LE(wholeList, VaultStatusCache::kLookThreads) << "a round's answers come at most once per look thread";
    for (const Vault& vault : std::as_const(vaults))
        EXPECT_EQ(classic()->card(vault.id)->model().fileState, VaultFileState::fileMissing);
    // The round answered within its deadline: no timer is left to wake the application for it.
    for (QTimer* timer : cache.findChildren<QTimer*>())
        EXPECT_FALSE(timer->isActive());
}

TEST_F(HomeWindow, ALookWaitingBehindOneThatHangsIsNotTakenForADiskThatDoesNotAnswer) {
    const Vault away = standardVault(QStringLiteral("Away"));
    const Vault local = standardVault(QStringLiteral("Local"));
    startHomeStore();
    MainWindow& w = openWindow();
    VaultStatusCache& cache = w.statusCache();
    // A short list has one look thread: Local's look waits behind Away's, which hangs.
    QSemaphore release;
    cache.setProbes(
        [&, awayPath = away.bundlePath](const QString& path) {
            if (path != awayPath)
                return VaultFileState::fileMissing;
            release.acquire();
            return VaultFileState::present;
        },
        [](const QUuid&) { return false; });
    cache.setDeadline(std::chrono::milliseconds(1));
    int falseAlarms = 0;
    QObject::connect(&cache, &VaultStatusCache::vaultChanged, &cache, [&](const QUuid& id) {
        if (id == local.id && cache.fileState(id) == VaultFileState::unknown)
            ++falseAlarms;
    });
    cache.refresh();
    ASSERT_TRUE(eventually([&] {
        return cache.fileState(away.id) == VaultFileState::unknown &&
               cache.fileState(local.id) == VaultFileState::fileMissing;
    }));
    EXPECT_EQ(falseAlarms, 0) << "Local's look was never asked before the deadline";
    release.release();
    ASSERT_TRUE(eventually([&] { return cache.fileState(away.id) == VaultFileState::present; }));
}

TEST_F(HomeWindow, NamesPathsAndErrorsHoldingMarkupShowAsText) {
    Vault hostile = standardVault(QStringLiteral("<a href=\"https://example.invalid\">Taxes</a> <b>2024</b>"));
    startHomeStore();
    openWindow();

    const AlertSpec waiting = VaultFileLocation::waitingAlert(hostile);
    std::unique_ptr<QMessageBox> box(Dialogs::makeAlert(nullptr, waiting));
    int plain = 0;
    for (QLabel* label : box->findChildren<QLabel*>()) {
        if (label->text() == waiting.text || label->text() == waiting.informativeText) {
            EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
            ++plain;
        }
    }
    EXPECT_EQ(plain, 2);
    EXPECT_TRUE(waiting.informativeText.contains(QStringLiteral("\n\nLast known path:\n"))) << "line breaks kept";

    // Tooltips: Qt would take these for markup; they show escaped, as the text they are.
    EXPECT_EQ(Dialogs::plainToolTip(QStringLiteral("Taxes 2024")), QStringLiteral("Taxes 2024"));
    QTextDocument shown;
    shown.setHtml(Dialogs::plainToolTip(hostile.name));
    EXPECT_EQ(shown.toPlainText(), hostile.name);

    // Every label of the window that shows the name shows it as text.
    bool found = false;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->text().contains(QStringLiteral("Taxes"))) {
            found = true;
            EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(HomeWindow, RevealShowsThePresentFileOrExplainsWhyNot) {
    const Vault here = standardVault(QStringLiteral("Here"));
    const Vault moved = standardVault(QStringLiteral("Moved"));
    QDir(moved.bundlePath).removeRecursively();
    Vault away = newRecord(QStringLiteral("Away"), VaultKind::standard, QStringLiteral(".sparsebundle"), 1024);
    away.bundlePath = QStringLiteral("/media/larkhold-nobody/NoSuchDisk/Away.sparsebundle");
    listed.append(away);
    startHomeStore();
    MainWindow& w = openWindow();
    QStringList shown;
    FileLocationEnvironment environment = VaultFileLocation::environment();
    environment.showInFileManager = [&](const QString& path) { shown << path; };
    VaultFileLocation::setEnvironment(environment);

    w.actions().revealFile(here);
    ASSERT_TRUE(eventually([&] { return shown.size() == 1; }));
    EXPECT_EQ(shown.first(), here.bundlePath);
    EXPECT_TRUE(Dialogs::askedAlerts().isEmpty());

    Dialogs::answerNextAlert(2); // OK
    w.actions().revealFile(moved);
    ASSERT_TRUE(eventually([&] { return Dialogs::askedAlerts().size() == 1; }));
    EXPECT_EQ(Dialogs::askedAlerts().last().text, QStringLiteral("“Moved” is not in that location"));
    EXPECT_EQ(Dialogs::askedAlerts().last().buttons,
              (QStringList{QStringLiteral("Locate…"), QStringLiteral("Remove from List"), QStringLiteral("OK")}));

    Dialogs::answerNextAlert(0);
    w.actions().revealFile(away);
    ASSERT_TRUE(eventually([&] { return Dialogs::askedAlerts().size() == 2; }));
    EXPECT_EQ(Dialogs::askedAlerts().last().text, QStringLiteral("Waiting for disk"));
    EXPECT_TRUE(Dialogs::askedAlerts().last().informativeText.contains(away.bundlePath));
    environment.showInFileManager = nullptr;
    VaultFileLocation::setEnvironment(environment);
}

TEST_F(HomeWindow, RelocatedAlertLocatesOrRemovesBehindTheOwnerCheck) {
    Vault a = pocketVault(QStringLiteral("Moved"), QStringLiteral("pw"));
    a.requireTouchID = true;
    listed.last() = a;
    const QString newPath = QFileInfo(a.bundlePath).dir().filePath(QStringLiteral("Renamed.pocketvault"));
    ASSERT_TRUE(QFile::rename(a.bundlePath, newPath));
    startHomeStore();
    openWindow();

    // "Locate…" opens the panel in the folder the file was in, and the choice re-binds the row.
    Dialogs::answerNextAlert(0);
    Dialogs::answerNextFileChoice(newPath);
    storeHost->presentRelocated(a);
    // The panel opens once its folder answered a look off the GUI thread.
    ASSERT_TRUE(eventually([&] { return Dialogs::askedFileChoices().size() == 1; }));
    const FileChoiceSpec panel = Dialogs::askedFileChoices().first();
    EXPECT_EQ(panel.acceptLabel, QStringLiteral("Locate Vault"));
    EXPECT_EQ(panel.message, QStringLiteral("Choose the Pocket Vault file for “Moved” (.pocketvault or .nosync)."));
    EXPECT_EQ(panel.directory, QFileInfo(newPath).path());
    // The chosen file is looked at off the GUI thread before the row is re-bound.
    EXPECT_TRUE(eventually([&] { return home->vaults().first().bundlePath == newPath; }));

    // "Remove from List" asks the owner check; refused, the vault stays.
    owner.queueAnswers({false});
    Dialogs::answerNextAlert(1);
    storeHost->presentRelocated(a);
    ASSERT_TRUE(eventually([&] { return owner.callCount() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(home->vaults().size(), 1);
    owner.queueAnswers({true});
    Dialogs::answerNextAlert(1);
    storeHost->presentRelocated(a);
    ASSERT_TRUE(eventually([&] { return home->vaults().isEmpty(); }));
}

TEST_F(HomeWindow, AddingAnExistingVaultGoesThroughThePanel) {
    const Vault outside = newRecord(QStringLiteral("Found"), VaultKind::standard, QStringLiteral(".sparsebundle"), 64);
    QDir().mkpath(outside.bundlePath);
    startHomeStore();
    MainWindow& w = openWindow();
    Dialogs::answerNextFileChoice(std::nullopt);
    w.actions().addExisting();
    EXPECT_TRUE(home->vaults().isEmpty());
    Dialogs::answerNextFileChoice(outside.bundlePath);
    w.actions().addExisting();
    ASSERT_TRUE(eventually([&] { return home->vaults().size() == 1; }));
    EXPECT_EQ(Dialogs::askedFileChoices().last().message,
              QStringLiteral("Choose a vault file (.sparsebundle, .pocketvault or .nosync)"));
    EXPECT_EQ(Dialogs::askedFileChoices().last().acceptLabel, QStringLiteral("Add Vault"));
    ASSERT_TRUE(eventually([&] { return classic()->cards().size() == 1; }));
    EXPECT_FALSE(classic()->showsEmptyState());
    EXPECT_TRUE(Dialogs::isVaultBundle(outside.bundlePath));
}

TEST_F(HomeWindow, StoreQuestionsAreAnsweredInPlace) {
    startHomeStore();
    openWindow();
    Dialogs::answerNextAlert(1);
    StoreAlert question{QStringLiteral("Add a second password to “P”?"),
                        QStringLiteral("Text"),
                        {QStringLiteral("Continue"), QStringLiteral("Cancel")}};
    EXPECT_EQ(storeHost->runAlert(question), 1);
    EXPECT_EQ(Dialogs::askedAlerts().last().cancelButton, 1);
}

TEST_F(HomeWindow, MenuTalksToTheStoreForCloudSyncAndTheSecondPassword) {
    const Vault a = standardVault(QStringLiteral("Synced"));
    const Vault p = pocketVault(QStringLiteral("Pocket"), QStringLiteral("pw"));
    startHomeStore();
    MainWindow& w = openWindow();

    std::unique_ptr<QMenu> menu(VaultContextMenu::create(a, w.context(), &w));
    menu->setAttribute(Qt::WA_DeleteOnClose, false);
    // Only the entry that destroys something is drawn in red.
    auto* drawn = qobject_cast<VaultMenu*>(menu.get());
    ASSERT_NE(drawn, nullptr);
    const QColor red = Theme::systemRed(menu->palette());
    EXPECT_EQ(drawn->styleOptionFor(menuAction(*menu, VaultMenuItem::trash)).palette.color(QPalette::Text), red);
    EXPECT_NE(drawn->styleOptionFor(menuAction(*menu, VaultMenuItem::rename)).palette.color(QPalette::Text), red);
    QAction* cloud = menuAction(*menu, VaultMenuItem::keepOutOfCloud);
    ASSERT_NE(cloud, nullptr);
    EXPECT_FALSE(cloud->isChecked());
    cloud->trigger();
    ASSERT_TRUE(eventually([&] { return !home->isBusy(a.id); }));
    ASSERT_TRUE(home->vault(a.id).has_value());
    EXPECT_TRUE(home->vault(a.id)->excludedFromCloud);
    EXPECT_TRUE(home->vault(a.id)->bundlePath.endsWith(QStringLiteral(".nosync")));

    // Built while open, chosen after the vault was locked: nothing happens.
    ASSERT_TRUE(unlockHome(p, QStringLiteral("pw")));
    std::unique_ptr<QMenu> pocketMenu(VaultContextMenu::create(p, w.context(), &w));
    pocketMenu->setAttribute(Qt::WA_DeleteOnClose, false);
    QAction* second = menuAction(*pocketMenu, VaultMenuItem::secondPassword);
    ASSERT_NE(second, nullptr);
    QCoro::waitFor(home->lock(p, false, LockReason::manual));
    second->trigger();
    EXPECT_TRUE(host.alerts.isEmpty());
    EXPECT_TRUE(Dialogs::askedAlerts().isEmpty());
}

TEST_F(HomeWindow, HoverRaisesTheCardAndLeavingLowersIt) {
    const Vault a = standardVault(QStringLiteral("A"));
    startHomeStore();
    openWindow();
    VaultCard* card = classic()->card(a.id);
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), card->mapToGlobal(QPointF(10, 10)));
    QCoreApplication::sendEvent(card, &enter);
    ASSERT_TRUE(eventually([&] { return card->hoverProgress() == 1.0; }));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(card, &leave);
    ASSERT_TRUE(eventually([&] { return card->hoverProgress() == 0.0; }));
}

} // namespace
} // namespace larkhold::test
