#pragma once

#include "Confinement.h"

#include <cstdint>

// What the PDF renderer's process and its client agree on (PdfRenderMain.cpp, PdfRenderer.cpp).
namespace larkhold::pdfrender {

// A PDF item is at most a few MiB; anything far beyond is not read at all.
constexpr std::int64_t kMaxDocumentBytes = 64 * 1024 * 1024;
// The largest page image asked for, in pixels a side and in all.
constexpr int kMaxSide = 8192;
constexpr std::int64_t kMaxPixels = 6000LL * 6000;

// The renderer's caps: the largest page image (144 MB) three times over while it is drawn, converted
// and sent, the largest document twice, and the libraries; processor time for a long read of a
// long document, each answer being held to the client's deadline besides.
constexpr confinement::Limits kLimits{std::uint64_t(1280) << 20, 600};

constexpr bool sizeAllowed(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           std::int64_t(width) * height <= kMaxPixels;
}

} // namespace larkhold::pdfrender
