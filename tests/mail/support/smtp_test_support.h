// Helpers for the SMTP session tests: the Qt application, a running aiosmtpd, and the data a message should arrive as.
#pragma once

#include <QJsonObject>

#include <memory>
#include <string>

class QProcess;

namespace kelvo {
class TKivSMTP;
}

namespace kelvo::test {

// Creates the process's QCoreApplication on first use (the socket client needs its event loop).
void EnsureApp();

// What a server stores from the message the session sent last: every FinalHeader line
// with CR LF, two more CR LF, then BodyStream with its dot-stuffing undone.
std::string ExpectedReceived(TKivSMTP& smtp);

// aiosmtpd run by Debian's /usr/bin/python3 on 127.0.0.1 at a free port; every
// message lands in a directory of its own. Stopped and removed with the object.
class AiosmtpdServer {
public:
    AiosmtpdServer();
    ~AiosmtpdServer();
    AiosmtpdServer(const AiosmtpdServer&) = delete;
    AiosmtpdServer& operator=(const AiosmtpdServer&) = delete;

    uint16_t Port() const { return port_; }
    // Message n (from 1): the raw bytes, and {"mail_from", "rcpt_tos", "helo"}.
    // Waits up to 10 s for it to arrive; empty when it does not.
    std::string Message(int n) const;
    QJsonObject Envelope(int n) const;
    int Count() const;
    // What the server wrote on stderr so far (for failure messages).
    std::string Log() const;

private:
    std::unique_ptr<QProcess> process_;
    std::string dir_;
    uint16_t port_ = 0;
};

} // namespace kelvo::test
