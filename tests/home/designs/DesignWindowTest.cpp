// The Native Pro, Night Watch and Soft Focus designs in the main window, over the fake engine.

#include "ClassicHome.h"
#include "DesignParts.h"
#include "HomeFixture.h"
#include "NativeProDetailPane.h"
#include "NativeProHome.h"
#include "NightWatchHome.h"
#include "NightWatchHomeText.h"
#include "SoftFocusHome.h"
#include "SoftFocusHomeText.h"
#include "VaultCard.h"

#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>

namespace larkhold::test {
namespace {

constexpr qint64 MB = 1'048'576;

class Designs : public HomeFixture {
protected:
    MainWindow& openDesign(const QString& raw) {
        defaults.setValue(SettingsKeys::appTheme, raw);
        return openWindow();
    }
    template <typename Design> Design* design() const { return qobject_cast<Design*>(window->design()); }

    // A standard vault on a disk that is not connected.
    Vault awayVault(const QString& name) {
        Vault v = newRecord(name, VaultKind::standard, QStringLiteral(".sparsebundle"), 4096);
        v.bundlePath = QStringLiteral("/media/larkhold-nobody/Backup/") + name + QStringLiteral(".sparsebundle");
        listed.append(v);
        return v;
    }
    // A standard vault whose file has gone from a connected disk.
    Vault movedVault(const QString& name) {
        const Vault v = standardVault(name);
        QDir(v.bundlePath).removeRecursively();
        return v;
    }
};

// ---- Soft Focus ----

TEST_F(Designs, SoftFocusWithNoVaultInvitesTheFirstOne) {
    startHomeStore();
    MainWindow& w = openDesign(QStringLiteral("softFocus"));
    auto* sf = design<SoftFocusHome>();
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(sf->statusLabel()->text(), QStringLiteral("Create your first vault."));
    EXPECT_TRUE(sf->cards().isEmpty());
    EXPECT_TRUE(sf->newVaultZone()->isVisibleTo(&w));
    QStringList chips;
    for (DesignChip* chip : sf->footerChips())
        chips.append(chip->text());
    EXPECT_EQ(chips, (QStringList{QString::fromUtf8("\U0001F512 all locked"), QStringLiteral("Zero KB on disk")}));
    EXPECT_FALSE(sf->lockAllButton()->isEnabled());

    // The zone, the header button and Ctrl+N all start a new vault.
    QTest::mouseClick(sf->newVaultZone(), Qt::LeftButton, {}, QPoint(5, 5));
    ASSERT_TRUE(eventually([&] { return sheets.calls.size() == 1; }));
    w.currentSheet()->reject();
    ASSERT_TRUE(eventually([&] { return !w.currentSheet(); }));
    QTest::mouseClick(sf->newVaultButton(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return sheets.calls.size() == 2; }));
    w.currentSheet()->reject();
    ASSERT_TRUE(eventually([&] { return !w.currentSheet(); }));
    QTest::keyClick(&w, Qt::Key_N, Qt::ControlModifier);
    ASSERT_TRUE(eventually([&] { return sheets.calls.size() == 3; }));
    EXPECT_EQ(sheets.calls, (QStringList{"create", "create", "create"}));
}

TEST_F(Designs, SoftFocusCardsFollowPositionStateAndClock) {
    Vault first = standardVault(QStringLiteral("First"));
    Vault second = standardVault(QStringLiteral("Second"));
    second.lastOpenedAt = clock.now().addingSeconds(-2 * 3600);
    second.excludedFromCloud = true;
    listed[1] = second;
    const Vault pocket = pocketVault(QStringLiteral("Pocket"), QStringLiteral("pw"));
    startHomeStore();
    home->setSizeOnDisk(first.id, 512 * MB); // exactly half
    home->setSizeOnDisk(second.id, 511 * MB);
    MainWindow& w = openDesign(QStringLiteral("softFocus"));

    // The same store shown with the fixture's clock.
    SoftFocusHome sf(w.context(), nullptr, &clock);
    ASSERT_EQ(sf.cards().size(), 3);
    SoftFocusCard* a = sf.card(first.id);
    SoftFocusCard* b = sf.card(second.id);
    SoftFocusCard* p = sf.card(pocket.id);
    EXPECT_EQ(a->ring()->fraction(), 0.5);
    EXPECT_EQ(a->percentLabel()->text(), QStringLiteral("50%"));
    EXPECT_EQ(a->percentLabel()->palette().color(QPalette::WindowText), SoftFocusColors::purple);
    EXPECT_EQ(b->percentLabel()->palette().color(QPalette::WindowText), SoftFocusColors::teal);
    EXPECT_EQ(a->chipTexts(), QStringList{QStringLiteral("getting full")});
    EXPECT_EQ(b->chipTexts(), QStringList{QStringLiteral("local only")});
    EXPECT_TRUE(b->metaLabel()->text().endsWith(QStringLiteral(" · opened 2 hr. ago")));
    EXPECT_TRUE(p->ring()->isSealed());
    EXPECT_EQ(p->metaLabel()->text(), QStringLiteral("Pocket Vault · 1 MB"));
    EXPECT_TRUE(a->unlockButton()->isVisibleTo(a));
    EXPECT_FALSE(a->lockButton()->isVisibleTo(a));

    // Opened, the ring turns green and the percentage keeps the position colour; the line gains
    // the time it was opened, from the same clock.
    ASSERT_TRUE(unlockHome(pocket));
    EXPECT_FALSE(p->ring()->isSealed());
    EXPECT_EQ(p->percentLabel()->palette().color(QPalette::WindowText), SoftFocusColors::purple);
    EXPECT_EQ(p->chipTexts().first(), QStringLiteral("open"));
    EXPECT_TRUE(p->metaLabel()->text().contains(QStringLiteral(" used of 1 MB · opened ")));
    EXPECT_TRUE(p->openButton()->isVisibleTo(p));
    EXPECT_TRUE(p->lockButton()->isVisibleTo(p));
    EXPECT_EQ(sf.statusLabel()->text(), QStringLiteral("1 of 3 vaults open."));
    EXPECT_TRUE(sf.lockAllButton()->isEnabled());

    // The greeting is read from the clock at each refresh.
    clock.set(Date::fromDateTime(QDateTime(QDate(2024, 3, 5), QTime(6, 0), Qt::LocalTime)));
    sf.refresh();
    EXPECT_EQ(sf.greetingLabel()->text(), QStringLiteral("Good morning."));
    clock.set(Date::fromDateTime(QDateTime(QDate(2024, 3, 5), QTime(19, 0), Qt::LocalTime)));
    sf.refresh();
    EXPECT_EQ(sf.greetingLabel()->text(), QStringLiteral("Good evening."));

    // Removing the first vault moves every card up one colour.
    QCoro::waitFor(home->forget(first));
    ASSERT_EQ(sf.cards().size(), 2);
    EXPECT_EQ(sf.card(second.id)->percentLabel()->palette().color(QPalette::WindowText), SoftFocusColors::purple);
}

TEST_F(Designs, SoftFocusMissingFilesAndBusyVaults) {
    const Vault away = awayVault(QStringLiteral("Away"));
    const Vault moved = movedVault(QStringLiteral("Moved"));
    const Vault busy = standardVault(QStringLiteral("Busy"));
    startHomeStore();
    HomeStore::BusyMark mark(*home, busy.id);
    openDesign(QStringLiteral("softFocus"));
    auto* sf = design<SoftFocusHome>();
    SoftFocusCard* a = sf->card(away.id);
    SoftFocusCard* m = sf->card(moved.id);
    SoftFocusCard* b = sf->card(busy.id);
    EXPECT_EQ(a->chipTexts(), QStringList{QStringLiteral("waiting for disk")});
    EXPECT_EQ(a->metaLabel()->text(), QStringLiteral("Waiting for the disk that holds this vault."));
    EXPECT_TRUE(a->unlockButton()->isVisibleTo(a));
    EXPECT_EQ(m->chipTexts(), QStringList{QStringLiteral("file missing")});
    EXPECT_EQ(m->metaLabel()->text(), QStringLiteral("Vault file not found — locate it to keep unlocking."));
    EXPECT_TRUE(m->locateButton()->isVisibleTo(m));
    EXPECT_FALSE(m->unlockButton()->isVisibleTo(m));
    EXPECT_TRUE(b->progress()->isVisibleTo(b));
    EXPECT_FALSE(b->unlockButton()->isVisibleTo(b));
    EXPECT_TRUE(b->menuButton()->isVisibleTo(b));
}

// ---- Night Watch ----

TEST_F(Designs, NightWatchHeaderSearchAndShortcuts) {
    const Vault work = standardVault(QStringLiteral("Work Files"));
    const Vault photos = standardVault(QStringLiteral("Photos"));
    const Vault notes = pocketVault(QStringLiteral("Notes"), QStringLiteral("pw"));
    startHomeStore();
    MainWindow& w = openDesign(QStringLiteral("nightWatch"));
    auto* nw = design<NightWatchHome>();
    ASSERT_NE(nw, nullptr);
    EXPECT_EQ(nw->headlineLabel()->text(), QStringLiteral("All quiet."));
    EXPECT_TRUE(nw->summaryLabel()->text().startsWith(QStringLiteral("● 3/3 vaults locked · ")));
    EXPECT_FALSE(nw->lockAllButton()->isEnabled());
    EXPECT_EQ(nw->cards().size(), 3);

    ASSERT_TRUE(unlockHome(notes));
    EXPECT_EQ(nw->headlineLabel()->text(), QStringLiteral("1 open."));
    EXPECT_TRUE(nw->summaryLabel()->text().startsWith(QStringLiteral("● 2/3 vaults locked · ")));
    EXPECT_EQ(nw->summaryLabel()->palette().color(QPalette::WindowText), NightWatchColors::amber);
    EXPECT_TRUE(nw->lockAllButton()->isEnabled());

    // Ctrl+K puts the keyboard in the search field from anywhere in the window.
    nw->lockAllButton()->setFocus();
    QTest::keyClick(&w, Qt::Key_K, Qt::ControlModifier);
    ASSERT_TRUE(eventually([&] { return nw->searchField()->hasFocus(); }));
    QTest::keyClicks(nw->searchField(), QStringLiteral("work"));
    ASSERT_EQ(nw->cards().size(), 1);
    EXPECT_EQ(nw->cards().first()->vault().id, work.id);
    // A search that finds nothing shows no cards and no empty state; the activity stays.
    nw->searchField()->setText(QStringLiteral("zzz"));
    EXPECT_TRUE(nw->cards().isEmpty());
    EXPECT_FALSE(nw->emptyState()->isVisibleTo(nw));
    EXPECT_TRUE(nw->activityPanel()->isVisibleTo(nw));
    nw->searchField()->clear();
    EXPECT_EQ(nw->cards().size(), 3);

    // Closing and reopening the window forgets the search.
    nw->searchField()->setText(QStringLiteral("photo"));
    ASSERT_EQ(nw->cards().size(), 1);
    EXPECT_EQ(nw->cards().first()->vault().id, photos.id);
    w.close();
    w.show();
    EXPECT_TRUE(nw->searchField()->text().isEmpty());
    EXPECT_EQ(nw->cards().size(), 3);
}

TEST_F(Designs, NightWatchCardsRingsChipsAndAutoLockMinutes) {
    const Vault low = standardVault(QStringLiteral("Low"));
    const Vault half = standardVault(QStringLiteral("Half"));
    const Vault over = standardVault(QStringLiteral("Over"));
    startHomeStore();
    home->setSizeOnDisk(low.id, 506 * MB); // 0.4941…: 49 %
    home->setSizeOnDisk(half.id, 512 * MB);
    home->setSizeOnDisk(over.id, 1331 * MB); // 1.2998: 130 %
    defaults.setValue(SettingsKeys::autoLockMinutes, 0);
    openDesign(QStringLiteral("nightWatch"));
    auto* nw = design<NightWatchHome>();
    NightWatchCard* l = nw->card(low.id);
    NightWatchCard* h = nw->card(half.id);
    NightWatchCard* o = nw->card(over.id);
    EXPECT_EQ(l->percentLabel()->text(), QStringLiteral("49%"));
    EXPECT_TRUE(l->chipTexts().isEmpty());
    EXPECT_EQ(h->chipTexts(), QStringList{QStringLiteral("50% FULL")});
    EXPECT_EQ(h->percentLabel()->palette().color(QPalette::WindowText), NightWatchColors::amber);
    EXPECT_EQ(o->chipTexts(), QStringList{QStringLiteral("130% FULL")});
    EXPECT_EQ(o->percentLabel()->palette().color(QPalette::WindowText), NightWatchColors::red);
    EXPECT_TRUE(o->ring()->shadowLook().has_value());

    // The store waits at least a minute: the line never promises "0 min".
    EXPECT_TRUE(l->metaLabel()->text().replace(QChar::Nbsp, u' ').remove(QChar(0x2060)).endsWith(QStringLiteral(" · auto-lock 1 min")));
    defaults.setValue(SettingsKeys::autoLockMinutes, 30);
    EXPECT_TRUE(l->metaLabel()->text().replace(QChar::Nbsp, u' ').remove(QChar(0x2060)).endsWith(QStringLiteral(" · auto-lock 30 min")));
    defaults.setValue(SettingsKeys::autoLockEnabled, false);
    EXPECT_FALSE(l->metaLabel()->text().replace(QChar::Nbsp, u' ').remove(QChar(0x2060)).contains(QStringLiteral("auto-lock")));
}

TEST_F(Designs, NightWatchShowsTheNewestFourEventsAndAnEmptyList) {
    startHomeStore();
    openDesign(QStringLiteral("nightWatch"));
    auto* nw = design<NightWatchHome>();
    EXPECT_TRUE(nw->emptyState()->isVisibleTo(nw));
    EXPECT_FALSE(nw->activityPanel()->isVisibleTo(nw));
    for (int i = 0; i < 6; ++i)
        home->recordActivity(QStringLiteral("event %1").arg(i));
    const QStringList lines = nw->activityLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines.first().endsWith(QStringLiteral(" · event 5")));
    EXPECT_TRUE(lines.last().endsWith(QStringLiteral(" · event 2")));
    EXPECT_TRUE(nw->activityPanel()->isVisibleTo(nw));
}

