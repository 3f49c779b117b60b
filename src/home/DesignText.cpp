#include "DesignText.h"

#include "VaultStore.h"

#include <chrono>
#include <cmath>
#include <limits>

namespace larkhold::DesignText {

long long percentage(double fraction) {
    const double percent = fraction * 100.0;
    if (!std::isfinite(percent))
        return 0;
    // A size far beyond any limit still gives a number, not an overflow.
    constexpr auto kMax = static_cast<double>(std::numeric_limits<long long>::max() / 2);
    return std::llround(std::clamp(percent, -kMax, kMax));
}

bool nameMatches(const QString& name, const QString& search) {
    return search.isEmpty() || name.contains(search, Qt::CaseInsensitive);
}

QList<Vault> filterByName(const QList<Vault>& vaults, const QString& search) {
    if (search.isEmpty())
        return vaults;
    QList<Vault> matching;
    for (const Vault& vault : vaults) {
        if (nameMatches(vault.name, search))
            matching.append(vault);
    }
    return matching;
}

qint64 autoLockMinutesShown(qint64 storedMinutes) {
    using namespace std::chrono;
    // The shortest time after which a tick can find a vault idle: never less than one tick.
    const qint64 shortest = std::max<qint64>(1, duration_cast<minutes>(VaultStore::kAutoLockInterval).count());
    return std::max(shortest, storedMinutes);
}

} // namespace larkhold::DesignText
