#include "Theme.h"

#include "ColorScheme.h"
#include "Screens.h"
#include "Symbols.h"

#include <QApplication>
#include <QDBusVariant>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace larkhold {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <typename Predicate> bool waitFor(Predicate done) {
    return QTest::qWaitFor(done, 60'000);
}

TEST(AppThemeTest, RawValuesMatchExactlyAndEverythingElseIsClassic) {
    EXPECT_EQ(appThemeFromRaw(QStringLiteral("nightWatch")), AppTheme::nightWatch);
    EXPECT_EQ(appThemeFromRaw(QStringLiteral("softFocus")), AppTheme::softFocus);
    for (const char* raw : {"NightWatch", "", "dark", "classic ", "Classic"}) {
        EXPECT_FALSE(appThemeFromRaw(QString::fromLatin1(raw)).has_value()) << raw;
        EXPECT_EQ(appThemeOrClassic(QString::fromLatin1(raw)), AppTheme::classic) << raw;
    }
    const std::vector<AppTheme> expected{AppTheme::classic, AppTheme::nativePro, AppTheme::nightWatch,
                                         AppTheme::softFocus};
    EXPECT_EQ(allAppThemes(), expected);
    for (AppTheme theme : allAppThemes())
        EXPECT_EQ(appThemeFromRaw(rawValue(theme)), theme);
    EXPECT_EQ(rawValue(AppTheme::nativePro), QStringLiteral("nativePro"));
}

TEST(GradientTest, RunCornerToCornerWithTheDesignsStops) {
    const QRectF rect(10, 20, 100, 50);
    const QLinearGradient g = Theme::accent(rect);
    EXPECT_EQ(g.start(), rect.topLeft());
    EXPECT_EQ(g.finalStop(), rect.bottomRight());
    ASSERT_EQ(g.stops().size(), 2);
    EXPECT_NEAR(g.stops().first().second.redF(), 0.29, 0.003);
    EXPECT_NEAR(g.stops().last().second.blueF(), 0.92, 0.003);
    EXPECT_NEAR(Theme::locked(rect).stops().first().second.redF(), 0.45, 0.003);
    EXPECT_NEAR(Theme::critical(rect).stops().last().second.greenF(), 0.15, 0.003);
    // Built once and shared.
    EXPECT_EQ(&Theme::stops(GradientKind::warning), &Theme::stops(GradientKind::warning));
}

