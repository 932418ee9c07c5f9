// The WinSock 1.1 emulation: error numbers, addresses, notifications and their re-enabling, lookups.
#include "platform/winsock.h"

#include "tests/support/application.h"
#include "tests/support/event_loop.h"
#include "tests/support/winsock_loopback.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvo::winsock {
namespace {

constexpr UINT kMsg = WM_USER + 101;
constexpr UINT kLookup = WM_USER + 102;

struct Note {
    UINT msg;
    WPARAM wParam;
    uint16_t event;
    uint16_t error;
    bool operator==(const Note&) const = default;
};
std::vector<Note> notes;

LRESULT NoteProc(HWND, UINT m, WPARAM w, LPARAM l) {
    notes.push_back({m, w, LOWORD(l), HIWORD(l)});
    return 0;
}

using kelvo::test::BindLoopback;
using kelvo::test::SpinFor;
using kelvo::test::SpinUntil;

int Count(SOCKET s, uint16_t event) {
    int n = 0;
    for (const Note& note : notes) n += note.msg == kMsg && note.wParam == s && note.event == event;
    return n;
}

class WinsockTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kelvo::test::EnsureApp();
        WNDCLASSA wc;
        wc.lpfnWndProc = NoteProc;
        wc.lpszClassName = "WinsockTestClass";
        RegisterClassA(wc);
    }
    void SetUp() override {
        WSADATA d;
        ASSERT_EQ(WSAStartup(0x0101, &d), 0);
        EXPECT_EQ(d.wVersion, 0x0101);
        wnd = CreateWindowExA(0, "WinsockTestClass", "", 0, 0, 0, 0, 0);
        notes.clear();
    }
    void TearDown() override {
        DestroyWindow(wnd);
        WSACleanup();
        EXPECT_EQ(diagnostics::OpenSockets(), 0);
    }

    // A connected pair: `client` registered for 0x3D, `server` accepted and registered too.
    void Connect(SOCKET& client, SOCKET& server) {
        const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = BindLoopback(listener, 1);
        ASSERT_EQ(WSAAsyncSelect(listener, wnd, kMsg, FD_ACCEPT), 0);
        client = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(WSAAsyncSelect(client, wnd, kMsg, 0x3D), 0);
        ASSERT_EQ(connect(client, &a, 16), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        ASSERT_TRUE(SpinUntil([&] { return Count(client, FD_CONNECT) == 1 && Count(listener, FD_ACCEPT) == 1; }));
        EXPECT_EQ(notes.back().error + notes.front().error, 0);
        sockaddr_in peer;
        int plen = 16;
        server = accept(listener, &peer, &plen);
        ASSERT_NE(server, INVALID_SOCKET);
        EXPECT_EQ(peer.sin_addr, inet_addr("127.0.0.1"));
        WSAAsyncSelect(server, wnd, kMsg, 0x3D);
        closesocket(listener);
        notes.clear();
    }

    HWND wnd = 0;
};

TEST(WinsockErrors, ErrnoValuesMapToWinsockNumbers) {
    const std::pair<int, int> rows[] = {
        {ECONNREFUSED, 10061}, {ECONNRESET, 10054},
        {EAGAIN, 10035},       {ENOTCONN, 10057},
        {ETIMEDOUT, 10060},    {EHOSTUNREACH, 10065},
        {ENETUNREACH, 10051},  {EADDRINUSE, 10048},
        {EMFILE, 10024},       {EPIPE, 10054},
        {EINVAL, 10022},       {ECONNABORTED, 10053},
        {EINPROGRESS, 10036},  {0, 0},
    };
    for (const auto& [err, code] : rows) EXPECT_EQ(ErrorFromErrno(err), code) << err;
}

TEST(WinsockAddresses, DottedTextAndByteOrder) {
    const uint32_t a = inet_addr("127.0.0.1");
    const auto* b = reinterpret_cast<const unsigned char*>(&a);
    EXPECT_EQ(b[0], 127);
    EXPECT_EQ(b[3], 1);
    EXPECT_EQ(inet_addr("0.0.0.0"), 0u);
    for (const char* bad : {"no-such-host", "", "1.2.3.256", "host-name"})
        EXPECT_EQ(inet_addr(bad), INADDR_NONE) << bad;
    const uint16_t p = (htons)(25);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&p)[1], 25);
    EXPECT_EQ((ntohs)(p), 25);
}