// ---- Native Pro ----

TEST_F(Designs, NativeProSelectionFollowsClicksAndTheListButNotTheSearch) {
    const Vault a = standardVault(QStringLiteral("Alpha"));
    const Vault b = standardVault(QStringLiteral("Work Files"));
    const Vault c = standardVault(QStringLiteral("Gamma"));
    startHomeStore();
    openDesign(QStringLiteral("nativePro"));
    auto* np = design<NativeProHome>();
    ASSERT_NE(np, nullptr);
    ASSERT_EQ(np->rows().size(), 3);
    EXPECT_TRUE(np->row(a.id)->isSelected());
    EXPECT_EQ(np->detailPane()->shownVault()->id, a.id);

    QTest::mouseClick(np->row(c.id), Qt::LeftButton);
    EXPECT_TRUE(np->row(c.id)->isSelected());
    EXPECT_FALSE(np->row(a.id)->isSelected());
    EXPECT_EQ(np->detailPane()->stateLabel()->text(), QStringLiteral("Gamma is locked"));

    // The search hides rows but keeps the selected vault in the pane.
    QTest::keyClicks(np->searchField(), QStringLiteral("work"));
    ASSERT_EQ(np->rows().size(), 1);
    EXPECT_EQ(np->rows().first()->vault().id, b.id);
    EXPECT_EQ(np->detailPane()->shownVault()->id, c.id);
    EXPECT_EQ(np->summaryLabel()->text(), QStringLiteral("3 vaults · all locked"));

    // Removing the selected vault selects the first of the list.
    np->searchField()->clear();
    QCoro::waitFor(home->forget(c));
    EXPECT_EQ(np->detailPane()->shownVault()->id, a.id);
    EXPECT_TRUE(np->row(a.id)->isSelected());
}

