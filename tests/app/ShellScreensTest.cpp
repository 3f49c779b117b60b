#include "AuxWindows.h"
#include "Changelog.h"
#include "MenuBarIcon.h"
#include "MenuBarPanel.h"
#include "Screens.h"
#include "TrayMenu.h"
#include "fakes/store/StoreFixture.h"

#include <QCoroTask>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

namespace larkhold::test {
namespace {

// The shell's windows as a person sees them, written to build/screens/app/.
class ShellScreens : public StoreFixture {
protected:
    void SetUp() override {
        initAppResources();
        Vault work =
            newRecord(QStringLiteral("Work Documents"), VaultKind::standard, QStringLiteral(".sparsebundle"), 1024);
        QDir().mkpath(work.bundlePath);
        listed.append(work);
        Vault archive =
            newRecord(QStringLiteral("Archive"), VaultKind::standard, QStringLiteral(".sparsebundle"), 20480);
        QDir().mkpath(archive.bundlePath);
        listed.append(archive);
        notes = pocketVault(QStringLiteral("Notes"), QStringLiteral("pw"));
        pocketVault(QStringLiteral("Passport Scans"), QStringLiteral("pw"));
        Vault moved =
            newRecord(QStringLiteral("Taxes 2023"), VaultKind::standard, QStringLiteral(".sparsebundle"), 512);
        listed.append(moved);
        Vault away = newRecord(QStringLiteral("Photos"), VaultKind::standard, QStringLiteral(".sparsebundle"), 4096);
        away.bundlePath = QStringLiteral("/media/nobody/Backup Disk/Photos.sparsebundle");
        listed.append(away);
        startStore();
        setToolFile(QStringLiteral("du.kb"), "860000"); // 0.82 of Work Documents: orange
        QCoro::waitFor(store->refresh());
        EXPECT_TRUE(unlockWith(notes, QStringLiteral("pw")));
    }

    void expectShippable(const ScreenReport& report) {
        EXPECT_TRUE(report.ok()) << report.problems.join(QStringLiteral("; ")).toStdString();
    }

