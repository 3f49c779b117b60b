#include "ByteCount.h"

#include <array>

namespace larkhold {

namespace {

__extension__ using Wide = unsigned __int128;

struct Unit {
    const char* name;
    int decimals;
    std::uint64_t scale; // 10^decimals
};

constexpr std::array<Unit, 7> kUnits{{
    {"bytes", 0, 1},
    {"KB", 0, 1},
    {"MB", 1, 10},
    {"GB", 2, 100},
    {"TB", 2, 100},
    {"PB", 2, 100},
    {"EB", 2, 100},
}};

QString grouped(std::uint64_t n) {
    QString digits = QString::number(n);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, QLatin1Char(','));
    return digits;
}

// magnitude / divisor in units of 1 / scale, rounded half to even.
std::uint64_t roundedScaled(std::uint64_t magnitude, std::uint64_t divisor, std::uint64_t scale) {
    const Wide value = Wide{magnitude} * scale;
    std::uint64_t q = static_cast<std::uint64_t>(value / divisor);
    const Wide twiceRest = (value % divisor) * 2;
    if (twiceRest > divisor || (twiceRest == divisor && q % 2 == 1))
        ++q;
    return q;
}

} // namespace

QString formatByteCount(std::int64_t bytes) {
    const bool negative = bytes < 0;
    // Unsigned magnitude so that the most negative count does not overflow.
    const std::uint64_t magnitude =
        negative ? std::uint64_t{0} - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
    const QString sign = negative ? QStringLiteral("-") : QString();

    if (magnitude < 1024)
        return sign + grouped(magnitude) + (magnitude == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));

    std::size_t unit = 1;
    std::uint64_t divisor = 1024;
    while (unit + 1 < kUnits.size() && magnitude / divisor >= 1024) {
        divisor *= 1024;
        ++unit;
    }
    std::uint64_t scaled = roundedScaled(magnitude, divisor, kUnits[unit].scale);
    // 1,048,575 bytes would round to "1,024 KB"; one of the next unit reads better.
    if (scaled >= 1024 * kUnits[unit].scale && unit + 1 < kUnits.size()) {
        divisor *= 1024;
        ++unit;
        scaled = roundedScaled(magnitude, divisor, kUnits[unit].scale);
    }

    const Unit& u = kUnits[unit];
    QString text = grouped(scaled / u.scale);
    if (const std::uint64_t fraction = scaled % u.scale; fraction != 0) {
        QString digits = QString::number(fraction).rightJustified(u.decimals, QLatin1Char('0'));
        while (digits.endsWith(QLatin1Char('0')))
            digits.chop(1);
        text += QLatin1Char('.') + digits;
    }
    return sign + text + QLatin1Char(' ') + QLatin1String(u.name);
}

} // namespace larkhold
