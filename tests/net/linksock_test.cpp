// The socket client against scripted peers on 127.0.0.1: connection, status texts, line reads, sends, time-outs.
#include "net/linksock.h"
#include "net/thread_timer.h"
#include "platform/exceptions.h"
#include "platform/streams.h"
#include "tests/support/application.h"
#include "tests/support/event_loop.h"
#include "tests/support/raised.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_hosts.h"
#include "tests/support/winsock_loopback.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kelvo {
namespace {

namespace ws = winsock;
using test::C;
using test::Close;
using test::Drain;
using test::Hold;
using test::Pause;
using test::RaisedBy;
using test::Reset;
using test::S;
using test::ScriptedServer;

// Opens the protected parts that a derived component may use.
class ProbeSock : public TLinksock {
public:
    using TLinksock::CheckSocketError;
    using TLinksock::ReportStatus;
    void SetWaitDone(bool v) { waitDone_ = v; }
    void SetSucceeded(bool v) { succeeded_ = v; }
    void SetCanceled(bool v) { canceled_ = v; }
};

class LinksockTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::EnsureApp(); }

    void SetUp() override {
        sock = std::make_unique<ProbeSock>();
        sock->OnStatus = [this](QObject*, const std::string& s) { statuses.push_back(s); };
    }

    void ConnectTo(const ScriptedServer& server) {
        sock->SetHost("127.0.0.1");
        sock->SetPort(server.Port());
        sock->Connect();
        ASSERT_TRUE(sock->Connected());
    }

    std::unique_ptr<ProbeSock> sock;
    std::vector<std::string> statuses;
};

TEST_F(LinksockTest, TransactionReportsEveryStepAtLevelEight) {
    ScriptedServer server({C("HELO me"), S("250 OK\r\n")});
    ConnectTo(server);
    sock->SetReportLevel(8);
    statuses.clear();
    EXPECT_EQ(sock->Transaction("HELO me"), "250 OK\r\n");
    EXPECT_EQ(sock->ReplyNumber(), 250);
    EXPECT_EQ(sock->LastReply(), "250 OK\r\n");
    const std::vector<std::string> expected = {"Transaction", "Writeln", "Write",    "Sending Buffer", "Timer On",
                                               "Timer Off",   "ReadLn",  "Timer On", "Timer Off",      "250 OK\r\n"};
    EXPECT_EQ(statuses, expected);
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty());
}

TEST_F(LinksockTest, TimeOutDuringTransactionReadIsAnAbort) {
    ScriptedServer server({C("NOOP"), Hold(5000)});
    ConnectTo(server);
    sock->SetReportLevel(8);
    sock->SetTimeOut(300);
    statuses.clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->Transaction("NOOP"); }), "Socket readln aborted");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    const std::vector<std::string> expected = {"Transaction", "Writeln",   "Write",    "Sending Buffer",  "Timer On",
                                               "Timer Off",   "ReadLn",    "Timer On", "Timer Triggered", "Timer Off",
                                               "Abort",       "Canceling", "Timer Off"};
    EXPECT_EQ(statuses, expected);
    EXPECT_EQ(sock->ReplyNumber(), 0);
    EXPECT_FALSE(sock->Canceled()); // the abort error clears it for the next operation
    EXPECT_TRUE(sock->TimedOut());
}

TEST_F(LinksockTest, ReportLevelOneDeliversOnlyTheReplyLine) {
    ScriptedServer server({C("NOOP"), S("250 Fine\r\n")});
    sock->SetReportLevel(1);
    ConnectTo(server);
    sock->Transaction("NOOP");
    EXPECT_EQ(statuses, std::vector<std::string>{"250 Fine\r\n"});
}

TEST_F(LinksockTest, ReportLevelFourAddsTheMajorSteps) {
    sock->SetReportLevel(4);
    sock->Disconnect();
    EXPECT_EQ(statuses, std::vector<std::string>{"Request Close Socket"});
    statuses.clear();
    sock->SetReportLevel(0);
    sock->Disconnect();
    EXPECT_TRUE(statuses.empty());
}

TEST_F(LinksockTest, RefusedConnectionFiresConnectionFailedThenRaises) {
    std::vector<std::string> events;
    sock->OnConnect = [&](QObject*) { events.push_back("connect"); };
    sock->OnConnectionFailed = [&](QObject* s) {
        EXPECT_EQ(s, sock.get());
        events.push_back("failed");
    };
    sock->SetHost("127.0.0.1");
    sock->SetPort(test::ClosedLoopbackPort());
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Connection Failed");
    EXPECT_EQ(events, std::vector<std::string>{"failed"});
    EXPECT_FALSE(sock->Connected());
    EXPECT_FALSE(sock->Succeeded());
}

TEST_F(LinksockTest, SocketErrorsBecomeTexts) {
    struct Row {
        int code;
        std::string text; // "" = nothing raised
    };
    const Row rows[] = {
        {10061, "10061:Connection refused"},
        {10101, "Unknown Error No. 10101"},
        {10054, "10054:Connection reset by peer"},
        {11004, "11004:Valid name, no data record of requested type"},
        {10035, ""}, // the tolerated "would block"
        {10000, ""},
        {0, ""},
        {5, ""},
    };
    for (const Row& row : rows) {
        ws::WSASetLastError(row.code);
        EXPECT_EQ(RaisedBy<ESockError>([&] { sock->CheckSocketError(ws::WSAEWOULDBLOCK); }), row.text) << row.code;
    }
}

