#include "PocketFile.h"

// Test executables derive slot keys cheaply; a test that needs the real cost sets the pointer
// to nullptr for its duration.
namespace {
larkhold::KdfCost fastKdfCost{1, 64, 1};
}

extern "C" {
larkhold::KdfCost* larkholdTestKdfOverride = &fastKdfCost;
}