TEST(CapacityTest, UsedFractionCountsALimitBelowOneAsOneMegabyte) {
    EXPECT_DOUBLE_EQ(Capacity::usedFraction(850LL * 1'048'576, 1000), 0.85);
    EXPECT_DOUBLE_EQ(Capacity::usedFraction(1'048'576, 0), 1.0);
    EXPECT_DOUBLE_EQ(Capacity::usedFraction(524'288, -5), 0.5);
    EXPECT_DOUBLE_EQ(Capacity::usedFraction(3LL * 1'048'576, 2), 1.5);
    EXPECT_DOUBLE_EQ(Capacity::usedFraction(0, 1024), 0.0);
}

TEST(CapacityTest, BarAndBadgeThresholds) {
    EXPECT_EQ(Capacity::barGradient(0.7999), GradientKind::accent);
    EXPECT_EQ(Capacity::barGradient(0.8), GradientKind::warning);
    EXPECT_EQ(Capacity::barGradient(0.9), GradientKind::warning);
    EXPECT_EQ(Capacity::barGradient(0.95), GradientKind::critical);
    EXPECT_EQ(Capacity::barGradient(1.3), GradientKind::critical);
    EXPECT_EQ(Capacity::barGradient(kNaN), GradientKind::accent);

    EXPECT_EQ(Capacity::nearlyFullBadge(0.8999), std::nullopt);
    EXPECT_EQ(Capacity::nearlyFullBadge(0.9), GradientKind::warning);
    EXPECT_EQ(Capacity::nearlyFullBadge(0.9499), GradientKind::warning);
    EXPECT_EQ(Capacity::nearlyFullBadge(0.95), GradientKind::critical);
    EXPECT_EQ(Capacity::nearlyFullBadge(kNaN), std::nullopt);
}

TEST(CapacityTest, BarFillHasAFourPixelStubAndNeverPassesTheTrack) {
    EXPECT_DOUBLE_EQ(Capacity::barFillWidth(0, 170), 4);
    EXPECT_DOUBLE_EQ(Capacity::barFillWidth(-0.5, 170), 4);
    EXPECT_DOUBLE_EQ(Capacity::barFillWidth(kNaN, 170), 4);
    EXPECT_DOUBLE_EQ(Capacity::barFillWidth(0.5, 170), 85);
    EXPECT_DOUBLE_EQ(Capacity::barFillWidth(1.0, 170), 170);
    EXPECT_DOUBLE_EQ(Capacity::barFillWidth(1.3, 170), 170);
    EXPECT_DOUBLE_EQ(Capacity::barFillWidth(0.5, 3), 4); // only a track under 4 px is passed
}

TEST(CapacityTest, RingShowsASliverWhenEmptyAndAFullRingAboveOne) {
    EXPECT_DOUBLE_EQ(Capacity::ringArcFraction(0), 0.02);
    EXPECT_DOUBLE_EQ(Capacity::ringArcFraction(-3), 0.02);
    EXPECT_DOUBLE_EQ(Capacity::ringArcFraction(kNaN), 0.02);
    EXPECT_DOUBLE_EQ(Capacity::ringArcFraction(0.5), 0.5);
    EXPECT_DOUBLE_EQ(Capacity::ringArcFraction(1.7), 1.0);
}

TEST(ThemeWidgetsTest, IconTileGeometryFollowsItsSize) {
    IconTile small(QStringLiteral("lock.fill"), GradientKind::locked, 38);
    EXPECT_NEAR(small.cornerRadius(), 10.64, 1e-9);
    EXPECT_NEAR(small.symbolSize(), 15.96, 1e-9);
    IconTile large(QStringLiteral("lock.fill"), GradientKind::accent, 100);
    EXPECT_NEAR(large.cornerRadius(), 28, 1e-9);
    EXPECT_NEAR(large.symbolSize(), 42, 1e-9);
    EXPECT_GE(large.width(), 100);
}

TEST(ThemeWidgetsTest, SheetHeaderShowsASubtitleOnlyWhenGivenEvenEmpty) {
    SheetHeader bare(QStringLiteral("plus"), QStringLiteral("New Vault"));
    EXPECT_EQ(bare.subtitleLabel(), nullptr);
    EXPECT_EQ(bare.titleLabel()->text(), QStringLiteral("New Vault"));
    SheetHeader empty(QStringLiteral("plus"), QStringLiteral("New Vault"), QString());
    ASSERT_NE(empty.subtitleLabel(), nullptr);
    EXPECT_EQ(empty.tile()->tileSize(), 38);
    EXPECT_EQ(empty.tile()->gradient(), GradientKind::accent);
}

TEST(ThemeWidgetsTest, ButtonsKeepTheirWholeLabelInANarrowRow) {
    QWidget row;
    auto* layout = new QHBoxLayout(&row);
    auto* prominent = new ProminentButton(QStringLiteral("A rather long call to action label"));
    auto* quiet = new QuietButton(QStringLiteral("Another long secondary label"));
    layout->addWidget(prominent);
    layout->addWidget(quiet);
    row.resize(60, 40);
    row.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&row, 60000));
    const QFontMetrics fm(prominent->font());
    EXPECT_GE(prominent->width(), fm.horizontalAdvance(prominent->text()) + 32);
    EXPECT_EQ(prominent->size(), prominent->sizeHint());
    EXPECT_EQ(quiet->size(), quiet->sizeHint());
    EXPECT_TRUE(test::screenProblems(&row).isEmpty())
        << test::screenProblems(&row).join(QLatin1Char('\n')).toStdString();
}