TEST_F(Designs, NativeProSidebarScrollsInsteadOfCuttingRowsOff) {
    for (int i = 0; i < 40; ++i)
        standardVault(QStringLiteral("Vault %1").arg(i, 2, 10, QLatin1Char('0')));
    startHomeStore();
    MainWindow& w = openDesign(QStringLiteral("nativePro"));
    w.resize(700, 440);
    ASSERT_TRUE(eventually([&] { return w.size() == QSize(700, 440); }));
    auto* np = design<NativeProHome>();
    const QList<NativeProSidebarRow*> rows = np->rows();
    ASSERT_EQ(rows.size(), 40);
    for (NativeProSidebarRow* row : rows)
        EXPECT_GE(row->height(), row->sizeHint().height()) << row->vault().name.toStdString();
    QScrollBar* bar = np->sidebarList()->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    // The last row can be brought into view, whole.
    np->sidebarList()->ensureWidgetVisible(rows.last(), 0, 0);
    QCoreApplication::processEvents();
    const QRect shown = rows.last()->visibleRegion().boundingRect();
    EXPECT_EQ(shown.height(), rows.last()->height());
}

TEST_F(Designs, NativeProDetailPaneForEachKindOfVault) {
    Vault standard = standardVault(QStringLiteral("Standard"));
    standard.excludedFromCloud = true;
    standard.requireTouchID = true;
    listed.last() = standard;
    const Vault pocket = pocketVault(QStringLiteral("Pocket"), QStringLiteral("pw"));
    const Vault away = awayVault(QStringLiteral("Away"));
    const Vault moved = movedVault(QStringLiteral("Moved"));
    const Vault busy = standardVault(QStringLiteral("Busy"));
    startHomeStore();
    HomeStore::BusyMark mark(*home, busy.id);
    defaults.setValue(SettingsKeys::autoLockMinutes, 0);
    MainWindow& w = openDesign(QStringLiteral("nativePro"));
    w.statusCache().setProbes(&probeVaultFile, [id = standard.id](const QUuid& v) { return v == id; });
    settleStatus();
    auto* np = design<NativeProHome>();
    NativeProDetailPane* pane = np->detailPane();
    auto select = [&](const Vault& v) {
        QTest::mouseClick(np->row(v.id), Qt::LeftButton);
        ASSERT_EQ(pane->shownVault()->id, v.id);
    };

    select(standard);
    EXPECT_EQ(pane->chipTexts(), (QStringList{"Locked", "Local only", "System authentication"}));
    EXPECT_EQ(pane->unlockButton()->text(), QStringLiteral("Unlock with system authentication"));
    EXPECT_TRUE(pane->usePasswordButton()->isVisibleTo(pane));
    EXPECT_EQ(pane->ringCaptionLabel()->text(), QStringLiteral("of 1 GB"));
    EXPECT_FALSE(pane->lastOpenedLabel()->isVisibleTo(pane));
    EXPECT_FALSE(pane->lockAllButton()->isEnabled());
    // A stored 0 still keeps vaults open a minute: the caption says so.
    EXPECT_EQ(pane->autoLockLabel()->text(), QStringLiteral("Auto-locks 1 min after last use"));

    select(pocket);
    EXPECT_EQ(pane->unlockButton()->text(), QStringLiteral("Unlock…"));
    EXPECT_TRUE(pane->ring()->isSealed());
    EXPECT_EQ(pane->ringFigureLabel()->text(), QStringLiteral("1 MB"));
    EXPECT_EQ(pane->ringCaptionLabel()->text(), QStringLiteral("Pocket Vault"));
    ASSERT_TRUE(unlockHome(pocket));
    EXPECT_EQ(pane->chipTexts(), QStringList{QStringLiteral("Open")});
    EXPECT_EQ(pane->openButton()->text(), QStringLiteral("Open"));
    EXPECT_TRUE(pane->lockButton()->isVisibleTo(pane));
    EXPECT_EQ(pane->stateLabel()->text(), QStringLiteral("Pocket is open"));
    EXPECT_TRUE(pane->lastOpenedLabel()->isVisibleTo(pane));
    EXPECT_TRUE(pane->lockAllButton()->isEnabled());

    select(away);
    EXPECT_EQ(pane->chipTexts(), QStringList{QStringLiteral("Waiting for disk")});
    EXPECT_TRUE(pane->unlockButton()->isVisibleTo(pane));
    EXPECT_FALSE(pane->usePasswordButton()->isVisibleTo(pane));

    select(moved);
    EXPECT_EQ(pane->chipTexts(), QStringList{QStringLiteral("File missing")});
    EXPECT_TRUE(pane->locateButton()->isVisibleTo(pane));
    EXPECT_FALSE(pane->unlockButton()->isVisibleTo(pane));

    select(busy);
    EXPECT_TRUE(pane->progress()->isVisibleTo(pane));
    EXPECT_FALSE(pane->unlockButton()->isVisibleTo(pane));
    EXPECT_FALSE(pane->usePasswordButton()->isVisibleTo(pane));
    EXPECT_EQ(pane->chipTexts(), QStringList{QStringLiteral("Locked")});
}

