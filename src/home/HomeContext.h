#pragma once

#include "VaultActions.h"

namespace larkhold {

class Defaults;
class VaultStatusCache;
class VaultStore;

// What every home design, card and menu is given: the store to read, the cached file states, and
// the action table to act through. All of it outlives the widgets that hold a copy.
struct HomeContext {
    VaultStore* store = nullptr;
    Defaults* defaults = nullptr;
    VaultStatusCache* status = nullptr;
    VaultActions actions;
};

} // namespace larkhold
