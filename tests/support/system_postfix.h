// The machine's own Postfix for the end-to-end mail tests: starting and stopping it through scripts/postfix-test-setup, and reading what reached root's mailbox.
#pragma once

#include <QJsonObject>
#include <QStringList>

#include <string>

namespace kelvo::test {

struct PostfixSetupRun {
    int exitCode = -1; // 2: Postfix is not installed; 3: not run as root
    std::string out;
};

// Runs scripts/postfix-test-setup with `args` ("start", "stop", "tls-listener" ...).
PostfixSetupRun PostfixSetup(const QStringList& args);

// Starts Postfix for a test and stops it again on every way out, but only when this
// object started it.
class PostfixStarted {
public:
    PostfixStarted();
    ~PostfixStarted();
    PostfixStarted(const PostfixStarted&) = delete;
    PostfixStarted& operator=(const PostfixStarted&) = delete;

    // What "start" said: exit code 0 with "started" or "running" when Postfix runs.
    const PostfixSetupRun& Start() const { return start_; }
    // Not installed, or not run as root: a test skips, with Start().out as the reason.
    bool Unavailable() const { return start_.exitCode == 2 || start_.exitCode == 3; }
    bool Running() const { return start_.exitCode == 0 && (start_.out == "started" || start_.out == "running"); }

private:
    PostfixSetupRun start_;
};

// Where mail for root@localhost lands.
inline constexpr const char* kRootMailbox = "/var/mail/root";

// The messages of root's mailbox whose Subject holds `token`, by subject, each as
// {"defects", "from", "to", "content_type", "text", "received", "attachments":
// [{"filename", "hex"}]}, its text with LF line ends. `error` gets python3's
// complaint when the mailbox cannot be read.
QJsonObject MailboxMessages(const std::string& token, std::string* error = nullptr);

// MailboxMessages, asked again for up to 30 s until at least `count` have arrived.
QJsonObject WaitForMailboxMessages(const std::string& token, int count, std::string* error = nullptr);

} // namespace kelvo::test
