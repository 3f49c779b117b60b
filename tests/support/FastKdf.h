#pragma once

#include "FileWrite.h"
#include "PocketFile.h"

// Key derivation at this cost in every test executable; nullptr for the production cost.
extern "C" larkhold::KdfCost* larkholdTestKdfOverride;
// When set, crash-safe writes fail as the plan says.
extern "C" larkhold::WriteFaultPlan* larkholdTestWriteFault;