TEST(ThemeWidgetsTest, PressedButtonsFadeDarkenAndShrinkThenReturn) {
    QWidget row;
    auto* layout = new QHBoxLayout(&row);
    auto* prominent = new ProminentButton(QStringLiteral("Unlock"));
    auto* quiet = new QuietButton(QStringLiteral("Open"));
    layout->addWidget(prominent);
    layout->addWidget(quiet);
    row.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&row, 60000));
    EXPECT_DOUBLE_EQ(quiet->fillOpacity(), 0.6);
    EXPECT_DOUBLE_EQ(prominent->contentOpacity(), 1.0);

    QSignalSpy clicked(prominent, &QPushButton::clicked);
    QTest::mousePress(prominent, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return prominent->pressProgress() == 1.0; }));
    EXPECT_DOUBLE_EQ(prominent->contentOpacity(), 0.75);
    QTest::mouseRelease(prominent, Qt::LeftButton);
    EXPECT_EQ(clicked.count(), 1);

    QTest::mousePress(quiet, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return quiet->pressProgress() == 1.0; }));
    EXPECT_DOUBLE_EQ(quiet->fillOpacity(), 1.0);
    QTest::mouseRelease(quiet, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return prominent->pressProgress() == 0.0 && quiet->pressProgress() == 0.0; }));
}

TEST(ThemeWidgetsTest, PullDownArrowOpensTheMenuAndTheRestIsThePrimaryAction) {
    QWidget row;
    auto* layout = new QHBoxLayout(&row);
    auto* button = new ProminentButton(QStringLiteral("New Vault"));
    QMenu menu;
    menu.addAction(QStringLiteral("Add Existing Vault…"));
    button->setPullDownMenu(&menu);
    layout->addWidget(button);
    row.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&row, 60000));
    QSignalSpy clicked(button, &QPushButton::clicked);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(10, button->height() / 2));
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_FALSE(menu.isVisible());
    QTest::mouseClick(button, Qt::LeftButton, {}, button->pullDownArea().center());
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_TRUE(waitFor([&] { return menu.isVisible(); }));
    menu.close();
}

TEST(ThemeWidgetsTest, GaugeAndBarAnimateToTheirNewValueWhileShown) {
    QWidget box;
    auto* layout = new QVBoxLayout(&box);
    auto* ring = new RingGauge(0.1, 40, 5, Qt::blue, Qt::gray, false);
    auto* bar = new CapacityBar(0.1, false);
    layout->addWidget(ring);
    layout->addWidget(bar);
    // Turns while shown, but is nobody's child animation: a screen shot waiting for rest would wait forever.
    layout->addWidget(new BusyIndicator(16));
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box, 60000));
    // At rest nothing holds an animation: a window of many of them keeps none until one moves.
    EXPECT_TRUE(box.findChildren<QAbstractAnimation*>().isEmpty());
    ring->setFraction(0.9);
    bar->setFraction(0.9);
    EXPECT_EQ(box.findChildren<QAbstractAnimation*>().size(), 2);
    EXPECT_TRUE(ring->isAnimating());
    EXPECT_TRUE(bar->isAnimating());
    EXPECT_EQ(bar->fillGradient(), GradientKind::warning); // the colour follows at once
    ASSERT_TRUE(waitFor([&] { return !ring->isAnimating() && !bar->isAnimating(); }));
    EXPECT_DOUBLE_EQ(ring->shownFraction(), 0.9);
    EXPECT_DOUBLE_EQ(bar->shownFraction(), 0.9);
}

TEST(ThemeWidgetsTest, KeyboardFocusShowsOnAFilledButtonAndACutLabelOffersItsWholeText) {
    QWidget box;
    auto* layout = new QVBoxLayout(&box);
    auto* button = new ProminentButton(QStringLiteral("Create Vault"));
    auto* cut = new ThemeLabel(QStringLiteral("1 vault · 1 open · 29 MB on disk"));
    cut->setElideMode(Qt::ElideRight);
    layout->addWidget(button);
    layout->addWidget(cut);
    box.show();
    box.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&box, 60'000));
    const QImage before = button->grab().toImage();
    box.setAttribute(Qt::WA_KeyboardFocusChange);
    button->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitFor([&] { return button->hasFocus(); }));
    const QImage focused = button->grab().toImage();
    // Just inside the capsule's top edge the gradient gives way to a light line.
    const QPoint inside(focused.width() / 2, int(3 * focused.devicePixelRatio()));
    EXPECT_GT(focused.pixelColor(inside).red(), before.pixelColor(inside).red() + 100);

    // Cut short, the label offers its whole text; shown whole, it offers none.
    const QString whole = cut->text();
    cut->setText(QStringLiteral("opened 3 sec. ago"));
    cut->setFixedWidth(cut->fontMetrics().horizontalAdvance(cut->text()) + 10);
    QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), cut->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(cut, &help);
    EXPECT_NE(QToolTip::text(), cut->text());
    cut->setText(whole);
    cut->setFixedWidth(cut->fontMetrics().horizontalAdvance(whole) / 2);
    QApplication::sendEvent(cut, &help);
    EXPECT_EQ(QToolTip::text(), whole);
}

