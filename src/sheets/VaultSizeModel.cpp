#include "VaultSizeModel.h"

#include <algorithm>
#include <limits>

namespace larkhold {

namespace {

constexpr qint64 kMBPerGB = 1024;

qint64 ceilDiv(qint64 a, qint64 b) {
    return a / b + (a % b > 0 ? 1 : 0);
}

} // namespace

VaultSizeModel::VaultSizeModel(qint64 sizeMB, qint64 minimumMB) : sizeMB_(sizeMB), minimumMB_(minimumMB) {
    unitGB_ = sizeMB % kMBPerGB == 0;
    value_ = unitGB_ ? sizeMB / kMBPerGB : sizeMB;
}

VaultSizeModel::Range VaultSizeModel::rangeFor(bool gb) const {
    if (gb)
        return {std::max(ceilDiv(std::max<qint64>(minimumMB_, 0), kMBPerGB), kSmallestGB), kLargestGB};
    return {std::max(minimumMB_, kSmallestMB), kLargestMB};
}

bool VaultSizeModel::push() {
    const Range r = range();
    if (r.isEmpty())
        return false;
    value_ = std::clamp(value_, r.low, r.high);
    const qint64 before = sizeMB_;
    sizeMB_ = unitGB_ ? value_ * kMBPerGB : value_;
    return sizeMB_ != before;
}

bool VaultSizeModel::setValue(qint64 value) {
    if (!isEditable())
        return false;
    touched_ = true;
    value_ = value;
    return push();
}

bool VaultSizeModel::stepBy(int steps) {
    if (!isEditable())
        return false;
    touched_ = true;
    // Clamped before multiplying, so that no number of steps can overflow.
    const qint64 span = range().high - range().low;
    const qint64 moved = std::clamp<qint64>(steps, -span, span) * step();
    value_ = std::clamp(value_ + moved, range().low, range().high);
    return push();
}

bool VaultSizeModel::setUnitGB(bool gb) {
    if (gb == unitGB_ || !canUseUnit(gb))
        return false;
    touched_ = true;
    if (gb)
        value_ = value_ >= kMBPerGB ? value_ / kMBPerGB : 1;
    else
        value_ = std::min(value_ * kMBPerGB, kLargestMB);
    unitGB_ = gb;
    return push();
}

bool VaultSizeModel::setMinimumMB(qint64 minimumMB) {
    if (minimumMB == minimumMB_)
        return false;
    minimumMB_ = minimumMB;
    if (!touched_)
        return false;
    if (!canUseUnit(unitGB_) && canUseUnit(!unitGB_))
        return setUnitGB(!unitGB_) || push();
    return push();
}

} // namespace larkhold
