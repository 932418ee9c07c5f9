// The runtime's process-wide pseudo-random generator that draws MIME boundaries.
#include "mail/runtime_random.h"

namespace kelvo {

namespace {
// Only the GUI thread draws; no lock.
uint32_t randSeed = 0;
} // namespace

uint32_t RandSeed() { return randSeed; }

void SetRandSeed(uint32_t seed) { randSeed = seed; }

int32_t Random(int32_t range) {
    randSeed = randSeed * 134775813u + 1u;
    if (range <= 0) return 0;
    return static_cast<int32_t>((static_cast<uint64_t>(randSeed) * static_cast<uint32_t>(range)) >> 32);
}

} // namespace kelvo