TEST(ThemeFontsTest, AWideDesktopFaceIsSetSmallerByAsMuch) {
    // At the designs' sizes this line is 2480 px wide at 100 px in the face they were drawn with.
    const QString line = QStringLiteral("1 vault · 1 open · 29.3 MB on disk · opened 3 sec. ago");
    QFont desktop = QApplication::font();
    desktop.setPixelSize(100);
    const qreal desktopWidth = QFontMetricsF(desktop).horizontalAdvance(line);
    const qreal kitWidth = QFontMetricsF(Theme::font(100)).horizontalAdvance(line);
    if (desktopWidth * 0.85 > 2480)
        EXPECT_NEAR(kitWidth, desktopWidth * 0.85, desktopWidth * 0.02);
    else if (desktopWidth > 2480)
        EXPECT_NEAR(kitWidth, 2480, 50);
    else
        EXPECT_NEAR(kitWidth, desktopWidth, 1);
    // Monospaced lines keep their size.
    EXPECT_EQ(Theme::font(12, QFont::Normal, Theme::FontDesign::monospaced).pixelSize(), 12);
}

// The colour under the bar's last pixels, painted offscreen.
QColor barEnd(double fraction, bool sealed) {
    CapacityBar bar(fraction, sealed);
    bar.resize(100, CapacityBar::kHeight);
    const QImage image = bar.grab().toImage();
    return image.pixelColor(image.width() - 6, image.height() / 2);
}

TEST(ThemeWidgetsTest, SealedBarShowsOnlyItsTrack) {
    const QColor full = barEnd(1.3, false);
    EXPECT_GT(full.red(), 150);
    EXPECT_LT(full.green(), 120);
    const QColor sealed = barEnd(1.3, true);
    EXPECT_LT(qAbs(sealed.red() - sealed.green()), 20) << "grey track only";
}

// A long name and many chips in a narrow window: the name is cut first, then chips are left out
// from the end; nothing pushes the row wider than it is given.
TEST(ThemeWidgetsTest, ChipRowCutsTheNameThenLeavesOutChipsFromTheEnd) {
    auto* name =
        designLabel(QStringLiteral("A name long enough to need cutting"), Theme::font(16), Qt::black, Qt::ElideRight);
    ChipRow row(8, name);
    QList<DesignChip*> chips;
    for (const char* text : {"open", "local only", "system authentication"})
        chips.append(new DesignChip(QString::fromLatin1(text), Theme::font(10), Qt::black, {}, 8, 3));
    row.setChips(chips);
    row.show();
    const int chipsWidth =
        chips[0]->sizeHint().width() + chips[1]->sizeHint().width() + chips[2]->sizeHint().width() + 3 * 8;
    EXPECT_LT(row.minimumSizeHint().width(), name->sizeHint().width());

    row.resize(row.sizeHint());
    EXPECT_EQ(row.shownTexts(), row.texts());
    EXPECT_EQ(name->width(), name->sizeHint().width());

    // Room for every chip and a cut name.
    row.resize(chipsWidth + 80, row.sizeHint().height());
    EXPECT_EQ(row.shownTexts(), row.texts());
    EXPECT_LE(name->width(), 80);
    EXPECT_TRUE(row.toolTip().isEmpty());

    // Less room: the name keeps its few letters and the last chips go, named in the tooltip.
    row.resize(name->minimumSizeHint().width() + chips[0]->sizeHint().width() + 20, row.sizeHint().height());
    EXPECT_EQ(row.shownTexts(), QStringList{QStringLiteral("open")});
    EXPECT_EQ(row.toolTip(), QStringLiteral("local only, system authentication"));
    for (DesignChip* chip : chips) {
        if (chip->isVisibleTo(&row)) {
            EXPECT_LE(chip->geometry().right(), row.width());
        }
    }
}