TEST_F(LinksockTest, ErrorTableTextsAreExact) {
    const std::pair<uint16_t, std::string> rows[] = {
        {10004, "10004:Interrupted system call"},
        {10047, "10047:Address family not supported by protocol family"},
        {10049, "10049:Can't assign requested address"},
        {10059, "10059:Too many references, can't splice"},
        {10065, "10065:No route to Host"},
        {10071, "10071:Too many levels of remote in path"},
        {10092, "10092:Incompatible version of WINSOCK.DLL"},
        {10093, "10093:Successful WSAStartup not yet performed"},
        {11002, "11002:Non-Authoritative Host not found"},
        {11003, "11003:Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
        {10072, "Unknown Error No. 10072"},
        {0, "Unknown Error No. 0"},
    };
    sock->SetReportLevel(8);
    for (const auto& [code, text] : rows) EXPECT_EQ(sock->LookUpErrorMessage(code), text);
    EXPECT_EQ(statuses.front(), "Looking Up Error Message");
}

TEST_F(LinksockTest, UnknownHostEndsInNullRemoteAddressAfterAskingOnce) {
    test::ResolverScope names({});
    int asked = 0;
    sock->SetHost("nowhere.test");
    sock->SetPort(25);
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Null Remote Address");
    sock->OnInvalidHost = [&](bool& handled) {
        ++asked;
        handled = true; // claims a fix, but the host stays unresolvable
    };
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Null Remote Address");
    EXPECT_EQ(asked, 1);
    sock->OnInvalidHost = [&](bool&) { ++asked; };
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Null Remote Address");
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(names.Asked(), std::vector<std::string>(4, "nowhere.test")); // twice for the handler's second try
}

TEST_F(LinksockTest, InvalidHostHandlerCanMendTheHost) {
    ScriptedServer server({S("220 ready\r\n")});
    sock->SetHost("0.0.0.0"); // address 0 counts as unresolved
    sock->SetPort(server.Port());
    sock->OnInvalidHost = [&](bool& handled) {
        sock->SetHost("127.0.0.1");
        handled = true;
    };
    int connects = 0;
    sock->OnConnect = [&](QObject*) { ++connects; };
    sock->Connect();
    EXPECT_TRUE(sock->Connected());
    EXPECT_EQ(connects, 1);
    std::string line;
    sock->ReadLn(line);
    EXPECT_EQ(line, "220 ready\r\n");
}

TEST_F(LinksockTest, DottedAddressNeedsNoLookup) {
    int resolved = 0;
    sock->OnHostResolved = [&](QObject*) { ++resolved; };
    sock->SetReportLevel(8);
    sock->SetHost("127.1.2.3");
    sock->ResolveHost();
    EXPECT_EQ(sock->RemoteAddress().sin_addr, ws::inet_addr("127.1.2.3"));
    EXPECT_EQ(resolved, 0);
    EXPECT_EQ(statuses, std::vector<std::string>{"Resolve Host"});
}

TEST_F(LinksockTest, HostNameIsLookedUp) {
    test::ResolverScope names({{"mail.test", test::Loopback()}});
    ScriptedServer server({S("220 named\r\n")});
    int resolved = 0;
    sock->OnHostResolved = [&](QObject*) { ++resolved; };
    sock->SetHost("mail.test");
    sock->SetPort(server.Port());
    sock->Connect();
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(sock->RemoteAddress().sin_addr, ws::inet_addr("127.0.0.1"));
    std::string line;
    sock->ReadLn(line);
    EXPECT_EQ(line, "220 named\r\n");
}

TEST_F(LinksockTest, HostLongerThanTheBufferIsRefused) {
    sock->SetHost(std::string(70000, 'a'));
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Host name too long");
}

TEST_F(LinksockTest, ConnectWhileConnectedOnlyClearsCanceled) {
    ScriptedServer server({Pause(500)});
    ConnectTo(server);
    sock->Cancel();
    const uint16_t s = sock->Socket();
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Already connected");
    EXPECT_FALSE(sock->Canceled());
    EXPECT_TRUE(sock->Connected());
    EXPECT_EQ(sock->Socket(), s);
}

struct ReadCase {
    const char* name;
    std::vector<test::Step> script;
    std::vector<std::string> lines;
};

class ReadLnTest : public LinksockTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadLnTest, AssemblesLines) {
    ScriptedServer server(GetParam().script);
    ConnectTo(server);
    for (const std::string& expected : GetParam().lines) {
        std::string line = "junk";
        sock->ReadLn(line);
        EXPECT_EQ(line, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Segments, ReadLnTest,
    ::testing::Values(ReadCase{"OneLine", {S("250 OK\r\n")}, {"250 OK\r\n"}},
                      ReadCase{"TwoLinesInOneSegment",
                               {S("250-First\r\n250 Second\r\n"), Pause(300), Close()},
                               {"250-First\r\n", "250 Second\r\n", ""}},
                      ReadCase{"LineOverSeveralSegments",
                               {S("25"), Pause(50), S("0 sp"), Pause(50), S("lit\r"), S("\n")},
                               {"250 split\r\n"}},
                      ReadCase{"BareLineFeedEndsTheLine", {S("a\nb\n")}, {"a\n", "b\n"}},
                      ReadCase{"PeerClosesBeforeLineFeed", {S("250 no end"), Pause(50), Close()}, {""}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinksockTest, ResetSeenByTheReadIsASocketError) {
    ScriptedServer server({Pause(100), Reset()});
    ConnectTo(server);
    server.Join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // no events: the read meets the reset first
    std::string line;
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->ReadLn(line); }), "10054:Connection reset by peer");
}

TEST_F(LinksockTest, ResetSeenByTheNotificationClosesTheSocket) {
    ScriptedServer server({Pause(100), Reset()});
    int disconnects = 0;
    sock->OnDisconnect = [&](QObject*) { ++disconnects; };
    ConnectTo(server);
    EXPECT_TRUE(test::SpinUntil([&] { return disconnects == 1; }));
    std::string line = "junk";
    sock->ReadLn(line); // the fresh socket is not connected: an empty line
    EXPECT_EQ(line, "");
}

TEST_F(LinksockTest, SecondLineOfASegmentNeedsNoFurtherTraffic) {
    ScriptedServer server({S("1\r\n2\r\n"), Hold(3000)});
    ConnectTo(server);
    std::string line;
    sock->ReadLn(line);
    sock->SetTimeOut(200); // the server sends nothing more: the second line must already be here
    sock->ReadLn(line);
    EXPECT_EQ(line, "2\r\n");
}

TEST_F(LinksockTest, ReplyNumberIsTheLeadingNumber) {
    struct Row {
        std::string reply;
        int16_t number;
    };
    const Row rows[] = {
        {"250-First\r\n", 250}, {"OK\r\n", 0},          {"99999999999 nines\r\n", 0},
        {"354 go\r\n", 354},    {"65786 wraps\r\n", 0}, {"007\r\n", 7},
    };
    std::vector<test::Step> script;
    for (const Row& r : rows) {
        script.push_back(C("X"));
        script.push_back(S(r.reply));
    }
    ScriptedServer server(script);
    ConnectTo(server);
    // The reply line is reported before its code is taken: a status handler sees the
    // line as LastReply and ReplyNumber still 0.
    std::vector<std::pair<std::string, int16_t>> seen;
    sock->SetReportLevel(1);
    sock->OnStatus = [&](QObject*, const std::string&) { seen.emplace_back(sock->LastReply(), sock->ReplyNumber()); };
    for (const Row& r : rows) {
        EXPECT_EQ(sock->Transaction("X"), r.reply);
        EXPECT_EQ(sock->ReplyNumber(), r.number) << r.reply;
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back(), std::make_pair(r.reply, int16_t{0})) << r.reply;
    }
}

