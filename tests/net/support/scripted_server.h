// A scripted TCP peer on 127.0.0.1 for the socket tests: it plays S: lines, checks C: lines, pauses, closes or resets.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::testing {

struct Step {
    enum Kind { Send, Expect, Pause, Close, Reset, Hold, Drain, ReadBytes, HalfClose, Trickle };
    Kind kind;
    std::string data;
    int ms = 0;
    size_t bytes = 0;
};

// S: bytes sent as one segment (a send call followed by a short pause so that
// consecutive S steps arrive as separate segments).
inline Step S(std::string text) { return {Step::Send, std::move(text)}; }
// C: the next line the client sends, without CR LF; a mismatch is recorded.
inline Step C(std::string line) { return {Step::Expect, std::move(line)}; }
inline Step Pause(int ms) { return {Step::Pause, {}, ms}; }
inline Step Close() { return {Step::Close, {}}; }
// Close with SO_LINGER 0: the client sees a reset.
inline Step Reset() { return {Step::Reset, {}}; }
// Keep the connection without reading until the client closes or `ms` pass.
inline Step Hold(int ms) { return {Step::Hold, {}, ms}; }
// Read everything until the client closes.
inline Step Drain() { return {Step::Drain, {}}; }
// Read exactly n bytes.
inline Step ReadBytes(size_t n) { return {Step::ReadBytes, {}, 0, n}; }

// Send FIN but keep reading (shutdown for writing).
inline Step HalfClose() { return {Step::HalfClose, {}}; }
// A slow reader: `chunk` bytes every `ms` until n bytes are read or the client closes.
inline Step Trickle(size_t n, size_t chunk, int ms) { return {Step::Trickle, std::string(chunk, '\0'), ms, n}; }

class ScriptedServer {
public:
    // receiveBuffer > 0 shrinks the accepted socket's receive buffer (a slow reader).
    explicit ScriptedServer(std::vector<Step> script, int receiveBuffer = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t Port() const { return port_; }
    // Waits for the script to end (at most timeoutMs); true when it ended.
    bool Join(int timeoutMs = 10000);
    bool Accepted() const { return accepted_; }
    // Every byte the client sent that the script read.
    std::string Received();
    // Mismatched C: lines and socket failures.
    std::vector<std::string> Errors();

private:
    void Run();

    std::vector<Step> script_;
    int receiveBuffer_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> done_{false};
    std::atomic<bool> accepted_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string received_;
    std::vector<std::string> errors_;
    std::thread thread_;
};

// Shrinks the send buffer of a POSIX socket (and stops its growth), so that a
// client's large send has to wait for the peer.
void LimitSendBuffer(int fd, int bytes);

// A loopback port on which nothing listens (connections to it are refused).
uint16_t UnusedPort();

} // namespace kelvo::testing
