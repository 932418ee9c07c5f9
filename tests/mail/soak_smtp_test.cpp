// The mail path over many sends in one process, as the feedback window makes them:
// QUIT on the previous connection, Connect, fill the message, SendMail. The server
// (aiosmtpd, tests/support/fake_smtp.py) drops every tenth connection at a random
// step. Every send the server stored must be whole, every dropped connection must
// be a reported failure (and nothing else may fail), no file descriptor may stay
// open, and resident memory after the first 100 sends may grow by under 5%.
//
// KELVO_MAIL_SOAK_SENDS sets the number of sends (150 by default; scripts/soak runs
// 1000), KELVO_MAIL_SOAK_SEED the server's seed (1).
#include "mail/smtp.h"
#include "platform/exceptions.h"
#include "tests/mail/support/mail_test_support.h"
#include "tests/mail/support/smtp_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>

using namespace kelvo;
using namespace kelvo::test;

namespace {

int64_t EnvOr(const char* name, int64_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoll(v, nullptr, 10) : fallback;
}

int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

long ResidentKiB() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true; // the allocator's quarantine hides the program's own growth
#else
constexpr bool kSanitized = false;
#endif

} // namespace

TEST(MailSoak, FeedbackSendsSurviveDroppedConnectionsWithoutLossOrLeaks) {
    EnsureApp();
    const int64_t sends = EnvOr("KELVO_MAIL_SOAK_SENDS", 150);
    const int64_t seed = EnvOr("KELVO_MAIL_SOAK_SEED", 1);
    // Every tenth connection is dropped at a random step.
    auto server = std::make_unique<FakeSmtpServer>(FakeSmtpOptions{.dropEvery = 10, .seed = int(seed)});
    const uint16_t port = server->Port();
    ASSERT_NE(port, 0);

    // Checked as they arrive, so that the test itself keeps no growing record.
    int64_t succeeded = 0;
    int64_t mismatched = 0;
    std::set<int64_t> failed;
    std::string failures;
    int descriptorsAfterWarmUp = 0;
    long residentAfterWarmUp = 0;
    auto slowest = std::chrono::milliseconds(0);
    {
        TKivSMTP smtp;
        smtp.SetTimeOut(10000);
        for (int64_t i = 1; i <= sends; ++i) {
            const std::string subject = "Soak send " + std::to_string(i);
            const auto start = std::chrono::steady_clock::now();
            try {
                if (smtp.Connected()) smtp.Disconnect();
                smtp.SetHost("127.0.0.1");
                smtp.SetPort(port);
                smtp.SetUserID("Kelvo Soak");
                smtp.Connect();
                TPostMessage& m = smtp.PostMessage();
                m.SetFromAddress("user@example.org");
                m.ToAddress().SetText("author@example.org");
                m.Body().Clear();
                m.Body().SetText("Feedback number " + std::to_string(i) + "\r\n.\r\n..dots\r\n" +
                                 std::string(size_t(i % 7) * 300, 'x') + "\r\nend");
                m.SetSubject(subject);
                smtp.SendMail();
                // The server stores a message before its 250 reply leaves.
                ++succeeded;
                const std::string data = ReadFile(server->MessagePath(int(succeeded)));
                if (data != ExpectedReceived(smtp) || data.find("Subject: " + subject + "\r\n") == std::string::npos) {
                    ++mismatched;
                    ADD_FAILURE() << subject << " did not arrive whole (" << data.size() << " bytes)";
                }
            } catch (const std::exception& e) {
                failed.insert(i);
                const auto took =
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
                if (failures.size() < 4000)
                    failures +=
                        "send " + std::to_string(i) + " (" + std::to_string(took.count()) + " ms): " + e.what() + "\n";
            }
            slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start));
            if (i == std::min<int64_t>(100, sends / 2)) {
                descriptorsAfterWarmUp = OpenDescriptors();
                residentAfterWarmUp = ResidentKiB();
            }
        }
        if (smtp.Connected()) {
            try {
                smtp.Disconnect();
            } catch (const std::exception&) {}
        }
    }
    const int descriptorsAtEnd = OpenDescriptors();
    const long residentAtEnd = ResidentKiB();
    const std::string dropLog = server->File("drops.log");
    const int64_t stored = server->Count();
    server.reset();

    // Each dropped connection belongs to exactly one send, and it is the failure of that send.
    const int64_t dropped = std::count(dropLog.begin(), dropLog.end(), '\n');
    EXPECT_EQ(int64_t(failed.size()), dropped) << "failures:\n" << failures;
    EXPECT_EQ(int64_t(failed.size()), sends / 10) << "failures:\n" << failures;

    // Nothing was stored that the client reported as failed.
    EXPECT_EQ(stored, succeeded);
    EXPECT_EQ(mismatched, 0);
    EXPECT_EQ(succeeded + int64_t(failed.size()), sends);

    EXPECT_LE(descriptorsAtEnd, descriptorsAfterWarmUp) << "file descriptors left open";
    if (!kSanitized && sends >= 500) {
        EXPECT_LT(double(residentAtEnd), double(residentAfterWarmUp) * 1.05)
            << "resident memory " << residentAfterWarmUp << " KiB after the warm-up, " << residentAtEnd
            << " KiB at the end";
    }
    EXPECT_LT(slowest.count(), 5000) << "a send waited for the time-out; failures:\n"
                                     << failures << "drops:\n"
                                     << dropLog;
    std::printf("mail soak: %lld sends, %zu stored, %zu failed on dropped connections, descriptors %d -> %d, "
                "resident %ld -> %ld KiB, slowest send %lld ms\n",
                static_cast<long long>(sends), static_cast<size_t>(succeeded), failed.size(), descriptorsAfterWarmUp,
                descriptorsAtEnd, residentAfterWarmUp, residentAtEnd, static_cast<long long>(slowest.count()));
}