TEST_F(LinksockTest, TransactionOnAClosedPeerGivesAnEmptyReply) {
    ScriptedServer server({C("QUIT"), Close()});
    ConnectTo(server);
    sock->SetReportLevel(1);
    EXPECT_EQ(sock->Transaction("QUIT"), "");
    EXPECT_EQ(sock->ReplyNumber(), 0);
    EXPECT_TRUE(statuses.empty());
}

TEST_F(LinksockTest, LineLongerThanTheBufferFailsTheRead) {
    ScriptedServer server({S(std::string(1 << 20, 'x')), Hold(5000)});
    ConnectTo(server);
    std::string line;
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->ReadLn(line); }), "Line too long");
    EXPECT_TRUE(line.empty());
    EXPECT_EQ(sock->Timer().Enabled(), false);
}

TEST_F(LinksockTest, WriteStopsAtAnEmbeddedNul) {
    ScriptedServer server({C("ABE")});
    ConnectTo(server);
    sock->Write(std::string("AB\0CD", 5));
    sock->Writeln("E");
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
}

TEST_F(LinksockTest, LongWriteIsSentWhole) {
    const std::string text(200000, 'w');
    ScriptedServer server({C(text)});
    ConnectTo(server);
    sock->Writeln(text);
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty());
}

TEST_F(LinksockTest, SendBufferLengthZeroMeansUpToTheNul) {
    ScriptedServer server({C("abc")});
    ConnectTo(server);
    const char data[] = "abc\r\n\0ignored";
    sock->SendBuffer(data, 0);
    EXPECT_TRUE(server.Join());
    EXPECT_EQ(server.Received(), "abc\r\n");
}

// A listener whose accept queue is full: further connection attempts get no answer.
class FullBacklog {
public:
    FullBacklog() {
        ws::WSADATA d;
        ws::WSAStartup(0x0101, &d);
        listener_ = ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0);
        ws::sockaddr_in a = test::BindLoopback(listener_, 0);
        port_ = (ws::ntohs)(a.sin_port);
        // Two clients that are never accepted fill the queue.
        for (int i = 0; i < 2; ++i) {
            fillers_.push_back(ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0));
            ws::WSAAsyncSelect(fillers_.back(), 0, 0, 0);
            ws::connect(fillers_.back(), &a, 16);
            test::SpinFor(50);
        }
    }
    ~FullBacklog() {
        for (ws::SOCKET s : fillers_) ws::closesocket(s);
        ws::closesocket(listener_);
        ws::WSACleanup();
    }
    uint16_t Port() const { return port_; }

private:
    ws::SOCKET listener_;
    std::vector<ws::SOCKET> fillers_;
    uint16_t port_ = 0;
};

TEST_F(LinksockTest, TimedOutConnectLeavesCanceledSoTheNextWriteRaises) {
    FullBacklog stalled;
    int failed = 0;
    sock->OnConnectionFailed = [&](QObject*) { ++failed; };
    sock->SetHost("127.0.0.1");
    sock->SetPort(stalled.Port());
    sock->SetTimeOut(300);
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Connection Timed out");
    EXPECT_EQ(failed, 1);
    EXPECT_TRUE(sock->Canceled());
    EXPECT_TRUE(sock->TimedOut());
    sock->SetReportLevel(8);
    statuses.clear();
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->Write("MAIL FROM:<a@b>\r\n"); }), "Socket send aborted");
    EXPECT_FALSE(sock->Canceled());
    const std::vector<std::string> expected = {"Write", "Sending Buffer", "Timer On", "Timer Off"};
    EXPECT_EQ(statuses, expected);
}

TEST_F(LinksockTest, CancelEndsAConnectWaitWithoutTimeOut) {
    FullBacklog stalled;
    sock->SetHost("127.0.0.1");
    sock->SetPort(stalled.Port());
    QTimer::singleShot(200, [&] { sock->Cancel(); });
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Connection Canceled");
}

