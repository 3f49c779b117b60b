#pragma once

#include "PocketItem.h"

#include <QString>
#include <vector>

namespace larkhold {

// Rates a second password's item set (the decoy set) against the vault's main items: would it
// pass for the vault's real contents? Pure; reads no file and raises no error.
struct DecoyChecklist {
    struct Check {
        QString id; // "count", "mix", "amount", "notes" or "unique"
        QString title;
        QString detail;
        bool passed = false;

        friend bool operator==(const Check&, const Check&) = default;
    };

    // The rows in their fixed order. "mix" is left out when the main set is empty and "amount"
    // when the main items hold no bytes, so the list has 3, 4 or 5 rows.
    static std::vector<Check> checks(const PocketItems& decoy, const PocketItems& main);

    // True when the text reads like something a person wrote rather than filler. Counts are of
    // user-perceived characters (grapheme clusters).
    static bool looksLikeRealText(const QString& text);
};

} // namespace larkhold
