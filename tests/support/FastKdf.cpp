#include "FastKdf.h"

// Test executables link these in place of the product's own (PocketKdfCost.cpp,
// FileWriteFaults.cpp): key derivation is cheap unless a test asks for the real cost, and crash-safe
// writes fail when a test sets a plan.
namespace {
larkhold::KdfCost fastKdfCost{1, 64, 1};
}

extern "C" {
larkhold::KdfCost* larkholdTestKdfOverride = &fastKdfCost;
larkhold::WriteFaultPlan* larkholdTestWriteFault = nullptr;
}

namespace larkhold {

KdfCost PocketFile::kdfCost() {
    return larkholdTestKdfOverride ? *larkholdTestKdfOverride : kProductionKdfCost;
}

const WriteFaultPlan* fileio::faultPlan() {
    return larkholdTestWriteFault;
}

} // namespace larkhold
