#include "PdfRenderer.h"

#include "TestPdfs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>

using larkhold::ByteView;
using larkhold::PdfRenderer;
using namespace std::chrono_literals;

namespace {

ByteView viewOf(const QByteArray& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())};
}

// Runs the event loop until `condition` holds; the ceiling is only for a hang.
bool eventually(const std::function<bool()>& condition) {
    const QDeadlineTimer ceiling(120s);
    while (!condition()) {
        if (ceiling.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

} // namespace

TEST(PdfRendererTest, PagesAreDrawnByAProcessThatClosingEnds) {
    PdfRenderer renderer;
    renderer.load(viewOf(larkhold::test::pagesPdf(3)));
    ASSERT_TRUE(eventually([&] { return renderer.state() != PdfRenderer::State::loading; }));
    ASSERT_EQ(renderer.state(), PdfRenderer::State::ready);
    EXPECT_EQ(renderer.pageSizes(), QList<QSizeF>(3, QSizeF(200, 300)));
    EXPECT_EQ(larkhold::test::pdfRenderers().size(), 1);

    QList<std::pair<int, QImage>> drawn;
    QObject::connect(&renderer, &PdfRenderer::rendered, [&](int page, const QImage& image) { drawn.append({page, image}); });
    // A request replaces the pages not yet begun; out-of-range pages and sizes are never asked for.
    renderer.request({{0, QSize(100, 150)}, {7, QSize(10, 10)}, {1, QSize(0, 10)}});
    renderer.request({{2, QSize(40, 60)}, {1, QSize(100000, 10)}});
    ASSERT_TRUE(eventually([&] { return drawn.size() >= 1 && drawn.back().first == 2; }));
    for (const auto& [page, image] : drawn) {
        EXPECT_TRUE(page == 0 || page == 2);
        EXPECT_EQ(image.size(), page == 0 ? QSize(100, 150) : QSize(40, 60));
        EXPECT_EQ(image.pixelColor(image.width() / 2, image.height() / 2), QColor(Qt::white)) << "a blank page";
    }
    EXPECT_EQ(renderer.state(), PdfRenderer::State::ready);

    renderer.close();
    EXPECT_EQ(renderer.state(), PdfRenderer::State::empty);
    EXPECT_TRUE(larkhold::test::pdfRenderers().isEmpty());
}

TEST(PdfRendererTest, APageTreeThatListsItselfIsUnreadableInTimeAndHoldsNothing) {
    const QByteArray looping = larkhold::test::selfListingPdf();
    EXPECT_EQ(PdfRenderer::check(viewOf(looping), 2s), PdfRenderer::Check::unreadable);
    EXPECT_EQ(PdfRenderer::check(viewOf(larkhold::test::pagesPdf(1)), PdfRenderer::kDeadline),
              PdfRenderer::Check::readable);
    EXPECT_EQ(PdfRenderer::check(viewOf(QByteArray("%PDF-1.4\nno document\n")), PdfRenderer::kDeadline),
              PdfRenderer::Check::unreadable);
    EXPECT_TRUE(larkhold::test::pdfRenderers().isEmpty());

    PdfRenderer renderer(2s);
    renderer.load(viewOf(looping));
    EXPECT_EQ(renderer.state(), PdfRenderer::State::loading);
    ASSERT_TRUE(eventually([&] { return renderer.state() != PdfRenderer::State::loading; }));
    EXPECT_EQ(renderer.state(), PdfRenderer::State::unreadable);
    EXPECT_TRUE(larkhold::test::pdfRenderers().isEmpty());

    // Closing while the library loops (a lock, say) ends the process at once.
    PdfRenderer stuck;
    stuck.load(viewOf(looping));
    ASSERT_TRUE(eventually([&] { return !larkhold::test::pdfRenderers().isEmpty(); }));
    stuck.close();
    EXPECT_EQ(stuck.state(), PdfRenderer::State::empty);
    EXPECT_TRUE(larkhold::test::pdfRenderers().isEmpty());
}

TEST(PdfRendererTest, ARendererThatCrashesLeavesTheDocumentUnreadable) {
    PdfRenderer renderer;
    renderer.load(viewOf(larkhold::test::pagesPdf(2)));
    ASSERT_TRUE(eventually([&] { return renderer.state() != PdfRenderer::State::loading; }));
    ASSERT_EQ(larkhold::test::pdfRenderers().size(), 1);
    ::kill(larkhold::test::pdfRenderers().front(), SIGSEGV);
    ASSERT_TRUE(eventually([&] { return renderer.state() != PdfRenderer::State::ready; }));
    EXPECT_EQ(renderer.state(), PdfRenderer::State::unreadable);
    renderer.request({{0, QSize(10, 10)}});
    EXPECT_EQ(renderer.state(), PdfRenderer::State::unreadable);
}

// A PDF that grows the PDF library by gigabytes ends at the renderer's cap, not at the machine's.
TEST(PdfRendererTest, NestedFormsEndAtTheRenderersMemoryCap) {
    constexpr std::uint64_t cap = 256 << 20;
    PdfRenderer::setLimitsForTesting({cap, 600});
    // No deadline in the way: what ends the renderer is the cap.
    PdfRenderer renderer(std::chrono::hours(1));
    renderer.load(viewOf(larkhold::test::nestedFormsPdf()));
    ASSERT_TRUE(eventually([&] { return renderer.state() != PdfRenderer::State::loading; }));
    ASSERT_EQ(renderer.state(), PdfRenderer::State::ready);
    ASSERT_EQ(larkhold::test::pdfRenderers().size(), 1);
    QFile limits(QStringLiteral("/proc/%1/limits").arg(larkhold::test::pdfRenderers().front()));
    ASSERT_TRUE(limits.open(QIODevice::ReadOnly));
    const QByteArray table = limits.readAll();
    EXPECT_TRUE(table.contains(QByteArray("Max address space         ") + QByteArray::number(cap) + ' '))
        << table.constData();
    renderer.request({{0, QSize(100, 150)}});
    ASSERT_TRUE(eventually([&] { return renderer.state() != PdfRenderer::State::ready; }));
    EXPECT_EQ(renderer.state(), PdfRenderer::State::unreadable);
    EXPECT_TRUE(larkhold::test::pdfRenderers().isEmpty());
    PdfRenderer::setLimitsForTesting({});
}

// A renderer that cannot seal itself off (here: given no processor time) reads nothing, and says so.
TEST(PdfRendererTest, ARendererThatCannotBeConfinedReadsNothing) {
    PdfRenderer::setLimitsForTesting({256 << 20, 0});
    PdfRenderer renderer;
    renderer.load(viewOf(larkhold::test::pagesPdf(1)));
    ASSERT_TRUE(eventually([&] { return renderer.state() != PdfRenderer::State::loading; }));
    EXPECT_EQ(renderer.state(), PdfRenderer::State::unconfined);
    EXPECT_EQ(PdfRenderer::check(viewOf(larkhold::test::pagesPdf(1))), PdfRenderer::Check::unconfined);
    PdfRenderer::setLimitsForTesting({});
}
