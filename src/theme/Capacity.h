#pragma once

#include "Look.h"

#include <optional>

namespace larkhold {

// Shared by every gauge, bar and badge.
namespace Capacity {
inline constexpr qint64 kBytesPerMB = 1'048'576;
// Used bytes over max(maxSizeMB, 1) MB, in double precision; may exceed 1.
double usedFraction(qint64 usedBytes, qint64 maxSizeMB);
// The bar's fill: critical from 0.95, warning from 0.8, accent below (and for NaN).
GradientKind barGradient(double fraction);
// The bar's fill width in a track of `width`: all of it above 1, at least 4.
qreal barFillWidth(double fraction, qreal width);
// The ring's arc: clamped to [0.02, 1], NaN giving 0.02.
double ringArcFraction(double fraction);
// The "NEARLY FULL" badge: from 0.9, critical from 0.95; nothing below 0.9 or for NaN.
std::optional<GradientKind> nearlyFullBadge(double fraction);
} // namespace Capacity

} // namespace larkhold
