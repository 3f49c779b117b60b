#include "FileWrite.h"

namespace larkhold::fileio {

// Alone in its file so that a test executable can link a plan of its own in its place.
const WriteFaultPlan* faultPlan() {
    return nullptr;
}

} // namespace larkhold::fileio
