#pragma once

#include <cstdint>

// What the PDF renderer's process and its client agree on (PdfRenderMain.cpp, PdfRenderer.cpp).
namespace larkhold::pdfrender {

// A PDF item is at most a few MiB; anything far beyond is not read at all.
constexpr std::int64_t kMaxDocumentBytes = 64 * 1024 * 1024;
// The largest page image asked for, in pixels a side and in all.
constexpr int kMaxSide = 8192;
constexpr std::int64_t kMaxPixels = 6000LL * 6000;

constexpr bool sizeAllowed(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           std::int64_t(width) * height <= kMaxPixels;
}

} // namespace larkhold::pdfrender
