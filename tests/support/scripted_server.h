// A scripted TCP peer on 127.0.0.1 for the socket and SMTP tests: it plays S: lines,
// checks C: lines, takes in message data, and pauses, stalls, closes or resets on cue.
#pragma once

#include "loopback.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::test {

struct Step {
    // clang-format off
    enum Kind { Send, Expect, Data, ReadBytes, ReadSome, Pause, Close, Reset, Hold, Drain, HalfClose, Trickle, BigLine };
    // clang-format on
    Kind kind;
    std::string data;
    int ms = 0;
    size_t bytes = 0;
};

// S: bytes sent as they are (give the CR LF); see PeerOptions::pauseAfterSendMs.
inline Step S(std::string text) { return {Step::Send, std::move(text)}; }
// C: the next line the client sends, without its CR LF; a mismatch is recorded. A final
// '*' matches any rest of the line.
inline Step C(std::string line) { return {Step::Expect, std::move(line)}; }
// Message data up to and including the line "." alone; kept, as sent, in Messages().
inline Step Data() { return {Step::Data, {}}; }
// Reads exactly n bytes; fewer before the client stops is recorded.
inline Step ReadBytes(size_t n) { return {Step::ReadBytes, {}, 0, n}; }
// Reads up to n bytes of whatever comes (part of the message data, say).
inline Step ReadSome(size_t n) { return {Step::ReadSome, {}, 0, n}; }
inline Step Pause(int ms) { return {Step::Pause, {}, ms}; }
// Closes the connection (a FIN; unread data makes the kernel answer with a reset).
inline Step Close() { return {Step::Close, {}}; }
// Closes with SO_LINGER 0: the client sees a reset.
inline Step Reset() { return {Step::Reset, {}}; }
// Keeps the connection without reading until the client closes or `ms` pass.
inline Step Hold(int ms) { return {Step::Hold, {}, ms}; }
// Neither reads nor writes any more until the client goes or the server is destroyed.
inline Step Silent() { return {Step::Hold, {}, -1}; }
// Reads everything until the client closes.
inline Step Drain() { return {Step::Drain, {}}; }
// Sends FIN but keeps reading (shutdown for writing).
inline Step HalfClose() { return {Step::HalfClose, {}}; }
// A slow reader: `chunk` bytes every `ms` until n bytes are read or the client closes.
inline Step Trickle(size_t n, size_t chunk, int ms) { return {Step::Trickle, std::string(chunk, '\0'), ms, n}; }
// One reply line of n bytes ("500 xxx...x" CR LF); ends the script if the client goes.
inline Step BigLine(size_t n) { return {Step::BigLine, {}, 0, n}; }

struct PeerOptions {
    // > 0 shrinks the accepted socket's receive buffer, so that a client's large send
    // stalls as soon as the script stops reading.
    int receiveBuffer = 0;
    // A pause after every S step, so that consecutive S steps reach the client as
    // separate segments (and separate reads).
    int pauseAfterSendMs = 20;
};

// Accepts one connection and plays the script on its own thread. A step that cannot
// be played (no line, a failed send) is recorded and ends the script.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Step> script, PeerOptions options = {});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t Port() const { return listener_.Port(); }
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
    class Connection;
    void Run();

    std::vector<Step> script_;
    PeerOptions options_;
    LoopbackListener listener_;
    std::atomic<bool> done_{false};
    std::atomic<bool> accepted_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string received_;
    std::vector<std::string> messages_;
    std::vector<std::string> errors_;
    std::thread thread_;
};

} // namespace kelvo::test