TEST_F(LinksockTest, TwoComponentsShareOneLibraryStart) {
    sock.reset();
    ASSERT_EQ(TLinksock::WinsockUsers(), 0);
    const int startups = ws::diagnostics::StartupCalls();
    const int cleanups = ws::diagnostics::CleanupCalls();
    auto a = std::make_unique<TLinksock>();
    auto b = std::make_unique<TLinksock>();
    EXPECT_EQ(TLinksock::WinsockUsers(), 2);
    EXPECT_EQ(ws::diagnostics::StartupCalls(), startups + 1);
    EXPECT_NE(a->WindowHandle(), 0u);
    EXPECT_NE(b->WindowHandle(), 0u); // the window class registered by the first is reused
    a.reset();
    EXPECT_EQ(ws::diagnostics::CleanupCalls(), cleanups);
    EXPECT_EQ(TLinksock::WinsockUsers(), 1);
    b.reset();
    EXPECT_EQ(ws::diagnostics::CleanupCalls(), cleanups + 1);
    EXPECT_EQ(TLinksock::WinsockUsers(), 0);
}

TEST_F(LinksockTest, FailedStartUpLeavesTheCountAsItWas) {
    const int users = TLinksock::WinsockUsers();
    ws::diagnostics::FailNextSockets(1, ws::WSAEMFILE);
    EXPECT_EQ(RaisedBy<ESockError>([] { TLinksock s; }), "Initializaton of windows sockets failed");
    EXPECT_EQ(TLinksock::WinsockUsers(), users);
}

TEST_F(LinksockTest, MessagesFromTheNotificationWindow) {
    const HWND w = sock->WindowHandle();
    SendMessageA(w, WM_USER + 103, 0, MAKELPARAM(0, 0));
    EXPECT_TRUE(sock->Succeeded());
    SendMessageA(w, WM_USER + 100, 0, MAKELPARAM(0, 10061)); // below the range: default processing
    EXPECT_TRUE(sock->Succeeded());
    SendMessageA(w, WM_USER + 103, 0, MAKELPARAM(ws::FD_CONNECT, 10061)); // only updates Succeeded
    EXPECT_FALSE(sock->Succeeded());
    EXPECT_FALSE(sock->Connected());
    SendMessageA(w, WM_SOCKETEVENT, sock->Socket(), MAKELPARAM(ws::FD_ACCEPT, 0));
    EXPECT_TRUE(sock->Succeeded());
    EXPECT_TRUE(sock->Connected());
}

TEST_F(LinksockTest, NotificationsForAnOldSocketAreIgnored) {
    int disconnects = 0;
    sock->OnDisconnect = [&](QObject*) { ++disconnects; };
    const uint16_t old = sock->Socket();
    sock->Disconnect();
    ASSERT_NE(sock->Socket(), old);
    SendMessageA(sock->WindowHandle(), WM_SOCKETEVENT, old, MAKELPARAM(ws::FD_CLOSE, 0));
    EXPECT_EQ(disconnects, 1);
    SendMessageA(sock->WindowHandle(), WM_LOOKUPDONE, 4711, 0); // no lookup of ours
    EXPECT_FALSE(sock->WaitDone());
}

TEST_F(LinksockTest, DisconnectWithoutConnectionStillReplacesTheSocket) {
    int disconnects = 0;
    sock->OnDisconnect = [&](QObject*) { ++disconnects; };
    const uint16_t old = sock->Socket();
    sock->Disconnect();
    EXPECT_EQ(disconnects, 1);
    EXPECT_NE(sock->Socket(), TLinksock::kNoSocket);
    EXPECT_NE(sock->Socket(), old);
}

TEST_F(LinksockTest, PeerClosingWithUnreadDataKeepsTheConnection) {
    ScriptedServer server({S("221 bye\r\n"), Close()});
    int disconnects = 0;
    sock->OnDisconnect = [&](QObject*) { ++disconnects; };
    ConnectTo(server);
    server.Join();
    test::SpinFor(200);
    EXPECT_TRUE(sock->Connected());
    EXPECT_EQ(disconnects, 0);
    std::string line;
    sock->ReadLn(line);
    EXPECT_EQ(line, "221 bye\r\n");
    sock->ReadLn(line);
    EXPECT_EQ(line, "");
}

TEST_F(LinksockTest, PeerClosingWithNothingWaitingDisconnects) {
    ScriptedServer server({Pause(100), Close()});
    int disconnects = 0;
    sock->OnDisconnect = [&](QObject*) { ++disconnects; };
    ConnectTo(server);
    EXPECT_TRUE(test::SpinUntil([&] { return disconnects == 1; }));
    test::SpinFor(100);
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(sock->Connected());
    EXPECT_NE(sock->Socket(), TLinksock::kNoSocket);
}

// The peer keeps quiet, speaks or goes. The looks at it take nothing and do without the
// event loop, which would close the socket on FD_CLOSE. No-delay: in the SMTP session's tests.
TEST_F(LinksockTest, ConnectionOffersItsLocalAddressAndALookAtTheIdlePeer) {
    const std::vector<std::pair<std::vector<test::Step>, std::string>> peers{
        {{Hold(5000)}, ""}, {{S("421 closing\r\n"), Hold(5000)}, "421 closing\r\n"}, {{Pause(100), Close()}, ""}};
    for (const auto& [script, said] : peers) {
        SetUp();
        ScriptedServer server(script);
        EXPECT_EQ(sock->LocalAddress(), "");
        ConnectTo(server);
        EXPECT_EQ(sock->LocalAddress(), "127.0.0.1");
        const bool quiet = script.size() == 1;
        for (int turn = 0; !quiet && !sock->PeerStirredWhileIdle() && turn < 1000; ++turn)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(sock->PeerStirredWhileIdle(), !quiet);
        if (quiet) continue;
        std::string line;
        sock->ReadLn(line);
        EXPECT_EQ(line, said);
    }
}