TEST(SymbolsTest, EverySymbolHasABundledGlyphWithInk) {
    const QStringList names = Symbols::knownSymbols();
    EXPECT_GE(names.size(), 40);
    for (const QString& name : names) {
        const QString path = Symbols::fallbackPath(name);
        ASSERT_FALSE(path.isEmpty()) << name.toStdString();
        Symbols::loadBundledResources();
        const QIcon bundled(path);
        const QImage image = bundled.pixmap(32, 32).toImage();
        ASSERT_FALSE(image.isNull()) << name.toStdString();
        const QImage tinted = Symbols::pixmap(name, 32, QColor(255, 0, 0)).toImage();
        int ink = 0;
        for (int y = 0; y < tinted.height(); ++y) {
            for (int x = 0; x < tinted.width(); ++x)
                ink += qAlpha(tinted.pixel(x, y)) > 128 && qRed(tinted.pixel(x, y)) > 200 ? 1 : 0;
        }
        EXPECT_GT(ink, 10) << name.toStdString();
    }
    EXPECT_FALSE(Symbols::icon(QStringLiteral("no.such.symbol")).isNull());
    EXPECT_TRUE(Symbols::themeNames(QStringLiteral("no.such.symbol")).isEmpty());
    EXPECT_TRUE(Symbols::themeNames(QStringLiteral("plus")).contains(QStringLiteral("list-add")));
}

TEST(ColorSchemeTest, PortalValuesAndTheDesktopPaletteDecide) {
    using P = ColorScheme::Preference;
    EXPECT_EQ(ColorScheme::preferenceFromVariant(QVariant::fromValue(1u)), P::dark);
    EXPECT_EQ(ColorScheme::preferenceFromVariant(QVariant::fromValue(QDBusVariant(QVariant::fromValue(2u)))), P::light);
    const QVariant twice =
        QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant::fromValue(1u)))));
    EXPECT_EQ(ColorScheme::preferenceFromVariant(twice), P::dark);
    EXPECT_EQ(ColorScheme::preferenceFromVariant(QVariant::fromValue(0u)), P::none);
    EXPECT_EQ(ColorScheme::preferenceFromVariant(QVariant(QStringLiteral("1"))), P::none);
    EXPECT_EQ(ColorScheme::preferenceFromVariant(QVariant::fromValue(7u)), P::none);

    EXPECT_TRUE(ColorScheme::darkFor(P::dark, ColorScheme::palette(false)));
    EXPECT_FALSE(ColorScheme::darkFor(P::light, ColorScheme::palette(true)));
    EXPECT_TRUE(ColorScheme::darkFor(P::none, ColorScheme::palette(true)));
    EXPECT_FALSE(ColorScheme::darkFor(P::none, ColorScheme::palette(false)));
}

TEST(ColorSchemeTest, ApplyingReachesWidgetsAndAnnouncesTheChange) {
    QWidget window;
    auto* label = new ThemeLabel(QStringLiteral("text"), &window);
    QSignalSpy changed(&ColorScheme::instance(), &ColorScheme::changed);
    test::useColorScheme(true);
    EXPECT_TRUE(ColorScheme::isDark());
    EXPECT_TRUE(ColorScheme::isDark(label));
    ASSERT_EQ(changed.count(), 1);
    EXPECT_TRUE(changed.first().first().toBool());
    // A window that forces a scheme keeps it.
    QWidget forced;
    forced.setPalette(ColorScheme::palette(false));
    EXPECT_FALSE(ColorScheme::isDark(&forced));
    test::useColorScheme(false);
    EXPECT_FALSE(ColorScheme::isDark(label));
}

