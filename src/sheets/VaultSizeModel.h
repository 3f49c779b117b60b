#pragma once

#include <QtGlobal>

namespace larkhold {

// The size-limit field of a standard vault: a number in MB or in whole GB (1 GB = 1024 MB), kept
// inside the allowed range of its unit and written back to its owner in MB.
//
// In MB a limit runs from max(minimum, 16) to 4096 MB in steps of 16; in GB from
// max(⌈minimum ÷ 1024⌉, 1) to 4000 GB in steps of 1. Out-of-range input is never refused: it is
// clamped to the nearest end. The owner's limit shows exactly as it is, in GB when it is a whole
// number of GB and in MB otherwise, even outside the ranges: nothing is clamped until the user
// changes the field, so an untouched field never reports a change. A unit whose range is empty (a
// minimum above its largest value) is never entered by the user; when both are empty the field
// offers nothing, changes nothing and keeps the owner's value.
class VaultSizeModel {
public:
    static constexpr qint64 kSmallestMB = 16;
    static constexpr qint64 kLargestMB = 4096;
    static constexpr qint64 kSmallestGB = 1;
    static constexpr qint64 kLargestGB = 4000;
    static constexpr qint64 kStepMB = 16;
    static constexpr qint64 kStepGB = 1;

    struct Range {
        qint64 low = 0;
        qint64 high = 0;
        bool isEmpty() const { return low > high; }
        bool contains(qint64 v) const { return v >= low && v <= high; }
    };

    // Takes the owner's starting limit: a whole number of GB shows in GB, anything else in MB.
    VaultSizeModel(qint64 sizeMB, qint64 minimumMB);

    qint64 sizeMB() const { return sizeMB_; }
    qint64 minimumMB() const { return minimumMB_; }
    qint64 value() const { return value_; }
    bool unitGB() const { return unitGB_; }

    Range range() const { return rangeFor(unitGB_); }
    Range rangeFor(bool gb) const;
    qint64 step() const { return unitGB_ ? kStepGB : kStepMB; }
    // False when the current unit has no valid value at all.
    bool isEditable() const { return !range().isEmpty(); }
    bool canUseUnit(bool gb) const { return !rangeFor(gb).isEmpty(); }
    bool canStepUp() const { return isEditable() && value_ < range().high; }
    bool canStepDown() const { return isEditable() && value_ > range().low; }

    // Each returns whether sizeMB() changed.
    bool setValue(qint64 value);
    bool stepBy(int steps);
    bool setUnitGB(bool gb);
    // The owner's minimum may change while the field is shown (the vault's use on disk is
    // measured again): a value the user set is clamped into the new range; the owner's untouched
    // limit stays as it is.
    bool setMinimumMB(qint64 minimumMB);

private:
    bool push();

    qint64 sizeMB_;
    qint64 minimumMB_;
    qint64 value_ = 10;
    bool unitGB_ = true;
    bool touched_ = false;
};

} // namespace larkhold