TEST_F(LinksockTest, ReplacementSocketThatCannotBeMadeIsAnError) {
    ws::diagnostics::FailNextSockets(1, ws::WSAEMFILE);
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Disconnect(); }), "No socket available: 10024:Too many open files");
    EXPECT_EQ(sock->Socket(), TLinksock::kNoSocket);
    ScriptedServer server({S("220 again\r\n")});
    ConnectTo(server); // opens a socket again
    std::string line;
    sock->ReadLn(line);
    EXPECT_EQ(line, "220 again\r\n");
}

TEST_F(LinksockTest, CheckConnectionAsksItsHandlerOnce) {
    EXPECT_EQ(RaisedBy<Exception>([&] { sock->CheckConnection(); }), "Not Connected");
    EXPECT_EQ(RaisedBy<ESockError>([&] {
                  try {
                      sock->CheckConnection();
                  } catch (const ESockError&) {
                      throw;
                  } catch (const Exception&) {}
              }),
              ""); // not a socket error
    int asked = 0;
    sock->OnConnectionRequired = [&](bool& handled) {
        ++asked;
        handled = true;
    };
    EXPECT_EQ(RaisedBy<Exception>([&] { sock->CheckConnection(); }), "Not Connected");
    EXPECT_EQ(asked, 1);

    ScriptedServer server({Pause(300)});
    sock->SetHost("127.0.0.1");
    sock->SetPort(server.Port());
    sock->OnConnectionRequired = [&](bool& handled) {
        ++asked;
        sock->Connect();
        handled = true;
    };
    sock->CheckConnection();
    EXPECT_EQ(asked, 2);
    sock->CheckConnection(); // connected: no handler
    EXPECT_EQ(asked, 2);
}

TEST_F(LinksockTest, ClearInputDropsWaitingBytes) {
    ScriptedServer server({S("old junk\r\n"), Pause(100), C("NOOP"), S("250 fresh\r\n")});
    ConnectTo(server);
    test::SpinUntil([&] { return sock->DataAvailable(); });
    sock->ClearInput();
    EXPECT_EQ(sock->Transaction("NOOP"), "250 fresh\r\n");
}

TEST_F(LinksockTest, SendStreamSendsTheWholeStreamFromItsStart) {
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    ScriptedServer server({test::ReadBytes(data.size()), S("250 got it\r\n")});
    ConnectTo(server);
    TMemoryStream stream;
    stream.WriteString(data); // position now at the end: SendStream starts over
    int packets = 0;
    sock->OnPacketSent = [&](QObject*) { ++packets; };
    sock->SendStream(stream);
    EXPECT_GE(packets, 16); // at most 65536 bytes per send
    std::string line;
    sock->ReadLn(line); // closing at once would reset the connection and drop unsent bytes
    EXPECT_EQ(line, "250 got it\r\n");
    const std::string received = server.Received();
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST_F(LinksockTest, SendStreamOfAnEmptyStreamSendsNothing) {
    ScriptedServer server({Drain()});
    ConnectTo(server);
    TMemoryStream empty;
    int packets = 0;
    sock->OnPacketSent = [&](QObject*) { ++packets; };
    sock->SendStream(empty);
    EXPECT_EQ(packets, 0);
    sock->Disconnect();
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(server.Received(), "");
}

// A peer that never reads, with a small receive window, stalls every large send.
TEST_F(LinksockTest, StalledPeerEndsSendsByTimeOut) {
    ScriptedServer server({Hold(8000)}, {.receiveBuffer = 4096});
    ConnectTo(server);
    sock->SetTimeOut(300);
    int ticks = 0;
    QTimer live;
    QObject::connect(&live, &QTimer::timeout, [&] { ++ticks; });
    live.start(20);
    const std::string big(16 << 20, 'z');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->Write(big); }), "Socket send aborted");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_GT(ticks, 3); // the event loop kept running during the send
    EXPECT_FALSE(sock->Timer().Enabled());

    TMemoryStream stream;
    stream.WriteString(big);
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->SendStream(stream); }), "Socket send aborted");
    EXPECT_FALSE(sock->Timer().Enabled());
}

TEST_F(LinksockTest, CancelEndsAStalledSendWithoutTimeOut) {
    ScriptedServer server({Hold(8000)}, {.receiveBuffer = 4096});
    ConnectTo(server);
    QTimer::singleShot(200, [&] { sock->Abort(); });
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->Write(std::string(16 << 20, 'c')); }), "Socket send aborted");
    QTimer::singleShot(200, [&] { sock->Cancel(); });
    TMemoryStream stream;
    stream.WriteString(std::string(16 << 20, 's'));
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->SendStream(stream); }), "Socket send aborted");
}

// A wait that spins wakes the event loop thousands of times a second; one that sleeps
// wakes only for events (here: none until the time-out).
TEST_F(LinksockTest, WaitsSleepWhileThePeerIsSilent) {
    ScriptedServer server({Hold(5000)}, {.receiveBuffer = 4096});
    ConnectTo(server);
    int wakeUps = 0;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    const auto counter = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
    sock->SetTimeOut(400);
    std::string line;
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->ReadLn(line); }), "Socket readln aborted");
    EXPECT_LT(wakeUps, 40);
    wakeUps = 0;
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->Write(std::string(16 << 20, 'q')); }), "Socket send aborted");
    EXPECT_LT(wakeUps, 80);
    QObject::disconnect(counter);
}