TEST_F(Designs, NativeProSettingsLinkRunsTheWindowsSettingsCommand) {
    standardVault(QStringLiteral("A"));
    startHomeStore();
    MainWindow& w = openDesign(QStringLiteral("nativePro"));
    // As the application's menu puts it on the window.
    auto* settings = new QAction(QStringLiteral("Settings…"), &w);
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    w.addAction(settings);
    int opened = 0;
    QObject::connect(settings, &QAction::triggered, [&] { ++opened; });
    auto* np = design<NativeProHome>();
    QTest::mouseClick(np->detailPane()->settingsButton(), Qt::LeftButton);
    EXPECT_EQ(opened, 1);
}

TEST_F(Designs, NativeProEmptyStateAndTheFirstVault) {
    startHomeStore();
    openDesign(QStringLiteral("nativePro"));
    auto* np = design<NativeProHome>();
    EXPECT_TRUE(np->detailPane()->showsEmptyState());
    EXPECT_EQ(np->summaryLabel()->text(), QStringLiteral("No vaults yet"));
    EXPECT_EQ(np->totalLabel()->text(), QStringLiteral("Zero KB"));
    QTest::mouseClick(np->detailPane()->createFirstButton(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return sheets.calls == QStringList{QStringLiteral("create")}; }));

    // A vault added to the list is selected at once.
    const Vault a = standardVault(QStringLiteral("First"));
    QCoro::waitFor(home->addExistingVault(a.bundlePath));
    ASSERT_EQ(np->rows().size(), 1);
    EXPECT_FALSE(np->detailPane()->showsEmptyState());
    EXPECT_EQ(np->detailPane()->stateLabel()->text(), QStringLiteral("First is locked"));
    EXPECT_TRUE(np->rows().first()->isSelected());
}

