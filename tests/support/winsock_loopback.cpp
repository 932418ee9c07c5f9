// Kept apart from the POSIX listeners: the program's socket layer reuses the POSIX names
// (AF_INET, bind) for its own constants and calls.
#include "winsock_loopback.h"

#include <gtest/gtest.h>

namespace kelvo::test {

winsock::sockaddr_in BindLoopback(winsock::SOCKET s, std::optional<int> backlog) {
    winsock::sockaddr_in a;
    a.sin_family = winsock::AF_INET;
    a.sin_port = 0;
    a.sin_addr = winsock::inet_addr("127.0.0.1");
    EXPECT_EQ(winsock::bind(s, &a, 16), 0) << "cannot bind to 127.0.0.1";
    if (backlog) {
        EXPECT_EQ(winsock::listen(s, *backlog), 0) << "cannot listen on 127.0.0.1";
    }
    int len = 16;
    EXPECT_EQ(winsock::getsockname(s, &a, &len), 0);
    return a;
}

int NativeSocket(uint16_t socket) { return winsock::diagnostics::NativeHandle(socket); }
} // namespace kelvo::test
