// Inputs the fuzz targets found faulty, kept as tests of the normal builds (the
// sanitizer build turns undefined behaviour into a failure).
#include "net/header_list.h"
#include "net/linksock.h"
#include "platform/exceptions.h"
#include "tests/support/application.h"
#include "tests/support/event_loop.h"
#include "tests/support/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>

using namespace kelvo;

TEST(FuzzRegression, NthWordWithTheLowestFieldNumberIsEmptyWithoutOverflow) {
    // The field number is counted down without overflow, INT32_MIN included.
    struct Row {
        const char* text;
        int32_t n;
    };
    for (const Row& r : {Row{"a:b", INT32_MIN}, Row{"", INT32_MIN}, Row{"a:b", INT32_MIN + 1}, Row{"a:b", 0},
                         Row{"a:b", -1}, Row{"a:b", INT32_MAX}})
        EXPECT_EQ(NthWord(r.text, ':', r.n), "") << r.text << " " << r.n;
}

// A peer that accepts and closes at once: FD_CONNECT and FD_CLOSE arrive in the same
// turn of Connect's wait and the close takes the connection away again. FD_CONNECT
// alone must end the wait, so a server that drops the connection at its greeting
// fails the send at once instead of after the time-out.
TEST(FuzzRegression, ConnectToAPeerThatClosesAtOnceEndsWithoutTheTimeOut) {
    kelvo::test::EnsureApp();
    const kelvo::test::LoopbackListener listener;
    ASSERT_NE(listener.Port(), 0);

    TLinksock sock;
    sock.SetHost("127.0.0.1");
    sock.SetPort(listener.Port());
    sock.SetTimeOut(3000);
    sock.SetReportLevel(8);
    // Between the connect call and the first turn of the wait: the handshake is done
    // on loopback, so the peer can take the connection and close it before the
    // client hears of either.
    sock.OnStatus = [&](QObject*, const std::string& text) {
        if (text != "Timer On" || sock.Connected()) return;
        const int peer = ::accept(listener.Fd(), nullptr, nullptr);
        if (peer >= 0) ::close(peer);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    const auto start = std::chrono::steady_clock::now();
    try {
        sock.Connect();
    } catch (const ESockError& e) {
        EXPECT_NE(std::string(e.what()), "Connection Timed out");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    // Whatever Connect concluded, the first read meets the end at once.
    sock.OnStatus = nullptr;
    std::string line = "x";
    try {
        sock.ReadLn(line);
        EXPECT_EQ(line, "");
    } catch (const ESockError&) {}
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
}
