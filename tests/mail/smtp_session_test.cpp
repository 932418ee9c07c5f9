// The SMTP session against scripted servers: every reply threshold, the one-chance handlers, the envelope and the data.
#include "mail/smtp.h"
#include "platform/exceptions.h"
#include "tests/mail/support/smtp_test_support.h"
#include "tests/support/loopback.h"

#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace kelvo;
using namespace kelvo::test;

namespace {

using Script = std::vector<Step>;

Script Cat(std::initializer_list<Script> parts) {
    Script all;
    for (const Script& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Script Greeted() { return {S("220 test ready\r\n"), C("HELO kelvo"), S("250 test\r\n")}; }
Script Quit() { return {C("QUIT"), S("221 bye\r\n")}; }

// One accepted transaction for the given recipients.
Script Accepted(const std::vector<std::string>& rcpts, const std::string& from = "ann@example.org") {
    Script s{C("RSET"), S("250 OK\r\n"), C("MAIL FROM:<" + from + ">"), S("250 OK\r\n")};
    for (const std::string& r : rcpts) {
        s.push_back(C("RCPT TO:<" + r + ">"));
        s.push_back(S("250 OK\r\n"));
    }
    s.insert(s.end(), {C("DATA"), S("354 go ahead\r\n"), Data(), S("250 queued\r\n")});
    return s;
}

class SmtpSession : public ::testing::Test {
protected:
    void SetUp() override { EnsureApp(); }

    TKivSMTP& Make(uint16_t port) {
        smtp_ = std::make_unique<TKivSMTP>();
        smtp_->SetHost("127.0.0.1");
        smtp_->SetPort(port);
        smtp_->SetUserID("kelvo");
        smtp_->SetTimeOut(5000);
        TPostMessage& m = smtp_->PostMessage();
        m.SetFromAddress("ann@example.org");
        m.SetFromName("Ann");
        m.ToAddress().Add("bob@example.org");
        m.SetSubject("Feedback");
        m.Body().Add("Hello,");
        m.Body().Add(".");
        m.Body().Add("bye");
        return *smtp_;
    }

    std::unique_ptr<TKivSMTP> smtp_;
};

TEST_F(SmtpSession, ConstructorDefaults) {
    EnsureApp();
    TKivSMTP smtp;
    EXPECT_EQ(smtp.Port(), 25);
    EXPECT_EQ(smtp.EncodeType(), uuMime);
    EXPECT_TRUE(smtp.ClearParams());
    EXPECT_EQ(smtp.SubType(), mtPlain);
    EXPECT_EQ(smtp.Charset(), "us-ascii");
    EXPECT_FALSE(smtp.Busy());
    EXPECT_EQ(smtp.PostMessage().ToAddress().Count(), 0);
    EXPECT_EQ(smtp.FinalHeader().Count(), 0);
}

TEST_F(SmtpSession, ConnectFiresOnConnectAfterHeloOnly) {
    ScriptedServer server(Cat({Greeted(), Quit()}), kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    int connects = 0;
    std::string seen;
    smtp.OnConnect = [&](QObject* sender) {
        EXPECT_EQ(sender, &smtp);
        EXPECT_FALSE(smtp.Busy());
        seen = server.Received();
        ++connects;
    };
    smtp.Connect();
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(seen, "HELO kelvo\r\n");
    EXPECT_FALSE(static_cast<TLinksock&>(smtp).OnConnect); // the socket client's own event stays unassigned
    EXPECT_TRUE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    smtp.Disconnect();
    EXPECT_FALSE(smtp.Connected());
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
}

TEST(HeloName, TypedNameStandsOnlyWhenItIsADomainOrAddressLiteral) {
    struct Row {
        std::string wanted, hostName, localAddress, helo;
    };
    const std::vector<Row> rows{
        {"Ann", "vm", "127.0.0.1", "Ann"},
        {"jane.example.org", "", "", "jane.example.org"},
        {"[192.0.2.7]", "", "", "[192.0.2.7]"},
        {"[IPv6:2001:db8::1]", "", "", "[IPv6:2001:db8::1]"},
        {"Jane Doe", "host.example.org", "127.0.0.1", "host.example.org"},
        {"J\xc3\xb6rg", "vm", "127.0.0.1", "[127.0.0.1]"},
        {"12.34", "host-.example.org", "127.0.0.2", "[127.0.0.2]"},
        {"[999.1.1.1]", "vm", "", ""},
        {"doe-", "", "", ""},
    };
    for (const Row& r : rows) EXPECT_EQ(HeloName(r.wanted, r.hostName, r.localAddress), r.helo) << r.wanted;
}

TEST_F(SmtpSession, EmptyUserIdSendsHeloWithTrailingSpace) {
    ScriptedServer server({S("220 hi\r\n"), C("HELO "), S("250 ok\r\n")}, kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.SetUserID("");
    smtp.Connect();
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
}

// A refused greeting ends Connect with the greeting's last line, whether the server
// waits for QUIT (RFC 5321 §3.1) or hangs up at once.
TEST_F(SmtpSession, RefusedGreetingFailsWithItsTextAndCloses) {
    struct Row {
        const char* name;
        Script script;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"waits for QUIT", {S("554 no service here\r\n"), C("QUIT"), S("221 bye\r\n")}, "554 no service here\r\n"},
        {"hangs up", {S("554 go away\r\n"), Close()}, "554 go away\r\n"},
        {"two lines", {S("554-first\r\n554 second\r\n"), C("QUIT"), S("221 bye\r\n")}, "554 second\r\n"},
        {"421", {S("421 busy\r\n"), Close()}, "421 busy\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server(row.script, kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        bool connected = false;
        smtp.OnConnect = [&](QObject*) { connected = true; };
        EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), row.message);
        EXPECT_FALSE(connected);
        EXPECT_FALSE(smtp.Connected());
        EXPECT_FALSE(smtp.Busy());
        EXPECT_TRUE(server.Join());
        EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
    }
}

TEST_F(SmtpSession, GreetingOfTwoLinesIsReadWhole) {
    ScriptedServer server(
        {S("220-first line\r\n"), Pause(50), S("220 second line\r\n"), C("HELO kelvo"), S("250 hi\r\n")}, kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.SetReportLevel(1);
    std::vector<std::string> replies;
    smtp.OnStatus = [&](QObject*, const std::string& s) { replies.push_back(s); };
    smtp.Connect();
    EXPECT_EQ(replies, (std::vector<std::string>{"220-first line\r\n", "220 second line\r\n", "250 hi\r\n"}));
    EXPECT_EQ(smtp.LastReply(), "250 hi\r\n");
    EXPECT_EQ(smtp.ReplyNumber(), 250);
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
}

TEST_F(SmtpSession, RefusedHeloGetsOneRetryThroughTheHandler) {
    enum Handler { None, Declines, MendsUserId, SetsHandledOnly };
    struct Row {
        const char* name;
        Handler handler;
        Script script;
        std::string failure;
        int calls;
    };
    const std::vector<Row> rows = {
        {"no handler",
         None,
         {S("220 hi\r\n"), C("HELO kelvo"), S("501 bad name\r\n"), C("QUIT"), S("221 bye\r\n")},
         "Authentication failed",
         0},
        {"handler declines",
         Declines,
         {S("220 hi\r\n"), C("HELO kelvo"), S("501 bad name\r\n"), C("QUIT"), S("221 bye\r\n")},
         "Authentication failed",
         1},
        {"handler mends",
         MendsUserId,
         {S("220 hi\r\n"), C("HELO kelvo"), S("501 bad name\r\n"), C("HELO mended.example.org"), S("250 ok\r\n")},
         "(none)",
         1},
        {"second refusal",
         SetsHandledOnly,
         {S("220 hi\r\n"), C("HELO kelvo"), S("501 bad name\r\n"), C("HELO kelvo"), S("501 still bad\r\n"), C("QUIT"),
          S("221 bye\r\n")},
         "Authentication failed",
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server(row.script, kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        int calls = 0;
        if (row.handler != None) {
            smtp.OnAuthenticationFailed = [&](bool& handled) {
                ++calls;
                EXPECT_FALSE(handled);
                if (row.handler == MendsUserId) smtp.SetUserID("mended.example.org");
                handled = row.handler != Declines;
            };
        }
        int connects = 0;
        smtp.OnConnect = [&](QObject*) { ++connects; };
        EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), row.failure);
        EXPECT_EQ(calls, row.calls);
        EXPECT_EQ(connects, row.failure == "(none)" ? 1 : 0);
        EXPECT_EQ(smtp.Connected(), row.failure == "(none)");
        EXPECT_FALSE(smtp.Busy());
        EXPECT_TRUE(server.Join());
        EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
    }
}

TEST_F(SmtpSession, SendsEnvelopeHeaderBlockAndBody) {
    ScriptedServer server(Cat({Greeted(), Accepted({"bob@example.org"}), Quit()}), kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    std::vector<std::string> events;
    smtp.OnSendStart = [&](QObject*) { events.push_back("start"); };
    smtp.OnPacketSent = [&](QObject*) {
        if (events.back() != "packet") events.push_back("packet");
    };
    smtp.OnSuccess = [&](QObject*) {
        EXPECT_FALSE(smtp.Busy());
        EXPECT_EQ(smtp.PostMessage().ToAddress().Count(), 0); // ClearParams has run
        events.push_back("success");
    };
    smtp.OnFailure = [&](QObject*) { events.push_back("failure"); };
    smtp.Connect();
    smtp.SendMail();
    EXPECT_EQ(events, (std::vector<std::string>{"start", "packet", "success"}));
    smtp.Disconnect();
    ASSERT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
    ASSERT_EQ(server.Messages().size(), 1u);
    // Header lines, two more CR LF pairs, then the dot-stuffed body; the "." line ends it.
    std::string expected;
    for (const std::string& line : smtp.FinalHeader().Items()) expected += line + "\r\n";
    expected += "\r\n\r\nHello,\r\n..\r\nbye\r\n";
    EXPECT_EQ(server.Messages()[0], expected);
    EXPECT_EQ(smtp.FinalHeader()[0], "From: Ann<ann@example.org>");
    EXPECT_EQ(smtp.PostMessage().Body().Count(), 3); // the body stays
}

TEST_F(SmtpSession, MultiLineRepliesToEveryCommandKeepTheDialogueInStep) {
    auto many = [](const std::string& code, const std::string& last) {
        return S(code + "-one\r\n" + code + "-two\r\n" + code + " " + last + "\r\n");
    };
    ScriptedServer server({S("220 hi\r\n"), C("HELO kelvo"), many("250", "helo"), C("RSET"), many("250", "rset"),
                           C("MAIL FROM:<ann@example.org>"), many("250", "mail"), C("RCPT TO:<bob@example.org>"),
                           many("250", "rcpt"), C("DATA"), many("354", "data"), Data(), many("250", "queued"),
                           C("RSET"), many("250", "rset"), C("MAIL FROM:<ann@example.org>"), many("451", "later")},
                          kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.SetClearParams(false);
    smtp.Connect();
    smtp.SendMail();
    EXPECT_EQ(smtp.ReplyNumber(), 250);
    EXPECT_EQ(smtp.LastReply(), "250 queued\r\n");
    // The second send meets the refusal of MAIL, with the reply's last line as its text.
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "451 later\r\n");
    EXPECT_EQ(smtp.ReplyNumber(), 451);
    EXPECT_TRUE(smtp.Connected());
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
}

TEST_F(SmtpSession, EndlessReplyIsCutOffAndTheConnectionDropped) {
    std::string hundred;
    for (int i = 0; i < TKivSMTP::kMaxReplyLines - 1; ++i) hundred += "250-line\r\n";
    ScriptedServer server(Cat({Greeted(),
                               {C("RSET"), S(hundred + "250 last\r\n"), C("MAIL FROM:<ann@example.org>"),
                                S(hundred + "250-one too many\r\n250 end\r\n")}}),
                          kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.Connect();
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Reply longer than 100 lines");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
}

// A reply has the time-out as a whole: a server that drips out its lines, each
// within the time-out, cannot hold the session for a hundred of them.
TEST_F(SmtpSession, ReplyDrippingOutLineByLineHasOneTimeOut) {
    constexpr int kTimeOutMs = 500;
    Script drip = Cat({Greeted(), {C("RSET")}});
    for (int i = 0; i < 15; ++i) drip.insert(drip.end(), {S("250-still here\r\n"), Pause(kTimeOutMs * 6 / 10)});
    drip.push_back(S("250 ok\r\n"));
    ScriptedServer server(drip, kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.SetTimeOut(kTimeOutMs);
    smtp.Connect();
    QElapsedTimer clock;
    smtp.OnSendStart = [&](QObject*) { clock.start(); };
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Socket readln aborted");
    // Line by line it would take 15 pauses (4.5 s); a busy machine gets some slack.
    EXPECT_LT(clock.elapsed(), 4 * kTimeOutMs);
    EXPECT_FALSE(smtp.Connected());
}

TEST_F(SmtpSession, ReplyWithoutDigitsCountsAsZeroAndPasses) {
    ScriptedServer server(Cat({{S("hello there\r\n"), C("HELO kelvo"), S("OK\r\n"), C("RSET"), S("fine\r\n"),
                                C("MAIL FROM:<ann@example.org>"), S("sure\r\n"), C("RCPT TO:<bob@example.org>"),
                                S("yes\r\n"), C("DATA"), S("354 go\r\n"), Data(), S("done\r\n")}}),
                          kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    bool success = false;
    smtp.OnSuccess = [&](QObject*) { success = true; };
    smtp.Connect();
    smtp.SendMail();
    EXPECT_TRUE(success);
    EXPECT_EQ(smtp.ReplyNumber(), 0);
    EXPECT_TRUE(server.Join());
    EXPECT_EQ(server.Messages().size(), 1u);
}

// DATA passes only with 3xx. Any other answer fails the send before a byte of the
// message goes out; one that is not a refusal leaves the server's state unknown, so
// the connection is dropped rather than reused.
TEST_F(SmtpSession, DataWithoutIntermediateReplySendsNothingAndDropsTheConnection) {
    struct Row {
        const char* name;
        std::string reply;
        bool keepsConnection;
    };
    const std::vector<Row> rows = {
        {"250 instead of 354", "250 ok\r\n", false},
        {"220", "220 hello again\r\n", false},
        {"no code at all", "go ahead\r\n", false},
        {"multi-line 250", "250-one\r\n250 two\r\n", false},
        {"503 refusal keeps the dialogue in step", "503 need RCPT\r\n", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Stale replies that would answer the header lines, ".", RSET and QUIT of a
        // client that took the 2xx for a go-ahead.
        Script script = Cat({Greeted(),
                             {C("RSET"), S("250 ok\r\n"), C("MAIL FROM:<ann@example.org>"), S("250 ok\r\n"),
                              C("RCPT TO:<bob@example.org>"), S("250 ok\r\n"), C("DATA"), S(row.reply)}});
        if (row.keepsConnection)
            script.insert(script.end(), {C("QUIT"), S("221 bye\r\n")});
        else
            script.push_back(ReadSome(1));
        ScriptedServer server(script, kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        bool success = false;
        smtp.OnSuccess = [&](QObject*) { success = true; };
        smtp.Connect();
        const std::string failure = FailureOf([&] { smtp.SendMail(); });
        const std::string lastLine = row.reply.substr(row.reply.rfind('\n', row.reply.size() - 2) == std::string::npos
                                                          ? 0
                                                          : row.reply.rfind('\n', row.reply.size() - 2) + 1);
        EXPECT_EQ(failure, lastLine);
        EXPECT_FALSE(success);
        EXPECT_FALSE(smtp.Busy());
        EXPECT_EQ(smtp.Connected(), row.keepsConnection);
        if (row.keepsConnection) smtp.Disconnect();
        EXPECT_TRUE(server.Join());
        EXPECT_EQ(server.Received().find("From: "), std::string::npos) << "message data sent after " << row.reply;
        EXPECT_EQ(smtp.PostMessage().ToAddress().Count(), 1);
    }
}

// Every command waits for its reply, so a short write held back by Nagle's algorithm
// until the server's delayed acknowledgement costs some 40 ms a message.
TEST_F(SmtpSession, ConnectionSendsWithoutNaglesDelay) {
    ScriptedServer server(Cat({Greeted(), Quit()}), kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.Connect();
    int on = 0;
    socklen_t length = sizeof on;
    ASSERT_EQ(::getsockopt(test::NativeSocket(smtp.Socket()), IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
    EXPECT_NE(on, 0);
    smtp.Disconnect();
    EXPECT_TRUE(server.Join());
}

// Cancelled while the message data is still going out (the window closed, say): the
// end-of-data line never leaves, the connection goes, and the server keeps nothing.
TEST_F(SmtpSession, CancelBeforeTheEndOfDataDeliversNothing) {
    ScriptedServer server(
        Cat({Greeted(),
             {C("RSET"), S("250 ok\r\n"), C("MAIL FROM:<ann@example.org>"), S("250 ok\r\n"),
              C("RCPT TO:<bob@example.org>"), S("250 ok\r\n"), C("DATA"), S("354 go\r\n"), Pause(1500), Data()}}),
        {.receiveBuffer = 4096, .pauseAfterSendMs = 0});
    TKivSMTP& smtp = Make(server.Port());
    smtp.SetTimeOut(20000);
    smtp.PostMessage().Body().Clear();
    for (int i = 0; i < 100000; ++i)
        smtp.PostMessage().Body().Add("line " + std::to_string(i) + " of a long feedback text");
    bool success = false;
    smtp.OnSuccess = [&](QObject*) { success = true; };
    smtp.Connect();
    // 300 ms into the message data, however long composing it took (long under the
    // sanitizers): the peer's pause keeps the data from draining before then.
    QTimer dataStarted;
    QObject::connect(&dataStarted, &QTimer::timeout, &smtp, [&] {
        if (server.Received().find("DATA\r\n") == std::string::npos) return;
        dataStarted.stop();
        QTimer::singleShot(300, &smtp, [&] { smtp.Cancel(); });
    });
    dataStarted.start(10);
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Socket send aborted");
    EXPECT_FALSE(success);
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.TimedOut());
    server.Join();
    EXPECT_TRUE(server.Messages().empty());
    EXPECT_EQ(server.Received().find("\r\n.\r\n"), std::string::npos);
}

// The verdict on a message may take a server longer than any other reply: one that
// comes after the time-out is still the verdict, and the message is not sent twice.
TEST_F(SmtpSession, SlowVerdictOnTheMessageIsStillWaitedFor) {
    Script slow = Accepted({"bob@example.org"});
    slow.insert(slow.end() - 1, Pause(450));
    ScriptedServer server(Cat({Greeted(), slow}), kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.SetTimeOut(300);
    bool success = false;
    smtp.OnSuccess = [&](QObject*) { success = true; };
    smtp.Connect();
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "(none)");
    EXPECT_TRUE(success);
    EXPECT_EQ(smtp.LastReply(), "250 queued\r\n");
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
}

TEST_F(SmtpSession, WaitForTheVerdictCanBeCancelled) {
    Script silent = Accepted({"bob@example.org"});
    silent.back() = Silent();
    ScriptedServer server(Cat({Greeted(), silent}), kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.SetTimeOut(300);
    smtp.Connect();
    QTimer::singleShot(1000, &smtp, [&] { smtp.Cancel(); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Socket readln aborted");
    EXPECT_GE(clock.elapsed(), 900);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(smtp.TimedOut());
    EXPECT_FALSE(smtp.Connected());
}

// Each step's threshold: passes at the highest code it accepts, fails at the next.
TEST_F(SmtpSession, ReplyThresholdsOfEachStep) {
    struct Row {
        const char* name;
        Script transaction;
        std::string failure; // "(none)" when the send succeeds
        bool onFailure;
    };
    const std::string from = "MAIL FROM:<ann@example.org>";
    const std::string rcpt = "RCPT TO:<bob@example.org>";
    const std::vector<Row> rows = {
        {"RSET 399 passes",
         {C("RSET"), S("399 odd\r\n"), C(from), S("250 ok\r\n"), C(rcpt), S("250 ok\r\n"), C("DATA"), S("354 go\r\n"),
          Data(), S("250 ok\r\n")},
         "(none)",
         false},
        {"RSET 400 fails", {C("RSET"), S("400 not now\r\n")}, "400 not now\r\n", false},
        {"MAIL 450 fails",
         {C("RSET"), S("250 ok\r\n"), C(from), S("450 sender busy\r\n")},
         "450 sender busy\r\n",
         false},
        {"RCPT 300 passes",
         {C("RSET"), S("250 ok\r\n"), C(from), S("250 ok\r\n"), C(rcpt), S("300 odd\r\n"), C("DATA"), S("354 go\r\n"),
          Data(), S("250 ok\r\n")},
         "(none)",
         false},
        {"DATA 399 passes",
         {C("RSET"), S("250 ok\r\n"), C(from), S("250 ok\r\n"), C(rcpt), S("250 ok\r\n"), C("DATA"), S("399 go\r\n"),
          Data(), S("250 ok\r\n")},
         "(none)",
         false},
        {"DATA 554 fails",
         {C("RSET"), S("250 ok\r\n"), C(from), S("250 ok\r\n"), C(rcpt), S("250 ok\r\n"), C("DATA"),
          S("554 no valid recipients\r\n")},
         "554 no valid recipients\r\n",
         false},
        {"end of data 552 fires OnFailure",
         {C("RSET"), S("250 ok\r\n"), C(from), S("250 ok\r\n"), C(rcpt), S("250 ok\r\n"), C("DATA"), S("354 go\r\n"),
          Data(), S("552 too big\r\n")},
         "552 too big\r\n",
         true},
        {"end of data 399 passes",
         {C("RSET"), S("250 ok\r\n"), C(from), S("250 ok\r\n"), C(rcpt), S("250 ok\r\n"), C("DATA"), S("354 go\r\n"),
          Data(), S("399 fine\r\n")},
         "(none)",
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server(Cat({Greeted(), row.transaction}), kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        std::vector<std::string> events;
        smtp.OnFailure = [&](QObject*) {
            EXPECT_TRUE(smtp.Busy());
            events.push_back("failure");
        };
        smtp.OnSuccess = [&](QObject*) { events.push_back("success"); };
        smtp.Connect();
        EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), row.failure);
        const bool ok = row.failure == "(none)";
        EXPECT_EQ(events, ok              ? std::vector<std::string>{"success"}
                          : row.onFailure ? std::vector<std::string>{"failure"}
                                          : std::vector<std::string>{});
        EXPECT_FALSE(smtp.Busy());
        EXPECT_TRUE(smtp.Connected()); // a refusal leaves the connection as it is
        // ClearParams empties the recipients only after a success.
        EXPECT_EQ(smtp.PostMessage().ToAddress().Count(), ok ? 0 : 1);
        EXPECT_TRUE(server.Join());
        EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
    }
}

TEST_F(SmtpSession, RefusedRecipientIsReportedAndSkipped) {
    struct Row {
        const char* name;
        std::vector<std::string> to, cc, bcc;
        std::vector<std::string> rcpts;    // the RCPT arguments, in order
        std::vector<std::string> refused;  // which of them the server refuses
        std::vector<std::string> reported; // what OnRecipientNotFound hears
    };
    const std::vector<Row> rows = {
        // clang-format off
        {"first of two", {"bob@example.org", "carol@example.org"}, {}, {},
         {"bob@example.org", "carol@example.org"}, {"bob@example.org"}, {"bob@example.org"}},
        // clang-format on
        {"carbon copy and blind copy, reported as listed",
         {"bob@example.org"},
         {"Carol C <carol@example.org>"},
         {"mailto:dave@example.org"},
         {"bob@example.org", "carol@example.org", "dave@example.org"},
         {"carol@example.org", "dave@example.org"},
         {"Carol C <carol@example.org>", "mailto:dave@example.org"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Script s = Cat({Greeted(), {C("RSET"), S("250 ok\r\n"), C("MAIL FROM:<ann@example.org>"), S("250 ok\r\n")}});
        for (const std::string& r : row.rcpts) {
            s.push_back(C("RCPT TO:<" + r + ">"));
            const bool refuse = std::find(row.refused.begin(), row.refused.end(), r) != row.refused.end();
            s.push_back(S(refuse ? "550 no such user\r\n" : "250 ok\r\n"));
        }
        s.insert(s.end(), {C("DATA"), S("354 go\r\n"), Data(), S("250 queued\r\n")});
        ScriptedServer server(s, kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        TPostMessage& m = smtp.PostMessage();
        m.ToAddress().Clear();
        for (const auto& e : row.to) m.ToAddress().Add(e);
        for (const auto& e : row.cc) m.ToCarbonCopy().Add(e);
        for (const auto& e : row.bcc) m.ToBlindCarbonCopy().Add(e);
        std::vector<std::string> reported;
        smtp.OnRecipientNotFound = [&](const std::string& r) { reported.push_back(r); };
        bool success = false;
        smtp.OnSuccess = [&](QObject*) { success = true; };
        smtp.Connect();
        smtp.SendMail();
        EXPECT_EQ(reported, row.reported);
        EXPECT_TRUE(success);
        EXPECT_TRUE(server.Join());
        EXPECT_EQ(server.Messages().size(), 1u);
        EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
    }
}

TEST_F(SmtpSession, ServiceClosingAtRcptEndsTheSendAndTheConnection) {
    ScriptedServer server(Cat({Greeted(),
                               {C("RSET"), S("250 ok\r\n"), C("MAIL FROM:<ann@example.org>"), S("250 ok\r\n"),
                                C("RCPT TO:<bob@example.org>"), S("421 shutting down\r\n"), Close()}}),
                          kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    int reported = 0;
    smtp.OnRecipientNotFound = [&](const std::string&) { ++reported; };
    smtp.Connect();
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "421 shutting down\r\n");
    EXPECT_EQ(reported, 0);
    EXPECT_FALSE(smtp.Connected());
    EXPECT_TRUE(server.Join());
}

TEST_F(SmtpSession, AddressFormsGiveTheSameRcpt) {
    struct Row {
        std::string entry, address;
    };
    const std::vector<Row> rows = {
        {"Bob Brown <bob@example.org>", "bob@example.org"},
        {"mailto:bob@example.org", "bob@example.org"},
        {"bob@example.org", "bob@example.org"},
        {"<bob@example.org>", "bob@example.org"},
        {"Bob <bob@example.org> <other@example.org>", "bob@example.org"},
        {"a:b:c", "b"},
        {" spaced@example.org ", " spaced@example.org "},
        {"", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(TKivSMTP::ExtractAddress(row.entry), row.address) << row.entry;

    ScriptedServer server(Cat({Greeted(), Accepted({"bob@example.org", "bob@example.org", "bob@example.org"})}),
                          kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    TPostMessage& m = smtp.PostMessage();
    m.ToAddress().Clear();
    m.ToAddress().Add("Bob Brown <bob@example.org>");
    m.ToAddress().Add(""); // skipped without a command
    m.ToCarbonCopy().Add("mailto:bob@example.org");
    m.ToBlindCarbonCopy().Add("bob@example.org");
    smtp.Connect();
    smtp.SendMail();
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
}

TEST_F(SmtpSession, IncompleteHeaderGetsOneChance) {
    enum Handler { None, Declines, Fills, LeavesIncomplete };
    struct Row {
        const char* name;
        bool noSender;
        Handler handler;
        int hiType;
        std::string failure;
    };
    const std::vector<Row> rows = {
        {"no sender, no handler", true, None, 0, "Incomplete Header"},
        {"no recipient, no handler", false, None, 0, "Incomplete Header"},
        {"no sender, handler declines", true, Declines, 1, "Incomplete Header"},
        {"no recipient, handler declines", false, Declines, 2, "Incomplete Header"},
        {"handler fills in", true, Fills, 1, "(none)"},
        {"handler sets handled only", false, LeavesIncomplete, 2, "Incomplete Header"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool ok = row.failure == "(none)";
        ScriptedServer server(ok ? Cat({Greeted(), Accepted({"bob@example.org"}, "late@example.org")}) : Greeted(),
                              kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        TPostMessage& m = smtp.PostMessage();
        if (row.noSender)
            m.SetFromAddress("");
        else
            m.ToAddress().Clear();
        std::vector<int> types;
        if (row.handler != None) {
            smtp.OnHeaderIncomplete = [&](bool& handled, int32_t hiType) {
                EXPECT_FALSE(handled);
                types.push_back(hiType);
                if (row.handler == Fills) m.SetFromAddress("late@example.org");
                handled = row.handler != Declines;
            };
        }
        int starts = 0;
        smtp.OnSendStart = [&](QObject*) { ++starts; };
        smtp.Connect();
        EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), row.failure);
        EXPECT_EQ(types, row.handler == None ? std::vector<int>{} : std::vector<int>{row.hiType});
        EXPECT_EQ(starts, ok ? 1 : 0);
        EXPECT_FALSE(smtp.Busy());
        // The message was composed before the test; what the handler filled in reaches
        // the envelope but not the header.
        EXPECT_EQ(smtp.FinalHeader()[0], row.noSender ? "From: Ann<>" : "From: Ann<ann@example.org>");
        EXPECT_TRUE(server.Join());
        if (!ok) {
            EXPECT_EQ(server.Received(), "HELO kelvo\r\n"); // nothing of the send
        }
        EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
    }
}

TEST_F(SmtpSession, WithoutConnectionNothingIsSent) {
    ScriptedServer server(Cat({Greeted(), Accepted({"bob@example.org"})}), kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    int starts = 0;
    smtp.OnSendStart = [&](QObject*) { ++starts; };
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Not Connected");
    EXPECT_EQ(starts, 0);
    EXPECT_FALSE(smtp.Busy());
    EXPECT_FALSE(server.Accepted());
    EXPECT_EQ(smtp.FinalHeader()[0], "From: Ann<ann@example.org>"); // composed first all the same

    // A handler that connects gets the send through, once asked.
    int asked = 0;
    smtp.OnConnectionRequired = [&](bool& handled) {
        ++asked;
        EXPECT_TRUE(smtp.Busy());
        smtp.Connect();
        EXPECT_TRUE(smtp.Busy()); // Connect leaves Busy as it found it
        handled = true;
    };
    smtp.SendMail();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(starts, 1);
    EXPECT_FALSE(smtp.Busy());
    EXPECT_TRUE(server.Join());
    EXPECT_EQ(server.Messages().size(), 1u);
}

TEST_F(SmtpSession, TwoSendsOnOneConnection) {
    ScriptedServer server(Cat({Greeted(), Accepted({"bob@example.org"}), Accepted({"carol@example.org"}), Quit()}),
                          kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    TPostMessage& m = smtp.PostMessage();
    smtp.Connect();
    smtp.SendMail();
    EXPECT_EQ(m.ToAddress().Count(), 0);
    EXPECT_EQ(m.Body().Count(), 3);
    EXPECT_EQ(m.FromAddress(), "ann@example.org");
    EXPECT_EQ(m.Subject(), "Feedback");
    // Without new recipients the second send is incomplete and sends nothing.
    const size_t before = server.Received().size();
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Incomplete Header");
    EXPECT_EQ(server.Received().size(), before);
    m.ToAddress().Add("carol@example.org");
    smtp.SendMail();
    smtp.Disconnect();
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
    ASSERT_EQ(server.Messages().size(), 2u);
    EXPECT_NE(server.Messages()[1].find("To: carol@example.org\r\n"), std::string::npos);
}

TEST_F(SmtpSession, ClearParamsOffKeepsTheLists) {
    ScriptedServer server(Cat({Greeted(), Accepted({"bob@example.org"}), Accepted({"bob@example.org"})}), kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.SetClearParams(false);
    smtp.Connect();
    smtp.SendMail();
    EXPECT_EQ(smtp.PostMessage().ToAddress().Count(), 1);
    smtp.SendMail();
    EXPECT_TRUE(server.Join());
    EXPECT_EQ(server.Messages().size(), 2u);
}

TEST_F(SmtpSession, SendMailWhileBusyDoesNothing) {
    ScriptedServer server(Cat({Greeted(), Accepted({"bob@example.org"})}), kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    int starts = 0;
    int successes = 0;
    smtp.OnSendStart = [&](QObject*) {
        ++starts;
        EXPECT_TRUE(smtp.Busy());
        smtp.SendMail(); // a nested send, as a GUI handler could start during a wait
    };
    smtp.OnSuccess = [&](QObject*) { ++successes; };
    smtp.Connect();
    smtp.SendMail();
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(successes, 1);
    EXPECT_TRUE(server.Join());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
}

TEST_F(SmtpSession, QuitReplyAbove339FailsAfterClosing) {
    struct Row {
        std::string reply, failure;
    };
    const std::vector<Row> rows = {
        {"221 bye\r\n", "(none)"},
        {"339 odd\r\n", "(none)"},
        {"340 odd\r\n", "340 odd\r\n"},
        {"500 what\r\n", "500 what\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        ScriptedServer server(Cat({Greeted(), {C("QUIT"), S(row.reply)}}), kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        int disconnects = 0;
        smtp.OnDisconnect = [&](QObject*) { ++disconnects; };
        smtp.Connect();
        EXPECT_EQ(FailureOf([&] { smtp.Disconnect(); }), row.failure);
        EXPECT_FALSE(smtp.Connected());
        EXPECT_EQ(disconnects, 1);
        EXPECT_TRUE(server.Join());
        EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
    }
}

// Commands are ASCII (RFC 5321 §2.4); an address that is not goes out only to a
// server that offers SMTPUTF8, and then with MAIL's SMTPUTF8 parameter (RFC 6531).
TEST_F(SmtpSession, NonAsciiAddressesNeedAServerOfferingSmtpUtf8) {
    const std::string ann = "\xC3\xA4nn@example.org";
    const std::string joerg = "J\xC3\xB6rg <j\xC3\xB6rg@example.org>";
    const Script ehloPlain = {S("220 hi\r\n"), C("EHLO kelvo"), S("250-hi\r\n250 8BITMIME\r\n")};
    const Script ehloUtf8 = {S("220 hi\r\n"), C("EHLO kelvo"), S("250-hi\r\n250-SMTPUTF8\r\n250 8BITMIME\r\n")};
    auto refusal = [](const std::string& address) {
        return "The address " + address +
               " has characters that this server does not accept (it does not offer SMTPUTF8).";
    };
    struct Row {
        const char* name;
        bool extended;
        std::string from, to;
        Script script;
        std::string failure;
    };
    const std::vector<Row> rows = {
        {"HELO server, non-ASCII sender", false, ann, "bob@example.org", Greeted(), refusal(ann)},
        {"EHLO without SMTPUTF8, non-ASCII recipient", true, "ann@example.org", joerg, ehloPlain,
         refusal("j\xC3\xB6rg@example.org")},
        {"SMTPUTF8 offered", true, ann, joerg,
         Cat({ehloUtf8,
              {C("RSET"), S("250 ok\r\n"), C("MAIL FROM:<" + ann + "> SMTPUTF8"), S("250 ok\r\n"),
               C("RCPT TO:<j\xC3\xB6rg@example.org>"), S("250 ok\r\n"), C("DATA"), S("354 go\r\n"), Data(),
               S("250 queued\r\n")}}),
         "(none)"},
        {"SMTPUTF8 offered, ASCII addresses", true, "ann@example.org", "bob@example.org",
         Cat({ehloUtf8, Accepted({"bob@example.org"})}), "(none)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server(row.script, kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        if (row.extended) smtp.SetSecurity(ssStartTlsWhenOffered);
        smtp.PostMessage().SetFromAddress(row.from);
        smtp.PostMessage().ToAddress().Clear();
        smtp.PostMessage().ToAddress().Add(row.to);
        bool started = false;
        bool success = false;
        smtp.OnSendStart = [&](QObject*) { started = true; };
        smtp.OnSuccess = [&](QObject*) { success = true; };
        smtp.Connect();
        EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), row.failure);
        const bool ok = row.failure == "(none)";
        EXPECT_EQ(success, ok);
        EXPECT_EQ(started, ok); // a refused address ends the send before it starts
        EXPECT_TRUE(smtp.Connected());
        EXPECT_TRUE(server.Join());
        EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
        EXPECT_EQ(server.Messages().size(), ok ? 1u : 0u);
        if (!ok) {
            EXPECT_EQ(server.Received().find("RSET"), std::string::npos);
        }
    }
}

TEST_F(SmtpSession, ConnectionRefusedKeepsItsOwnMessage) {
    TKivSMTP& smtp = Make(ClosedLoopbackPort());
    int failed = 0;
    smtp.OnConnectionFailed = [&](QObject*) { ++failed; };
    EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "Connection Failed");
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
}

// CR, LF or NUL in anything that goes into a command would let the text run on as a
// command of its own; such a value is refused before anything of the step is sent.
TEST_F(SmtpSession, CommandInjectionIsRefusedBeforeSending) {
    {
        ScriptedServer server(Greeted(), kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        for (const std::string& bad : {std::string("kelvo\r\nMAIL FROM:<x@evil>"), std::string("kelvo\nQUIT"),
                                       std::string("kel\rvo"), std::string("kelvo\0RSET", 10)}) {
            smtp.SetUserID(bad);
            EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "CR, LF or NUL in UserID: HELO is not sent");
            EXPECT_FALSE(smtp.Busy());
        }
        EXPECT_FALSE(server.Accepted());
    }
    // A HELO handler's new name is checked too.
    {
        ScriptedServer server({S("220 hi\r\n"), C("HELO kelvo"), S("501 no\r\n"), C("QUIT"), S("221 bye\r\n")},
                              kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        smtp.OnAuthenticationFailed = [&](bool& handled) {
            smtp.SetUserID("x\r\nRSET");
            handled = true;
        };
        EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "CR, LF or NUL in UserID: HELO is not sent");
        EXPECT_TRUE(server.Join());
        EXPECT_EQ(server.Received(), "HELO kelvo\r\nQUIT\r\n");
    }
    // Envelope values: refused before RSET, and the connection stays usable.
    struct Row {
        const char* name;
        std::function<void(TKivSMTP&)> spoil;
        std::string failure;
    };
    const std::vector<Row> rows = {
        {"sender filled in by the handler",
         [](TKivSMTP& s) {
             s.PostMessage().SetFromAddress("");
             s.OnHeaderIncomplete = [&s](bool& handled, int32_t) {
                 s.PostMessage().SetFromAddress("ann@example.org>\r\nRCPT TO:<evil@example.org");
                 handled = true;
             };
         },
         "CR, LF or NUL in FromAddress: MAIL FROM is not sent"},
        {"NUL in the sender",
         [](TKivSMTP& s) { s.PostMessage().SetFromAddress(std::string("ann@example.org\0x", 17)); },
         "CR, LF or NUL in FromAddress: MAIL FROM is not sent"},
        {"NUL in a blind copy",
         [](TKivSMTP& s) { s.PostMessage().ToBlindCarbonCopy().Add(std::string("Eve <eve\0@example.org>", 22)); },
         "CR, LF or NUL in ToBlindCarbonCopy entry 1: RCPT TO is not sent"},
        {"NUL in a display name",
         [](TKivSMTP& s) {
             s.PostMessage().ToAddress().Clear();
             s.PostMessage().ToAddress().Add(std::string("B\0b <bob@example.org>", 21));
         },
         "NUL in the header: the message is not sent"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server(Cat({Greeted(), Accepted({"bob@example.org"})}), kSmtpReplies);
        TKivSMTP& smtp = Make(server.Port());
        row.spoil(smtp);
        smtp.Connect();
        EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), row.failure);
        EXPECT_EQ(server.Received(), "HELO kelvo\r\n");
        EXPECT_TRUE(smtp.Connected());
        EXPECT_FALSE(smtp.Busy());
        // Mended, the message goes out on the same connection.
        TPostMessage& m = smtp.PostMessage();
        smtp.OnHeaderIncomplete = nullptr;
        m.SetFromAddress("ann@example.org");
        m.SetSubject("Feedback");
        m.ToBlindCarbonCopy().Clear();
        m.ToAddress().Clear();
        m.ToAddress().Add("bob@example.org");
        smtp.SendMail();
        EXPECT_TRUE(server.Join());
        EXPECT_TRUE(server.Errors().empty()) << server.Errors()[0];
    }
}

TEST_F(SmtpSession, AttachmentEventsFireDuringCompositionBeforeAnyCommand) {
    ScriptedServer server(Greeted(), kSmtpReplies);
    TKivSMTP& smtp = Make(server.Port());
    smtp.PostMessage().Attachments().Add("/nonexistent/kelvo/attachment.bin");
    std::vector<std::string> events;
    smtp.OnAttachmentNotFound = [&](const std::string& f) { events.push_back("notfound " + f); };
    smtp.OnSendStart = [&](QObject*) { events.push_back("start"); };
    smtp.Connect();
    // The file's own open error ends the send, not a failure of some later step.
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }),
              "Cannot open file \"/nonexistent/kelvo/attachment.bin\". No such file or directory");
    EXPECT_EQ(events, std::vector<std::string>{"notfound /nonexistent/kelvo/attachment.bin"});
    EXPECT_EQ(server.Received(), "HELO kelvo\r\n");
    EXPECT_FALSE(smtp.Busy());
    EXPECT_EQ(smtp.PostMessage().Attachments().Count(), 1);
}

} // namespace

namespace {

// A GUI handler may close the window that owns the component while a send is under
// way; the send must end without touching the destroyed object.
TEST(SmtpSessionLifetime, HandlerThatDestroysTheComponentEndsTheSend) {
    EnsureApp();
    enum Where { SendStart, RecipientRefused, PacketSent, DataRefused };
    for (const Where where : {SendStart, RecipientRefused, PacketSent, DataRefused}) {
        SCOPED_TRACE(where);
        ScriptedServer server({S("220 hi\r\n"), C("HELO kelvo"), S("250 ok\r\n"), C("RSET"), S("250 ok\r\n"),
                               C("MAIL FROM:<ann@example.org>"), S("250 ok\r\n"), C("RCPT TO:<bob@example.org>"),
                               S("550 no\r\n"), C("DATA"), S("354 go\r\n"), Data(),
                               S(where == DataRefused ? "552 too big\r\n" : "250 ok\r\n")},
                              kSmtpReplies);
        auto* smtp = new TKivSMTP;
        smtp->SetHost("127.0.0.1");
        smtp->SetPort(server.Port());
        smtp->SetUserID("kelvo");
        smtp->SetTimeOut(5000);
        smtp->PostMessage().SetFromAddress("ann@example.org");
        smtp->PostMessage().ToAddress().Add("bob@example.org");
        smtp->PostMessage().Body().Add("text");
        smtp->Connect();
        bool succeeded = false;
        smtp->OnSuccess = [&](QObject*) { succeeded = true; };
        if (where == SendStart) smtp->OnSendStart = [smtp](QObject*) { delete smtp; };
        if (where == RecipientRefused) smtp->OnRecipientNotFound = [smtp](const std::string&) { delete smtp; };
        if (where == PacketSent) smtp->OnPacketSent = [smtp](QObject*) { delete smtp; };
        if (where == DataRefused) smtp->OnFailure = [smtp](QObject*) { delete smtp; };
        EXPECT_THROW(smtp->SendMail(), Exception);
        EXPECT_FALSE(succeeded);
    }
}

} // namespace
