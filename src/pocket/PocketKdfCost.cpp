#include "PocketFile.h"

namespace larkhold {

// Alone in its file so that a test executable can link a cheaper cost in its place; nothing in the
// shipped program can change this one.
KdfCost PocketFile::kdfCost() {
    return kProductionKdfCost;
}

} // namespace larkhold
