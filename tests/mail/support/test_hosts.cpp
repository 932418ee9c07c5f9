// The mail tests' name service: a fixed table, installed before any test runs, so that no
// test asks the machine's resolver (and through it a name server) for a host name.
#include "platform/winsock.h"

namespace {

[[maybe_unused]] const bool kInstalled = [] {
    kelvo::winsock::SetResolver(kelvo::winsock::TableResolver("localhost=127.0.0.1"));
    return true;
}();

} // namespace
