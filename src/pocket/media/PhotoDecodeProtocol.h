#pragma once

#include "Confinement.h"

#include <cstdint>

// What the photo decoder's process and its clients agree on (PhotoDecodeMain.cpp, PhotoDecoder.h).
namespace larkhold::photodecode {

// A stored photo is at most a few MiB; a vault of the largest tier holds no item beyond this.
constexpr std::int64_t kMaxPhotoBytes = 64 * 1024 * 1024;
// The long side of a photo as the viewer shows it.
constexpr int kShownLongSide = 4096;

// The decoder's caps: the largest photo an import takes (400 MB at 4 bytes a pixel, more for HEIC,
// which an import holds to 800 MB), its input, the scaled copy and the libraries; processor time
// for one photo of that size on a slow machine.
constexpr confinement::Limits kLimits{std::uint64_t(1536) << 20, 120};

// The caps in force: kLimits, or smaller ones a test set.
confinement::Limits limits();
void setLimitsForTesting(const confinement::Limits& limits);

} // namespace larkhold::photodecode
