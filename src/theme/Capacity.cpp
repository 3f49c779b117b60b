#include "Capacity.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace larkhold {

namespace Capacity {

double usedFraction(qint64 usedBytes, qint64 maxSizeMB) {
    const double limit = double(qMax<qint64>(maxSizeMB, 1)) * double(kBytesPerMB);
    return double(usedBytes) / limit;
}

GradientKind barGradient(double fraction) {
    if (fraction >= 0.95)
        return GradientKind::critical;
    if (fraction >= 0.8)
        return GradientKind::warning;
    return GradientKind::accent; // NaN compares false above
}

qreal barFillWidth(double fraction, qreal width) {
    qreal fill = 0;
    if (fraction > 1)
        fill = width;
    else if (fraction > 0) // NaN and negatives fall to the minimum
        fill = qreal(fraction) * width;
    return qMax<qreal>(fill, 4.0);
}

double ringArcFraction(double fraction) {
    if (std::isnan(fraction))
        return 0.02;
    return std::max(std::min(fraction, 1.0), 0.02);
}

std::optional<GradientKind> nearlyFullBadge(double fraction) {
    if (fraction >= 0.95)
        return GradientKind::critical;
    if (fraction >= 0.9)
        return GradientKind::warning;
    return std::nullopt;
}

} // namespace Capacity

} // namespace larkhold