// ---- the design switch ----

// The sheets belong to the window: a design switched under an open sheet leaves it working.
TEST_F(Designs, SwitchingDesignsKeepsAnOpenSheetWorking) {
    const Vault a = standardVault(QStringLiteral("A"));
    startHomeStore();
    MainWindow& w = openDesign(QStringLiteral("softFocus"));
    QTest::mouseClick(design<SoftFocusHome>()->card(a.id)->unlockButton(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return sheets.calls.contains(QStringLiteral("unlock:A")); }));
    QPointer<QDialog> sheet = w.currentSheet();
    ASSERT_TRUE(sheet);

    for (const char* raw : {"nightWatch", "nativePro", "classic", "softFocus"}) {
        defaults.setValue(SettingsKeys::appTheme, QString::fromLatin1(raw));
        QCoreApplication::processEvents();
        ASSERT_TRUE(sheet) << raw;
        EXPECT_TRUE(sheet->isVisible()) << raw;
        EXPECT_EQ(sheet->parentWidget(), &w) << raw;
        EXPECT_EQ(w.currentSheet(), sheet.data()) << raw;
    }
    ASSERT_NE(design<SoftFocusHome>(), nullptr);

    // Closing it still answers the store, and the new design's buttons open the next one.
    sheet->reject();
    ASSERT_TRUE(eventually([&] { return !home->passwordPromptVault().has_value() && !w.currentSheet(); }));
    QTest::mouseClick(design<SoftFocusHome>()->card(a.id)->unlockButton(), Qt::LeftButton);
    ASSERT_TRUE(eventually([&] { return sheets.calls.count(QStringLiteral("unlock:A")) == 2; }));
    EXPECT_TRUE(w.currentSheet());
}

