// A listener made through the program's own socket layer, for the tests of that layer
// and of the socket client; the POSIX listeners are in loopback.h.
#pragma once

#include "platform/winsock.h"

#include <optional>

namespace kelvo::test {

// Binds `s` to 127.0.0.1 at a free port, listens when a backlog is given, and returns
// the bound address (port in network order). A failing call is a test failure.
winsock::sockaddr_in BindLoopback(winsock::SOCKET s, std::optional<int> backlog);

} // namespace kelvo::test