TEST_F(LinksockTest, NegativeTimeOutMeansNone) {
    ScriptedServer server({Pause(400), S("250 late\r\n")});
    ConnectTo(server);
    sock->SetTimeOut(-5);
    std::string line;
    sock->ReadLn(line);
    EXPECT_EQ(line, "250 late\r\n");
    EXPECT_FALSE(sock->TimedOut());
}

TEST_F(LinksockTest, DestroyingTheComponentDuringItsWaitEndsTheWait) {
    ScriptedServer server({Hold(5000)});
    ConnectTo(server);
    ProbeSock* raw = sock.get();
    QTimer::singleShot(100, [&] { sock.reset(); });
    std::string line;
    EXPECT_EQ(RaisedBy<EAbortError>([&] { raw->ReadLn(line); }), "Socket readln aborted");
    EXPECT_EQ(sock, nullptr);
}

TEST_F(LinksockTest, HandlerDestroyingTheComponentEndsItsConnect) {
    ScriptedServer server({Pause(300)});
    sock->OnConnect = [&](QObject*) { sock.reset(); };
    ProbeSock* raw = sock.get();
    raw->SetHost("127.0.0.1");
    raw->SetPort(server.Port());
    EXPECT_EQ(RaisedBy<EAbortError>([&] { raw->Connect(); }), "Connection Canceled");
    EXPECT_EQ(sock, nullptr);
}

TEST_F(LinksockTest, DeleteLaterDuringAWaitIsDeferredUntilTheWaitHasLeft) {
    ScriptedServer server({Hold(5000)});
    ConnectTo(server);
    QPointer<ProbeSock> watched(sock.release());
    bool aliveAfterWait = false;
    QTimer::singleShot(100, [&] { watched->deleteLater(); });
    std::string line;
    EXPECT_EQ(RaisedBy<EAbortError>([&] { watched->ReadLn(line); }), "Socket readln aborted");
    aliveAfterWait = !watched.isNull();
    EXPECT_TRUE(aliveAfterWait);
    EXPECT_TRUE(test::SpinUntil([&] { return watched.isNull(); }));
}

TEST_F(LinksockTest, AbandonedLookupNeitherWritesLateNorEndsALaterWait) {
    // Cancel as soon as the lookup is armed: the wait ends before the answer comes.
    test::ResolverScope names({{"slow.test", test::Loopback(), 300}});
    auto cancelOnArm = [](ProbeSock& s) {
        s.SetReportLevel(8);
        s.OnStatus = [&s](QObject*, const std::string& text) {
            if (text == "Timer On") s.Cancel();
        };
        s.SetHost("slow.test");
    };
    {
        ProbeSock doomed; // destroyed while its lookup may still be under way
        cancelOnArm(doomed);
        EXPECT_EQ(RaisedBy<ESockError>([&] { doomed.ResolveHost(); }), "Host Lookup Canceled");
    }
    cancelOnArm(*sock);
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->ResolveHost(); }), "Host Lookup Canceled");
    EXPECT_EQ(ws::diagnostics::PendingLookups(), 0);
    sock->OnStatus = nullptr;
    // Accept's wait ends only by WaitDone or a cancel; the late answer must not end it.
    sock->SetCanceled(false);
    sock->SetWaitDone(false);
    QTimer::singleShot(300, [&] { sock->Cancel(); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Accept(); }), "Accepting Canceled");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_FALSE(sock->WaitDone());
}

TEST_F(LinksockTest, AcceptTakesAnIncomingConnection) {
    const ws::sockaddr_in a = test::BindLoopback(sock->Socket(), 1);
    TLinksock client;
    client.SetHost("127.0.0.1");
    client.SetPort((ws::ntohs)(a.sin_port));
    client.Connect();
    ASSERT_TRUE(test::SpinUntil([&] { return sock->Connected(); })); // FD_ACCEPT
    sock->SetWaitDone(true);                                         // what a listening subclass would do
    sock->SetReportLevel(4);
    const uint16_t data = sock->Accept();
    EXPECT_NE(data, TLinksock::kNoSocket);
    EXPECT_EQ(statuses.back(), "Accepting");
    EXPECT_EQ(sock->RemoteAddress().sin_addr, ws::inet_addr("127.0.0.1"));
    client.Writeln("hello");
    char buf[16] = {};
    ASSERT_TRUE(test::SpinUntil([&] { return ws::recv(data, buf, sizeof buf, 0) == 7; }));
    EXPECT_STREQ(buf, "hello\r\n");
    ws::closesocket(data);

    sock->SetSucceeded(false);
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Accept(); }), "Error creating Data Connection");
}

TEST_F(LinksockTest, AbortAndCancelSetCanceled) {
    sock->SetReportLevel(8);
    sock->Abort();
    EXPECT_TRUE(sock->Canceled());
    EXPECT_EQ(statuses, (std::vector<std::string>{"Abort", "Canceling"}));
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Accept(); }), "Accepting Canceled");
    EXPECT_TRUE(sock->Canceled()); // Accept leaves it set
}

// A wait that should end at once: `rescued` tells whether only this timer ended it.
class Rescue {
public:
    explicit Rescue(int ms) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] { rescued_ = true; });
        timer_.start(ms);
    }
    bool Rescued() const { return rescued_; }

private:
    QTimer timer_;
    bool rescued_ = false;
};