TEST_F(Designs, SmallMeasuresOfTheCardAndTheDesigns) {
    Vault standard = standardVault(QStringLiteral("Standard"));
    standard.excludedFromCloud = true;
    standard.requireTouchID = true;
    listed.last() = standard;
    startHomeStore();

    // The card's cloud and owner-check symbols are as small as the open symbol beside them.
    openDesign(QStringLiteral("classic"));
    auto* classic = design<ClassicHome>();
    ASSERT_NE(classic, nullptr);
    ASSERT_EQ(classic->cards().size(), 1);
    QStringList symbols;
    for (SymbolView* symbol : classic->cards().first()->findChildren<SymbolView*>()) {
        if (symbol->symbol() == QStringLiteral("icloud.slash") || symbol->symbol() == QStringLiteral("touchid")) {
            EXPECT_EQ(symbol->pixelSize(), 11) << symbol->symbol().toStdString();
            symbols.append(symbol->symbol());
        }
    }
    EXPECT_EQ(symbols.size(), 2);

    // Night Watch's title sits at the very top; Soft Focus's card list ends without a margin.
    openDesign(QStringLiteral("nightWatch"));
    auto* nw = design<NightWatchHome>();
    ASSERT_NE(nw, nullptr);
    const QList<QLabel*> titles = nw->findChildren<QLabel*>();
    const auto title = std::find_if(titles.begin(), titles.end(),
                                    [](QLabel* label) { return label->text() == NightWatchHomeText::kTitle; });
    ASSERT_NE(title, titles.end());
    EXPECT_EQ((*title)->contentsMargins().top(), 0);
    EXPECT_EQ((*title)->mapTo(nw, QPoint(0, 0)).y(), 0);

    openDesign(QStringLiteral("softFocus"));
    auto* sf = design<SoftFocusHome>();
    ASSERT_NE(sf, nullptr);
    auto* list = sf->findChild<QScrollArea*>(QStringLiteral("vaultList"));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->widget()->layout()->contentsMargins().bottom(), 0);
}

TEST_F(Designs, EachDesignGetsItsSizeAndScheme) {
    startHomeStore();
    MainWindow& w = openDesign(QStringLiteral("nativePro"));
    EXPECT_NE(design<NativeProHome>(), nullptr);
    EXPECT_FALSE(ColorScheme::isDark(w.design()));
    defaults.setValue(SettingsKeys::appTheme, QStringLiteral("nightWatch"));
    ASSERT_TRUE(eventually([&] { return w.size() == QSize(700, 600); }));
    EXPECT_NE(design<NightWatchHome>(), nullptr);
    EXPECT_TRUE(ColorScheme::isDark(w.design()));
    defaults.setValue(SettingsKeys::appTheme, QStringLiteral("softFocus"));
    ASSERT_TRUE(eventually([&] { return w.size() == QSize(700, 560); }));
    EXPECT_NE(design<SoftFocusHome>(), nullptr);
    EXPECT_FALSE(ColorScheme::isDark(w.design()));
    EXPECT_EQ(w.design()->minimumSize(), QSize(620, 480));
}

} // namespace
} // namespace larkhold::test
