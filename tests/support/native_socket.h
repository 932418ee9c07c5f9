// The descriptor behind a socket of the program's socket layer, for tests above net/ that check its options.
#pragma once

#include <cstdint>

namespace kelvo::test {
int NativeSocket(uint16_t socket); // -1 when it is not open
} // namespace kelvo::test