TEST(WinsockLibrary, CallsBeforeStartupFail) {
    const int startups = diagnostics::StartupCalls();
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    WSADATA d;
    WSAStartup(0x0101, &d);
    WSAStartup(0x0101, &d);
    EXPECT_EQ(diagnostics::StartupCalls(), startups + 2);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_LT(s, 65535u); // fits the 16-bit handle the component keeps
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(diagnostics::OpenSockets(), 1);
    EXPECT_EQ(WSACleanup(), 0); // the last cleanup closes what is left
    EXPECT_EQ(diagnostics::OpenSockets(), 0);
}

TEST_F(WinsockTest, BadArgumentsGiveWinsockErrors) {
    char buf[4];
    EXPECT_EQ(closesocket(60000), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(socket(AF_INET, 2, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAESOCKTNOSUPPORT);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(send(s, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    EXPECT_EQ(recv(s, buf, 4, 0x40), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    const linger l{1, 0};
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l), 0);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, 0x20, reinterpret_cast<const char*>(&l), sizeof l), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
    closesocket(s);
}

TEST_F(WinsockTest, RefusedConnectArrivesAsConnectNotification) {
    // A bound port that does not listen refuses connections.
    const SOCKET closed = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = BindLoopback(closed, std::nullopt);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    WSAAsyncSelect(s, wnd, kMsg, 0x3D);
    EXPECT_EQ(connect(s, &a, 16), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(SpinUntil([&] { return !notes.empty(); }));
    SpinFor(50);
    const std::vector<Note> expected = {Note{kMsg, s, FD_CONNECT, WSAECONNREFUSED}};
    EXPECT_EQ(notes, expected);
    closesocket(s);
    closesocket(closed);
}

TEST_F(WinsockTest, ReadNotificationWaitsForTheNextRecv) {
    SOCKET client, server;
    Connect(client, server);
    ASSERT_EQ(send(server, "abc", 3, 0), 3);
    ASSERT_TRUE(SpinUntil([&] { return Count(client, FD_READ) == 1; }));
    send(server, "def", 3, 0);
    SpinFor(50);
    EXPECT_EQ(Count(client, FD_READ), 1); // not re-enabled yet
    char buf[16] = {};
    EXPECT_EQ(recv(client, buf, 1, MSG_PEEK), 1); // a peek re-enables; data remains
    ASSERT_TRUE(SpinUntil([&] { return Count(client, FD_READ) == 2; }));
    EXPECT_EQ(recv(client, buf, sizeof buf, 0), 6);
    EXPECT_STREQ(buf, "abcdef");
    SpinFor(50);
    EXPECT_EQ(Count(client, FD_READ), 2); // nothing left, nothing posted
    send(server, "g", 1, 0);
    EXPECT_TRUE(SpinUntil([&] { return Count(client, FD_READ) == 3; }));
    EXPECT_EQ(recv(client, buf, sizeof buf, 0), 1);
    EXPECT_EQ(recv(client, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    closesocket(client);
    closesocket(server);
}

TEST_F(WinsockTest, AcceptNotificationComesAgainWhileConnectionsWait) {
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = BindLoopback(listener, 4);
    WSAAsyncSelect(listener, wnd, kMsg, FD_ACCEPT);
    std::vector<SOCKET> clients;
    for (int i = 0; i < 2; ++i) {
        clients.push_back(socket(AF_INET, SOCK_STREAM, 0));
        WSAAsyncSelect(clients.back(), wnd, kMsg, 0x3D);
        connect(clients.back(), &a, 16);
    }
    ASSERT_TRUE(SpinUntil([&] { return Count(clients[0], FD_CONNECT) + Count(clients[1], FD_CONNECT) == 2; }));
    SpinFor(30);
    EXPECT_EQ(Count(listener, FD_ACCEPT), 1);
    const SOCKET first = accept(listener, nullptr, nullptr);
    ASSERT_TRUE(SpinUntil([&] { return Count(listener, FD_ACCEPT) == 2; }));
    const SOCKET second = accept(listener, nullptr, nullptr);
    EXPECT_NE(second, INVALID_SOCKET);
    SpinFor(30);
    EXPECT_EQ(Count(listener, FD_ACCEPT), 2);
    EXPECT_EQ(accept(listener, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    for (SOCKET s : {first, second, clients[0], clients[1], listener}) closesocket(s);
}

TEST_F(WinsockTest, PeerCloseIsPostedOnceEvenWithDataWaiting) {
    SOCKET client, server;
    Connect(client, server);
    send(server, "bye", 3, 0);
    closesocket(server);
    ASSERT_TRUE(SpinUntil([&] { return Count(client, FD_CLOSE) == 1; }));
    SpinFor(50);
    EXPECT_EQ(Count(client, FD_CLOSE), 1);
    EXPECT_EQ(notes.back().error, 0);
    char buf[8];
    EXPECT_EQ(recv(client, buf, sizeof buf, 0), 3);
    EXPECT_EQ(recv(client, buf, sizeof buf, 0), 0);
    closesocket(client);
}

TEST_F(WinsockTest, ResetIsPostedWithItsErrorAndFailsTheRead) {
    SOCKET client, server;
    Connect(client, server);
    const linger l{1, 0};
    setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    closesocket(server);
    ASSERT_TRUE(SpinUntil([&] { return Count(client, FD_CLOSE) == 1; }));
    EXPECT_EQ(notes.back().error, WSAECONNRESET);
    char buf[8];
    EXPECT_EQ(recv(client, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    closesocket(client);
}

TEST_F(WinsockTest, WriteNotificationComesWhenRoomReturns) {
    SOCKET client, server;
    Connect(client, server);
    WSAAsyncSelect(client, wnd, kMsg, 0x3F);
    SpinFor(30);
    notes.clear();
    std::vector<char> block(65536, 'x');
    int total = 0;
    for (;;) {
        const int n = send(client, block.data(), static_cast<int>(block.size()), 0);
        if (n < 0) break;
        total += n;
    }
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    SpinFor(30);
    EXPECT_EQ(Count(client, FD_WRITE), 0);
    // Drain the peer until the sender has room again.
    int got = 0;
    ASSERT_TRUE(SpinUntil([&] {
        const int n = recv(server, block.data(), static_cast<int>(block.size()), 0);
        got += n > 0 ? n : 0;
        return Count(client, FD_WRITE) >= 1;
    }));
    EXPECT_GT(got, 0);
    EXPECT_GT(total, 0);
    closesocket(client);
    closesocket(server);
}

TEST_F(WinsockTest, LookupFillsTheCallersBufferAndPostsCompletion) {
    alignas(8) char buf[1024];
    const HANDLE h = WSAAsyncGetHostByName(wnd, kLookup, "localhost", buf, sizeof buf);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(SpinUntil([] { return !notes.empty(); }));
    EXPECT_EQ(notes[0].msg, kLookup);
    EXPECT_EQ(notes[0].wParam, h);
    EXPECT_EQ(notes[0].error, 0);
    const auto* he = reinterpret_cast<const hostent*>(buf);
    EXPECT_EQ(he->h_addrtype, AF_INET);
    EXPECT_EQ(he->h_length, 4);
    ASSERT_NE(he->h_addr_list[0], nullptr);
    uint32_t addr;
    std::memcpy(&addr, he->h_addr_list[0], 4);
    EXPECT_EQ(addr, inet_addr("127.0.0.1"));
    EXPECT_GE(notes[0].event, sizeof(hostent));
    EXPECT_LE(notes[0].event, sizeof buf);
}

TEST_F(WinsockTest, LookupFailuresCarryTheirError) {
    alignas(8) char buf[1024];
    const HANDLE unknown = WSAAsyncGetHostByName(wnd, kLookup, "unlisted-host", buf, sizeof buf);
    alignas(8) char tiny[16];
    const HANDLE small = WSAAsyncGetHostByName(wnd, kLookup, "localhost", tiny, sizeof tiny);
    ASSERT_TRUE(SpinUntil([] { return notes.size() == 2; }));
    for (const Note& n : notes) {
        if (n.wParam == unknown)
            EXPECT_EQ(n.error, WSAHOST_NOT_FOUND);
        else if (n.wParam == small) {
            EXPECT_EQ(n.error, WSAENOBUFS);
            EXPECT_GT(n.event, sizeof tiny); // the length that would have been needed
        } else
            ADD_FAILURE() << "unexpected handle";
    }
}

TEST_F(WinsockTest, WithdrawnLookupLeavesTheBufferAlone) {
    alignas(8) char buf[1024];
    std::memset(buf, 0x5A, sizeof buf);
    const HANDLE h = WSAAsyncGetHostByName(wnd, kLookup, "localhost", buf, sizeof buf);
    EXPECT_EQ(WSACancelAsyncRequest(h), 0);
    EXPECT_EQ(WSACancelAsyncRequest(h), SOCKET_ERROR);
    SpinFor(300);
    EXPECT_TRUE(notes.empty());
    for (char c : buf) ASSERT_EQ(c, 0x5A);
    EXPECT_EQ(diagnostics::PendingLookups(), 0);
}

TEST_F(WinsockTest, LookupForADestroyedWindowIsDropped) {
    auto buf = std::make_unique<char[]>(1024);
    const HWND other = CreateWindowExA(0, "WinsockTestClass", "", 0, 0, 0, 0, 0);
    ASSERT_NE(WSAAsyncGetHostByName(other, kLookup, "localhost", buf.get(), 1024), 0u);
    DestroyWindow(other);
    SpinFor(300);
    EXPECT_TRUE(notes.empty());
}

} // namespace
} // namespace kelvo::winsock

namespace kelvo::winsock {
namespace {

// Puts `resolver` in place for one test and the test program's own back afterwards.
class ResolverSwap {
public:
    explicit ResolverSwap(Resolver r) : previous_(SetResolver(std::move(r))) {}
    ~ResolverSwap() { SetResolver(previous_); }
    ResolverSwap(const ResolverSwap&) = delete;
    ResolverSwap& operator=(const ResolverSwap&) = delete;

private:
    Resolver previous_;
};

struct LookupCase {
    const char* scenario;
    std::function<HostLookup(const std::string&)> resolve;
    uint16_t error;
    std::vector<uint32_t> addresses;
};

TEST_F(WinsockTest, LookupsAnswerFromTheInjectedResolver) {
    const uint32_t a = inet_addr("127.0.0.1");
    const uint32_t b = inet_addr("127.0.0.2");
    const LookupCase cases[] = {
        // clang-format off
        {"two addresses, one repeated", [&](const std::string&) { return HostLookup{0, {a, b, a}, {}}; }, 0, {a, b}},
        // clang-format on
        {"no address", [](const std::string&) { return HostLookup{}; }, WSANO_DATA, {}},
        // clang-format off
        {"try again", [](const std::string&) { return HostLookup{WSATRY_AGAIN, {}, {}}; }, WSATRY_AGAIN, {}},
        // clang-format on
        {"resolver that throws",
         [](const std::string&) -> HostLookup { throw std::runtime_error("name service broke"); },
         WSANO_RECOVERY,
         {}},
        {"canonical name longer than the buffer",
         // clang-format off
         [&](const std::string&) { return HostLookup{0, {a}, std::string(2000, 'c')}; }, WSAENOBUFS, {}},
        // clang-format on
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.scenario);
        notes.clear();
        ResolverSwap swap(c.resolve);
        alignas(8) char buf[1024];
        const HANDLE h = WSAAsyncGetHostByName(wnd, kLookup, "mail.test", buf, sizeof buf);
        ASSERT_NE(h, 0u);
        ASSERT_TRUE(SpinUntil([] { return !notes.empty(); }));
        EXPECT_EQ(notes[0].error, c.error);
        if (c.error != 0) continue;
        const auto* he = reinterpret_cast<const hostent*>(buf);
        std::vector<uint32_t> got;
        for (char** p = he->h_addr_list; *p != nullptr; ++p) {
            uint32_t x;
            std::memcpy(&x, *p, 4);
            got.push_back(x);
        }
        EXPECT_EQ(got, c.addresses);
        EXPECT_STREQ(he->h_name, "mail.test");
    }
}

TEST_F(WinsockTest, LongNamesReachTheResolverWhole) {
    std::vector<std::string> asked;
    std::mutex m;
    ResolverSwap swap([&](const std::string& name) {
        std::lock_guard lock(m);
        asked.push_back(name);
        return HostLookup{WSAHOST_NOT_FOUND, {}, {}};
    });
    const std::string names[] = {std::string(255, 'n'), std::string(65536, 'n')};
    for (const std::string& name : names) {
        notes.clear();
        alignas(8) char buf[1024];
        ASSERT_NE(WSAAsyncGetHostByName(wnd, kLookup, name.c_str(), buf, sizeof buf), 0u);
        ASSERT_TRUE(SpinUntil([] { return !notes.empty(); }));
        EXPECT_EQ(notes[0].error, WSAHOST_NOT_FOUND);
    }
    std::lock_guard lock(m);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], names[0]);
    EXPECT_EQ(asked[1], names[1]);
}

TEST(HostTable, KnowsOnlyItsNames) {
    const Resolver r = TableResolver("mail.test=127.0.0.1;;bad=300.1.1.1;=127.0.0.3;other.test=127.0.0.2");
    EXPECT_EQ(r("mail.test").addresses, std::vector<uint32_t>{inet_addr("127.0.0.1")});
    EXPECT_EQ(r("other.test").addresses, std::vector<uint32_t>{inet_addr("127.0.0.2")});
    for (const char* unknown : {"bad", "", "localhost", "MAIL.TEST"}) {
        EXPECT_EQ(r(unknown).error, WSAHOST_NOT_FOUND) << unknown;
        EXPECT_TRUE(r(unknown).addresses.empty()) << unknown;
    }
    EXPECT_EQ(TableResolver("")("localhost").error, WSAHOST_NOT_FOUND);
}

} // namespace
} // namespace kelvo::winsock