TEST_F(LinksockTest, ReadLnThatFindsACancelEndsAfterOneTurn) {
    struct Row {
        const char* cancelOn; // "" = the flag is already set on entry
        int32_t timeOut;
        std::vector<std::string> statuses;
    };
    const Row rows[] = {
        {"", 0, {"ReadLn", "Timer On", "Timer Off"}},
        {"", 2000, {"ReadLn", "Timer On", "Timer Off"}},
        {"ReadLn", 0, {"ReadLn", "Canceling", "Timer On", "Timer Off"}},
        {"ReadLn", 2000, {"ReadLn", "Canceling", "Timer On", "Timer Off"}},
        {"Timer On", 0, {"ReadLn", "Timer On", "Canceling", "Timer Off"}},
        {"Timer On", 2000, {"ReadLn", "Timer On", "Canceling", "Timer Off"}},
    };
    ScriptedServer server({Hold(8000)}); // silent: only the cancel can end the read
    ConnectTo(server);
    sock->SetReportLevel(8);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("cancel on '") + row.cancelOn + "', time-out " + std::to_string(row.timeOut));
        statuses.clear();
        sock->SetTimeOut(row.timeOut);
        sock->OnStatus = [&](QObject*, const std::string& text) {
            statuses.push_back(text);
            if (text == row.cancelOn) sock->Cancel();
        };
        if (*row.cancelOn == '\0') sock->SetCanceled(true);
        Rescue rescue(3000);
        std::string line = "junk";
        EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->ReadLn(line); }), "Socket readln aborted");
        EXPECT_FALSE(rescue.Rescued());
        EXPECT_EQ(statuses, row.statuses);
        EXPECT_FALSE(sock->Canceled());
        EXPECT_FALSE(sock->TimedOut());
        EXPECT_TRUE(line.empty());
    }
}

// Gives at most one byte per read, so every byte is a block of its own and any wait of
// the send starts at a block's first byte.
class ByteAtATimeStream : public TMemoryStream {
public:
    int32_t Read(void* buffer, int32_t count) override { return TMemoryStream::Read(buffer, std::min(count, 1)); }
};

TEST_F(LinksockTest, ReplyAndHalfCloseDuringASendDoNotTouchTheUnsentData) {
    std::string data(256 << 10, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    const size_t early = 64 << 10;
    // The peer stops reading until the client's send waits, answers and half-closes while
    // it waits (FD_CLOSE with the reply unread), then takes the rest.
    ScriptedServer server({test::ReadBytes(early), Pause(400), S("554 no more\r\n"), test::HalfClose(), Pause(100),
                           test::ReadBytes(data.size() - early)},
                          {.receiveBuffer = 4096});
    ConnectTo(server);
    test::LimitSendBuffer(ws::diagnostics::NativeHandle(sock->Socket()), 4096);
    ByteAtATimeStream stream;
    stream.WriteString(data);
    sock->SendStream(stream);
    EXPECT_TRUE(server.Join(15000));
    EXPECT_TRUE(sock->Connected()); // the unread reply keeps the connection
    std::string line;
    sock->ReadLn(line);
    EXPECT_EQ(line, "554 no more\r\n");
    const std::string received = server.Received();
    ASSERT_EQ(received.size(), data.size());
    const auto diff = std::mismatch(received.begin(), received.end(), data.begin());
    EXPECT_TRUE(diff.first == received.end()) << "first wrong byte at " << (diff.first - received.begin()) << ": '"
                                              << *diff.first << "' for '" << *diff.second << "'";
}

TEST_F(LinksockTest, SendsToAPeerThatKeepsReadingOutlastTheTimeOut) {
    struct Row {
        const char* op;
        std::function<void(TLinksock&, const std::string&)> send;
        size_t extra;
    };
    const Row rows[] = {
        {"Write", [](TLinksock& s, const std::string& t) { s.Write(t); }, 0},
        {"Writeln", [](TLinksock& s, const std::string& t) { s.Writeln(t); }, 2},
    };
    const std::string text(4 << 20, 't');
    for (const Row& row : rows) {
        SCOPED_TRACE(row.op);
        SetUp();
        // 16 KiB every 5 ms: about 1.3 s for the whole text, never a pause near the time-out.
        ScriptedServer server({test::Trickle(text.size() + row.extra, 16 << 10, 5)}, {.receiveBuffer = 16 << 10});
        ConnectTo(server);
        test::LimitSendBuffer(ws::diagnostics::NativeHandle(sock->Socket()), 16 << 10);
        sock->SetTimeOut(500);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RaisedBy<EAbortError>([&] { row.send(*sock, text); }), "");
        // Without a send that lasts longer than the time-out this row would prove nothing.
        ASSERT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        EXPECT_TRUE(server.Join(15000));
        EXPECT_EQ(server.Received().size(), text.size() + row.extra);
        EXPECT_FALSE(sock->Timer().Enabled());
    }
}

struct OverlongCase {
    const char* scenario;
    std::vector<test::Step> script;
};

TEST_F(LinksockTest, RestOfAnOverlongLineIsDiscarded) {
    const std::string tail(4466, 'y');
    const OverlongCase cases[] = {
        {"tail in the same segment", {S(std::string(70000, 'x') + "\r\n250 next\r\n"), Hold(3000)}},
        {"tail arriving later",
         {S(std::string(65536, 'x')), Pause(200), S(tail), Pause(100), S("\r\n250 next\r\n"), Hold(3000)}},
        {"only the line feed left", {S(std::string(65536, 'x') + "\n250 next\r\n"), Hold(3000)}},
    };
    for (const OverlongCase& c : cases) {
        SCOPED_TRACE(c.scenario);
        SetUp();
        ScriptedServer server(c.script);
        ConnectTo(server);
        sock->SetTimeOut(3000);
        std::string line;
        EXPECT_EQ(RaisedBy<ESockError>([&] { sock->ReadLn(line); }), "Line too long");
        EXPECT_EQ(RaisedBy<ESockError>([&] { sock->ReadLn(line); }), "");
        EXPECT_TRUE(line == "250 next\r\n") << line.size() << " bytes: " << line.substr(0, 20);
    }
}

