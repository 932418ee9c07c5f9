// Misbehaving servers at every step of the dialogue: each fault ends in an exception within the time-out, and the component recovers.
#include "mail/smtp.h"
#include "platform/exceptions.h"
#include "tests/mail/support/smtp_test_support.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

using namespace kelvo;
using namespace kelvo::test;

namespace {

using Script = std::vector<Step>;

enum class Stage { Greeting, Helo, Rset, Mail, Rcpt, Data, DuringData, AfterDot, Quit };
enum class Fault { Close, Reset, Silent, Reply421, LongLine };

constexpr int kTimeOutMs = 1000;
// Room for scheduling and the sanitizer build beyond the time-out itself.
constexpr int kSlackMs = 1500;
constexpr size_t kLongLine = 1024 * 1024;
// Larger than the client's largest send buffer (4 MB here), so the data is still going
// out when the server stops reading.
constexpr int kBigBodyLines = 80000;

const char* Name(Stage s) {
    switch (s) {
    // clang-format off
    case Stage::Greeting: return "Greeting";
    case Stage::Helo: return "Helo";
    case Stage::Rset: return "Rset";
    case Stage::Mail: return "Mail";
    case Stage::Rcpt: return "Rcpt";
    case Stage::Data: return "Data";
    case Stage::DuringData: return "DuringData";
    case Stage::AfterDot: return "AfterDot";
    case Stage::Quit: return "Quit";
        // clang-format on
    }
    return "?";
}

const char* Name(Fault f) {
    switch (f) {
    // clang-format off
    case Fault::Close: return "Closes";
    case Fault::Reset: return "Resets";
    case Fault::Silent: return "GoesSilent";
    case Fault::Reply421: return "Answers421";
    case Fault::LongLine: return "SendsOneMegabyteLine";
        // clang-format on
    }
    return "?";
}

// The healthy dialogue up to the point where the fault strikes.
Script Prefix(Stage stage) {
    Script s;
    if (stage == Stage::Greeting) return s;
    s.push_back(S("220 ready\r\n"));
    s.push_back(C("HELO kelvo"));
    if (stage == Stage::Helo) return s;
    s.insert(s.end(), {S("250 hello\r\n"), C("RSET")});
    if (stage == Stage::Rset) return s;
    s.insert(s.end(), {S("250 ok\r\n"), C("MAIL FROM:<ann@example.org>")});
    if (stage == Stage::Mail) return s;
    s.insert(s.end(), {S("250 ok\r\n"), C("RCPT TO:<bob@example.org>")});
    if (stage == Stage::Rcpt) return s;
    s.insert(s.end(), {S("250 ok\r\n"), C("DATA")});
    if (stage == Stage::Data) return s;
    s.push_back(S("354 go ahead\r\n"));
    if (stage == Stage::DuringData) {
        s.push_back(ReadSome(65536));
        return s;
    }
    s.push_back(Data());
    if (stage == Stage::AfterDot) return s;
    s.insert(s.end(), {S("250 queued\r\n"), C("QUIT")});
    return s;
}

Script FaultSteps(Fault fault) {
    switch (fault) {
    // clang-format off
    case Fault::Close: return {Close()};
    case Fault::Reset: return {Reset()};
    case Fault::Silent: return {Silent()};
    case Fault::Reply421: return {S("421 closing down\r\n"), Close()};
    case Fault::LongLine: return {BigLine(kLongLine)};
        // clang-format on
    }
    return {};
}

// The texts that fit each fault. A server that hangs up may be seen as a close or, when
// our bytes were still unread on its side, as a reset; a 421 sent while the data goes
// out may arrive as the reply or be overtaken by the reset of the closing server; and a
// server that stops reading during the data stalls the send rather than a read.
std::vector<std::string> FittingTexts(Stage stage, Fault fault) {
    const std::vector<std::string> gone = {"Connection closed by the server", "10054:Connection reset by peer",
                                           "10053:Software caused connection abort", "10057:Socket is not connected"};
    switch (fault) {
    case Fault::Close:
        return gone;
    case Fault::Reset: {
        // A reset right at accept can reach the client with its connect's completion,
        // in the same turn: the connection then failed rather than closed.
        std::vector<std::string> t = gone;
        if (stage == Stage::Greeting) t.push_back("Connection Failed");
        return t;
    }
    case Fault::Silent:
        if (stage == Stage::DuringData) return {"Socket send aborted", "Socket readln aborted"};
        return {"Socket readln aborted"};
    case Fault::Reply421: {
        std::vector<std::string> t = {"421 closing down\r\n"};
        if (stage == Stage::DuringData) t.insert(t.end(), gone.begin(), gone.end());
        return t;
    }
    case Fault::LongLine:
        if (stage == Stage::DuringData) return {"Line too long", "Socket send aborted"};
        return {"Line too long"};
    }
    return {};
}

// clang-format off
Script Healthy()
{
    return {S("220 ready\r\n"), C("HELO kelvo"), S("250 hello\r\n"), C("RSET"), S("250 ok\r\n"),
            C("MAIL FROM:<ann@example.org>"), S("250 ok\r\n"), C("RCPT TO:<bob@example.org>"), S("250 ok\r\n"),
            C("DATA"), S("354 go ahead\r\n"), Data(), S("250 queued\r\n"), C("QUIT"), S("221 bye\r\n")};
    // clang-format on
}

void SmallMessage(TPostMessage& m) {
    m.SetFromAddress("ann@example.org");
    m.ToAddress().Clear();
    m.ToAddress().Add("bob@example.org");
    m.SetSubject("Fault test");
    m.Body().Clear();
    m.Body().Add("A short message.");
}

class SmtpFaults : public ::testing::TestWithParam<std::tuple<Stage, Fault>> {
protected:
    void SetUp() override { EnsureApp(); }
};

TEST_P(SmtpFaults, EndsInFittingExceptionWithinTimeOutAndRecovers) {
    const auto [stage, fault] = GetParam();
    Script script = Prefix(stage);
    for (const Step& step : FaultSteps(fault)) script.push_back(step);
    const bool bigBody = stage == Stage::DuringData;
    ScriptedServer server(script, {.receiveBuffer = bigBody ? 16384 : 0, .pauseAfterSendMs = 0});

    TKivSMTP smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(server.Port());
    smtp.SetUserID("kelvo");
    smtp.SetTimeOut(kTimeOutMs);
    // The verdict on the message has a limit of its own, far longer; the table times
    // every step by the one time-out.
    smtp.SetDataEndTimeOut(kTimeOutMs);
    SmallMessage(smtp.PostMessage());
    if (bigBody) {
        const std::string line(74, 'x');
        for (int i = 0; i < kBigBodyLines; ++i) smtp.PostMessage().Body().Add(line);
    }
    int successes = 0;
    smtp.OnSuccess = [&](QObject*) { ++successes; };

    QElapsedTimer clock;
    std::string failure = "(none)";
    bool busyInside = false;
    try {
        if (stage == Stage::Greeting || stage == Stage::Helo) {
            clock.start();
            smtp.Connect();
        } else {
            smtp.Connect();
            if (stage == Stage::Quit) {
                smtp.SendMail();
                clock.start();
                smtp.Disconnect();
            } else {
                // Timed from the end of composition: what the server does is what counts.
                smtp.OnSendStart = [&](QObject*) {
                    busyInside = smtp.Busy();
                    clock.start();
                };
                smtp.SendMail();
            }
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    const qint64 elapsed = clock.isValid() ? clock.elapsed() : -1;

    const std::vector<std::string> fitting = FittingTexts(stage, fault);
    EXPECT_NE(std::find(fitting.begin(), fitting.end(), failure), fitting.end()) << "failure: " << failure;
    EXPECT_GE(elapsed, 0);
    EXPECT_LT(elapsed, kTimeOutMs + kSlackMs);
    EXPECT_FALSE(smtp.Busy());
    if (stage != Stage::Greeting && stage != Stage::Helo && stage != Stage::Quit) {
        EXPECT_TRUE(busyInside);
    }
    EXPECT_EQ(successes, stage == Stage::Quit ? 1 : 0);
    // Whatever broke the dialogue, the connection is not left half-used.
    EXPECT_FALSE(smtp.Connected());

    // The same component connects and sends again.
    ScriptedServer healthy(Healthy(), kSmtpReplies);
    smtp.OnSendStart = nullptr;
    smtp.SetPort(healthy.Port());
    SmallMessage(smtp.PostMessage());
    smtp.Connect();
    smtp.SendMail();
    smtp.Disconnect();
    EXPECT_EQ(successes, stage == Stage::Quit ? 2 : 1);
    EXPECT_TRUE(healthy.Join());
    EXPECT_TRUE(healthy.Errors().empty()) << healthy.Errors()[0];
    ASSERT_EQ(healthy.Messages().size(), 1u);
    EXPECT_NE(healthy.Messages()[0].find("A short message.\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStepEveryFault, SmtpFaults,
    ::testing::Combine(::testing::Values(Stage::Greeting, Stage::Helo, Stage::Rset, Stage::Mail, Stage::Rcpt,
                                         Stage::Data, Stage::DuringData, Stage::AfterDot, Stage::Quit),
                       ::testing::Values(Fault::Close, Fault::Reset, Fault::Silent, Fault::Reply421, Fault::LongLine)),
    [](const ::testing::TestParamInfo<std::tuple<Stage, Fault>>& info) {
        return std::string(Name(std::get<0>(info.param))) + "_" + Name(std::get<1>(info.param));
    });

} // namespace