TEST(ThemeScreensTest, TheKitInLightAndDark) {
    QWidget gallery;
    gallery.setObjectName(QStringLiteral("themeGallery"));
    gallery.setAutoFillBackground(true);
    auto* column = new QVBoxLayout(&gallery);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);
    column->addWidget(new SheetHeader(QStringLiteral("key.fill"), QStringLiteral("Change Password"),
                                      QStringLiteral("Enter the current password, then the new one.")));
    auto* tiles = new QHBoxLayout;
    const std::pair<const char*, GradientKind> tileSpecs[] = {{"lock.open.fill", GradientKind::unlocked},
                                                              {"lock.fill", GradientKind::locked},
                                                              {"key.fill", GradientKind::accent},
                                                              {"exclamationmark.triangle.fill", GradientKind::warning},
                                                              {"trash.fill", GradientKind::critical}};
    for (const auto& [symbol, kind] : tileSpecs)
        tiles->addWidget(new IconTile(QString::fromLatin1(symbol), kind, 46));
    auto* ring = new RingGauge(0.62, 44, 6, Theme::stops(GradientKind::accent).first().second, QColor(), false);
    auto* percent = new ThemeLabel(QStringLiteral("62%"));
    percent->setFont(Theme::font(11, QFont::DemiBold));
    ring->setCenterWidget(percent);
    tiles->addWidget(ring);
    tiles->addWidget(new RingGauge(0.3, 44, 6, QColor(), QColor(), true));
    tiles->addStretch();
    column->addLayout(tiles);
    for (double f : {0.0, 0.5, 0.85, 0.97}) {
        auto* bar = new CapacityBar(f, false);
        bar->setMaximumWidth(170);
        column->addWidget(bar);
    }
    auto* group = new FieldGroup;
    auto* groupLabel = new ThemeLabel(QStringLiteral("Options"));
    group->addRow(groupLabel);
    auto* secondary = new ThemeLabel(QStringLiteral("Secondary text in a field group"));
    secondary->setTone(ThemeLabel::Tone::secondary);
    group->addRow(secondary);
    column->addWidget(group);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(new AppIconImage(50));
    auto* lock = new ProminentButton(QStringLiteral("Lock"), GradientKind::unlocked);
    lock->setSymbol(QStringLiteral("lock.fill"));
    buttons->addWidget(lock);
    auto* newVault = new ProminentButton(QStringLiteral("New Vault"));
    newVault->setSymbol(QStringLiteral("plus"));
    auto* menu = new QMenu(newVault);
    menu->addAction(QStringLiteral("Add Existing Vault…"));
    newVault->setPullDownMenu(menu);
    buttons->addWidget(newVault);
    buttons->addWidget(new QuietButton(QStringLiteral("Open")));
    auto* gear = new QuietButton(QString());
    gear->setSymbol(QStringLiteral("gearshape"));
    gear->setAccessibleName(QStringLiteral("Settings"));
    buttons->addWidget(gear);
    buttons->addStretch();
    column->addLayout(buttons);
    gallery.resize(520, 420);

    const test::ScreenReport report = test::renderScreen(&gallery, QStringLiteral("theme"), QStringLiteral("kit"));
    EXPECT_TRUE(report.ok()) << report.problems.join(QLatin1Char('\n')).toStdString();
}

TEST(ThemeScreensTest, TheShotWaitsForAnimationsToEnd) {
    QWidget window;
    auto* column = new QVBoxLayout(&window);
    auto* ring = new RingGauge(0.1, 44, 6, Qt::blue, Qt::gray, false);
    column->addWidget(ring);
    column->addWidget(new ThemeLabel(QStringLiteral("Moving")));
    // Longer than any shot takes.
    auto* slow = new QVariantAnimation(&window);
    slow->setStartValue(0.0);
    slow->setEndValue(1.0);
    slow->setDuration(3000);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, 60'000));
    ring->setFraction(0.8);
    slow->start();
    const test::ScreenReport report =
        test::renderScreen(&window, QStringLiteral("theme"), QStringLiteral("animations-at-rest"));
    EXPECT_TRUE(report.ok()) << report.problems.join(QLatin1Char('\n')).toStdString();
    EXPECT_FALSE(ring->isAnimating());
    EXPECT_EQ(slow->state(), QAbstractAnimation::Stopped);
}

} // namespace
} // namespace larkhold
