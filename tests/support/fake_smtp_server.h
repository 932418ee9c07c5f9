// The tests' SMTP server (fake_smtp.py, aiosmtpd run by Debian's python3) on 127.0.0.1 at
// a free port, with what it kept: messages, envelopes, the commands it answered.
#pragma once

#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace kelvo::test {

struct FakeSmtpOptions {
    // The server closes a connection that says nothing for this long.
    double idleTimeoutSeconds = 300;
    // > 0: every n-th connection is dropped at a step chosen from `seed` (drops.log).
    int dropEvery = 0;
    int seed = 0;

    // TLS and sign-in, for the security tests: "" (none), "starttls" or "implicit",
    // with the server's certificate chain and key (PEM files).
    std::string tls{};
    std::string certificateFile{};
    std::string keyFile{};
    // Refuse everything but EHLO, STARTTLS and QUIT before TLS.
    bool requireStartTls = false;
    std::string mechanisms = "PLAIN,LOGIN";
    // The one user that may sign in; when set, mail is accepted only after a sign-in.
    std::string user{};
    std::string password{};
    // Sent behind "220 Ready to start TLS" in the same segment (Python escapes allowed).
    std::string inject{};
};

// Started by the constructor (a failure to start is a test failure and leaves Port()
// 0), stopped and removed with the object.
class FakeSmtpServer {
public:
    explicit FakeSmtpServer(FakeSmtpOptions options = {});
    ~FakeSmtpServer();
    FakeSmtpServer(const FakeSmtpServer&) = delete;
    FakeSmtpServer& operator=(const FakeSmtpServer&) = delete;

    uint16_t Port() const { return port_; }
    // The server's directory: msg-NNN.eml and .json, commands.log, drops.log.
    std::string Dir() const;
    std::string MessagePath(int n) const;
    // Message n (from 1) as stored: the bytes after DATA, dot-stuffing undone. Waits up
    // to 10 s for it; empty when it does not come.
    std::string Message(int n) const;
    // {"helo", "mail_from", "rcpt_tos", "login", "tls"} of message n; waits as Message does.
    QJsonObject Envelope(int n) const;
    // How many messages it has kept.
    int Count() const;
    // CONNECT, HELO <name>, RSET and QUIT as the server saw them, without the client's
    // address in front of each.
    QStringList Commands() const;
    // Every sign-in attempt: "<mechanism> ok" or "<mechanism> refused".
    std::vector<std::string> SignIns() const;
    // A file of the server's directory, whole ("" when there is none).
    std::string File(const std::string& name) const;
    // What the server wrote on stderr so far (for failure messages).
    std::string Log() const;

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    uint16_t port_ = 0;
};

} // namespace kelvo::test
