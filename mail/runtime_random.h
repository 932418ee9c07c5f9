// The runtime's process-wide pseudo-random generator, which draws MIME boundaries.
#pragma once

#include <cstdint>

namespace kelvo {

// The generator's 32-bit state. Nothing seeds it: it is 0 when the process starts,
// so the sequence of draws is the same in every run.
uint32_t RandSeed();
void SetRandSeed(uint32_t seed);

// Advances the state (state * 134775813 + 1, modulo 2^32) and returns a value from
// 0 to range - 1: the upper 32 bits of the 64-bit product state * range. A range of
// 0 or below yields 0 (and still advances the state).
int32_t Random(int32_t range);

} // namespace kelvo
