// TReply: one numbered server reply of a line protocol (SMTP and its kin), its code and its lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {

// The first digit of a reply code says how the step went (RFC 5321 §4.2.1).
namespace reply_code {
inline constexpr int16_t kFirstCompletion = 200;   // 2yz: done
inline constexpr int16_t kFirstIntermediate = 300; // 3yz: go on with the next part
inline constexpr int16_t kFirstFailure = 400;      // 4yz and 5yz: refused
// RCPT counts as accepted up to 300 itself, as it always has.
inline constexpr int16_t kLastRecipientAccepted = 300;
// QUIT counts as accepted up to this code, 3yz replies below 340 included: a server
// that answers QUIT oddly but harmlessly is not reported as a failure.
inline constexpr int16_t kLastQuitAccepted = 339;
} // namespace reply_code

class TReply {
public:
    // The leading decimal digits of a line, at most ten of them; 0 when there are none
    // or when they do not fit the 16-bit reply code.
    static int16_t CodeOf(const std::string& line);
    // "250-..." and lines that begin with a space announce more lines of the same reply.
    static bool Continues(const std::string& line);

    // Starts a new reply with its first line. Its code counts only from TakeCode on, so
    // whoever hears of the line before that still reads no code.
    void Start(const std::string& first) {
        lines_.assign(1, first);
        code_ = 0;
    }
    // The code of the reply's first line.
    void TakeCode();
    void Add(const std::string& line) { lines_.push_back(line); }
    // A command went out and its reply has not come: no code until it does, while the
    // lines of the reply before stay readable.
    void Await() { code_ = 0; }

    int16_t code() const { return code_; }
    bool isCode(int16_t code) const { return code_ == code; }
    // Not refused: what this client has always let a step go on with, a reply without
    // a code included.
    bool isPositive() const { return code_ < reply_code::kFirstFailure; }
    // 2yz and nothing else: done, with a code that says so.
    bool isCompletion() const {
        return code_ >= reply_code::kFirstCompletion && code_ < reply_code::kFirstIntermediate;
    }
    // For steps with a threshold of their own: codes below `first`, or up to `last`.
    bool isBelow(int16_t first) const { return code_ < first; }
    bool isAtMost(int16_t last) const { return code_ <= last; }
    // The line read last, line end included; empty before the first reply and when the
    // peer closed instead of answering.
    const std::string& last() const;
    // Every line as received, line ends included.
    const std::vector<std::string>& lines() const { return lines_; }

private:
    int16_t code_ = 0;
    std::vector<std::string> lines_;
};

} // namespace kelvo