    Vault notes;
    ShellActions actions;
};

TEST_F(ShellScreens, PanelInEveryDesign) {
    MenuBarPanel panel(*store, defaults, actions);
    for (const QString& theme : {QStringLiteral("classic"), QStringLiteral("nativePro"), QStringLiteral("nightWatch"),
                                 QStringLiteral("softFocus")}) {
        defaults.setValue(SettingsKeys::appTheme, theme);
        ScreenOptions options;
        options.beforeGrab = [&panel](bool) { panel.rebuild(); };
        // Designs that choose their own scheme look the same in both; one screen each is enough.
        const std::optional<bool> forced = panelWantsDark(theme);
        if (forced) {
            options.light = !*forced;
            options.dark = *forced;
        }
        expectShippable(renderScreen(&panel, QStringLiteral("app"), QStringLiteral("panel-") + theme, options));
    }
}

TEST_F(ShellScreens, EmptyPanel) {
    QCoro::waitFor(store->lockAll(true, LockReason::manual));
    for (const Vault& vault : QList<Vault>(store->vaults()))
        QCoro::waitFor(store->forget(vault));
    MenuBarPanel panel(*store, defaults, actions);
    ScreenOptions options;
    options.beforeGrab = [&panel](bool) { panel.rebuild(); };
    expectShippable(renderScreen(&panel, QStringLiteral("app"), QStringLiteral("panel-empty"), options));
}

TEST_F(ShellScreens, PlainMenu) {
    TrayMenu menu(*store, actions);
    expectShippable(renderScreen(&menu, QStringLiteral("app"), QStringLiteral("menu")));
}

TEST_F(ShellScreens, About) {
    AboutView about;
    expectShippable(renderScreen(&about, QStringLiteral("app"), QStringLiteral("about")));

    // The links take the link colour of the scheme in use, not the one they were first laid out in.
    const QList<QLabel*> links = about.findChildren<QLabel*>();
    for (const bool dark : {true, false}) {
        useColorScheme(dark);
        const QString colour = about.palette().color(QPalette::Link).name();
        int seen = 0;
        for (const QLabel* link : links) {
            if (link->textFormat() != Qt::RichText)
                continue;
            ++seen;
            EXPECT_TRUE(link->text().contains(colour))
                << link->text().toStdString() << " wants " << colour.toStdString();
        }
        EXPECT_EQ(seen, 2);
    }
}

TEST_F(ShellScreens, WhatsNew) {
    ChangelogView changelog;
    // Every headline and detail line shows whole at the window's fixed size; they elide only if a
    // desktop font leaves them no room.
    ScreenOptions options;
    options.showWhole = {QStringLiteral("versionTitle"), QStringLiteral("pointName"), QStringLiteral("pointDetail")};
    expectShippable(renderScreen(&changelog, QStringLiteral("app"), QStringLiteral("whats-new"), options));

    // The cards keep to the viewport: nothing runs out to the right or under the scroll bar.
    auto* scroll = changelog.findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    QWidget* viewport = scroll->viewport();
    EXPECT_LE(scroll->widget()->width(), viewport->width());
    const QScrollBar* bar = scroll->verticalScrollBar();
    ASSERT_TRUE(bar->isVisible()) << "the list is taller than the window";
    const int barLeft = bar->mapTo(&changelog, QPoint(0, 0)).x();
    const QList<QFrame*> cards = changelog.findChildren<QFrame*>(QStringLiteral("versionCard"));
    ASSERT_EQ(cards.size(), Changelog::entries().size());
    for (const QFrame* card : cards) {
        const int left = card->mapTo(viewport, QPoint(0, 0)).x();
        EXPECT_GE(left, 0);
        EXPECT_LE(left + card->width(), viewport->width());
        EXPECT_LT(card->mapTo(&changelog, QPoint(card->width() - 1, 0)).x(), barLeft);
    }

    // The oldest releases, at the end of the list.
    options.beforeGrab = [bar](bool) { const_cast<QScrollBar*>(bar)->setValue(bar->maximum()); };
    expectShippable(renderScreen(&changelog, QStringLiteral("app"), QStringLiteral("whats-new-end"), options));
}

// The tray icon as panels show it: rows light and dark panel; columns the closed and the open lock, each
// drawn for the panel seen, then guessed light and guessed dark. Four times the size, to be looked at.
TEST(ShellScreensTray, IconOnLightAndDarkPanels) {
    initAppResources();
    constexpr int side = 22, cell = 30;
    const QList<QColor> panels{QColor(0xee, 0xee, 0xee), QColor(0x22, 0x22, 0x22)};
    QImage sheet(cell * 6, cell * int(panels.size()), QImage::Format_RGB32);
    QPainter painter(&sheet);
    for (int row = 0; row < panels.size(); ++row) {
        const bool dark = row == 1;
        painter.fillRect(0, row * cell, sheet.width(), cell, panels[row]);
        int column = 0;
        for (const bool open : {false, true}) {
            const QList<QIcon> looks{MenuBarIcon::image(open, dark, true), MenuBarIcon::image(open, false, false),
                                     MenuBarIcon::image(open, true, false)};
            for (const QIcon& look : looks)
                painter.drawPixmap(column++ * cell + (cell - side) / 2, row * cell + (cell - side) / 2,
                                   look.pixmap(side, side));
        }
    }
    painter.end();
    const QString path = QDir(screensDir()).filePath(QStringLiteral("app/tray-icon.png"));
    QDir().mkpath(QFileInfo(path).path());
    EXPECT_TRUE(sheet.scaled(sheet.size() * 4, Qt::IgnoreAspectRatio, Qt::FastTransformation).save(path))
        << path.toStdString();
}

} // namespace
} // namespace larkhold::test