TEST_F(LinksockTest, OverlongLineDoesNotOutliveTheConnection) {
    {
        ScriptedServer server({S(std::string(70000, 'x')), Hold(3000)});
        ConnectTo(server);
        std::string line;
        EXPECT_EQ(RaisedBy<ESockError>([&] { sock->ReadLn(line); }), "Line too long");
        sock->Disconnect();
    }
    ScriptedServer server({S("220 fresh\r\n")});
    ConnectTo(server);
    std::string line;
    sock->ReadLn(line);
    EXPECT_EQ(line, "220 fresh\r\n");
}

TEST_F(LinksockTest, LookupSlowerThanTheTimeOutTimesOut) {
    test::ResolverScope names({{"slow.test", test::Loopback(), 1500}});
    int failed = 0;
    sock->OnConnectionFailed = [&](QObject*) { ++failed; };
    sock->SetHost("slow.test");
    sock->SetPort(25);
    sock->SetTimeOut(200);
    sock->SetReportLevel(8);
    statuses.clear();
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Host Lookup Timed Out");
    const std::vector<std::string> expected = {"Connecting", "Resolve Host", "Timer On",  "Timer Triggered",
                                               "Timer Off",  "Abort",        "Canceling", "Timer Off"};
    EXPECT_EQ(statuses, expected);
    EXPECT_EQ(failed, 0); // the lookup failed, not a connection
    EXPECT_TRUE(sock->TimedOut());
    EXPECT_EQ(ws::diagnostics::PendingLookups(), 0); // withdrawn, so the late answer writes nothing
}

TEST_F(LinksockTest, LongHostNamesAreLookedUpWhole) {
    ScriptedServer server({S("220 long\r\n")});
    const std::string longest(TLinksock::kBufferSize, 'h');
    const std::string name255 = std::string(251, 'n') + ".test";
    test::ResolverScope names(
        {{name255, test::Loopback()}, {"big.test", {0, {ws::inet_addr("127.0.0.1")}, std::string(2000, 'c')}}});
    sock->SetPort(server.Port());
    sock->SetHost(longest); // fills the working buffer to its last byte: looked up, unknown
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Null Remote Address");
    sock->SetHost("big.test"); // its host entry does not fit the 1024-byte buffer
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->Connect(); }), "Null Remote Address");
    const std::vector<std::string> asked = names.Asked();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_TRUE(asked[0] == longest);
    sock->SetHost(name255);
    sock->Connect();
    std::string line;
    sock->ReadLn(line);
    EXPECT_EQ(line, "220 long\r\n");
}

// Each row destroys the component from one of its handlers while an operation runs.
struct DestroyCase {
    const char* handler;
    bool connected; // the operation runs on a standing connection
    std::function<void(ProbeSock&, std::function<void()> destroy)> arm;
    std::function<void(ProbeSock&)> run;
    const char* error;
};

TEST_F(LinksockTest, HandlerMayDestroyTheComponent) {
    auto statusKills = [](const char* text) {
        return [text](ProbeSock& s, std::function<void()> destroy) {
            s.SetReportLevel(8);
            s.OnStatus = [text, destroy](QObject*, const std::string& t) {
                if (t == text) destroy();
            };
        };
    };
    const DestroyCase cases[] = {
        {"OnStatus on ReadLn", true, statusKills("ReadLn"),
         [](ProbeSock& s) {
             std::string line;
             s.ReadLn(line);
         },
         "Socket readln aborted"},
        {"OnStatus on Connecting", false, statusKills("Connecting"), [](ProbeSock& s) { s.Connect(); },
         "Connection Canceled"},
        // The bytes have gone out before the last status: the write stands.
        {"OnStatus on Timer Off", true, statusKills("Timer Off"), [](ProbeSock& s) { s.Write("NOOP\r\n"); }, ""},
        {"OnHostResolved", false,
         [](ProbeSock& s, std::function<void()> destroy) {
             s.SetHost("mail.test");
             s.OnHostResolved = [destroy](QObject*) { destroy(); };
         },
         [](ProbeSock& s) { s.Connect(); }, "Host Lookup Canceled"},
        {"OnInvalidHost", false,
         [](ProbeSock& s, std::function<void()> destroy) {
             s.SetHost("nowhere.test");
             s.OnInvalidHost = [destroy](bool& handled) {
                 handled = true;
                 destroy();
             };
         },
         [](ProbeSock& s) { s.Connect(); }, "Connection Canceled"},
        {"OnConnectionRequired", false,
         [](ProbeSock& s, std::function<void()> destroy) {
             s.OnConnectionRequired = [destroy](bool& handled) {
                 handled = true;
                 destroy();
             };
         },
         [](ProbeSock& s) { s.CheckConnection(); }, "Not Connected"},
    };
    test::ResolverScope names({{"mail.test", test::Loopback()}});
    for (const DestroyCase& c : cases) {
        SCOPED_TRACE(c.handler);
        ScriptedServer server({S("220 hi\r\n"), Hold(3000)});
        sock = std::make_unique<ProbeSock>();
        ProbeSock* raw = sock.get();
        raw->SetHost("127.0.0.1");
        raw->SetPort(server.Port());
        if (c.connected) ConnectTo(server);
        c.arm(*raw, [this] { sock.reset(); });
        EXPECT_EQ(RaisedBy<EAbortError>([&] { c.run(*raw); }), c.error);
        EXPECT_EQ(sock, nullptr);
    }
}

} // namespace
} // namespace kelvo
