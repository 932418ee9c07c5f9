// The host table of the program that the end-to-end tests run, never of the installed one.
//
// When the environment holds KELVO_TEST_HOSTS at start, only the names listed there
// resolve ("name=a.b.c.d" separated by ';'; set but empty: none), and the machine's
// resolver is never asked: a test harness keeps a whole program off the network.
// Linked in as an object, so that its initialiser runs before main.
#include "platform/winsock.h"

#include <cstdlib>

namespace {

[[maybe_unused]] const bool kInstalled = [] {
    const char* table = std::getenv("KELVO_TEST_HOSTS");
    if (table != nullptr) kelvo::winsock::SetResolver(kelvo::winsock::TableResolver(table));
    return table != nullptr;
}();

} // namespace
