// A scripted SMTP peer on 127.0.0.1: it plays S: lines, checks C: lines, takes in message data and misbehaves on cue.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::test {

struct SmtpStep {
    enum Kind { Send, Expect, Data, ReadSome, Close, Reset, Silent, BigLine, Pause };
    Kind kind;
    std::string text;
    size_t bytes = 0;
};

// S: bytes sent as they are (give the CR LF).
inline SmtpStep S(std::string text) { return {SmtpStep::Send, std::move(text)}; }
// C: the next line the client sends, without its CR LF; a final '*' matches any rest.
inline SmtpStep C(std::string line) { return {SmtpStep::Expect, std::move(line)}; }
// Message data up to and including the line "." alone; kept, as sent, in Messages().
inline SmtpStep Data() { return {SmtpStep::Data, {}}; }
// Reads n bytes of whatever comes (part of the message data, say).
inline SmtpStep ReadSome(size_t n) { return {SmtpStep::ReadSome, {}, n}; }
// Closes the connection (a FIN; unread data makes the kernel answer with a reset).
inline SmtpStep Close() { return {SmtpStep::Close, {}}; }
// Closes with SO_LINGER 0: the client sees a reset.
inline SmtpStep Reset() { return {SmtpStep::Reset, {}}; }
// Neither reads nor writes any more until the client goes or the server is destroyed.
inline SmtpStep Silent() { return {SmtpStep::Silent, {}}; }
// One reply line of n bytes ("500 xxx...x" CR LF); ends the script if the client goes.
inline SmtpStep BigLine(size_t n) { return {SmtpStep::BigLine, {}, n}; }
inline SmtpStep Pause(int ms) { return {SmtpStep::Pause, {}, static_cast<size_t>(ms)}; }

class ScriptedSmtpServer {
public:
    // receiveBuffer > 0 shrinks the accepted socket's receive buffer, so that a
    // client's large send stalls as soon as the script stops reading.
    explicit ScriptedSmtpServer(std::vector<SmtpStep> script, int receiveBuffer = 0);
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    uint16_t Port() const { return port_; }
    // Waits until the script has been played (at most timeoutMs); true when it was.
    bool Join(int timeoutMs = 10000);
    bool Accepted() const { return accepted_; }
    // Every byte the client sent that the script read.
    std::string Received();
    // The message data taken in by each Data step, without the final ".", as sent
    // (still dot-stuffed).
    std::vector<std::string> Messages();
    // Mismatched C: lines and failures to read or send.
    std::vector<std::string> Errors();

private:
    void Run();

    std::vector<SmtpStep> script_;
    int receiveBuffer_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> done_{false};
    std::atomic<bool> accepted_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string received_;
    std::vector<std::string> messages_;
    std::vector<std::string> errors_;
    std::thread thread_;
};

// A loopback port on which nothing listens.
uint16_t UnusedLoopbackPort();

} // namespace kelvo::test
