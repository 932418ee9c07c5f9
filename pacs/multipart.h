// Reading a multipart/related body (RFC 2046, section 5.1) as it arrives, part by part, in bounded memory.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace kelvo::pacs {

// A part's header fields, names in lower case, in the order sent.
using THeaderFields = std::vector<std::pair<QByteArray, QByteArray>>;

// The value of `name` (lower case) in `fields`; empty when absent.
QByteArray HeaderValue(const THeaderFields& fields, const QByteArray& name);

// The boundary parameter of a multipart Content-Type ("multipart/related;
// type=\"application/dicom\"; boundary=..."), unquoted; empty when the type is not
// multipart or the boundary is missing or not 1 to 70 characters long.
QByteArray MultipartBoundary(const QByteArray& contentType);

// Feed the body in pieces of any size; the events fire in order while it is fed. The
// reader keeps at most one piece plus a boundary's length, or one part's header block
// (up to kMaxHeaderBytes), whatever the size of the parts.
// Feed and Finish raise EPacsError: BadResponse for a header block too long or a body
// with no boundary line, TooLarge for a part longer than its own Content-Length or than
// MaxPartBytes, Truncated (from Finish) when the body ends before its closing boundary.
class TMultipartReader {
public:
    static constexpr qsizetype kMaxHeaderBytes = 16 * 1024;

    explicit TMultipartReader(const QByteArray& boundary, int64_t maxPartBytes = int64_t{1} << 32);

    std::function<void(const THeaderFields&)> OnPartBegin;
    std::function<void(const char* data, qsizetype size)> OnPartData;
    std::function<void()> OnPartEnd;

    void Feed(const char* data, qsizetype size);
    // The body has ended: raises Truncated unless the closing boundary came.
    void Finish();
    bool Closed() const { return state_ == State::Closed; }
    int Parts() const { return parts_; }

private:
    enum class State : uint8_t { Preamble, AfterDelimiter, Headers, Data, Closed };

    void Step();
    bool StepPreamble();
    bool StepAfterDelimiter();
    bool StepHeaders();
    bool StepData();
    void Emit(const char* data, qsizetype size);

    QByteArray delimiter_; // CRLF "--" boundary
    int64_t maxPartBytes_;
    State state_ = State::Preamble;
    QByteArray buffer_;
    int parts_ = 0;
    int64_t partBytes_ = 0;
    int64_t announced_ = -1; // the part's own Content-Length, or -1
};

} // namespace kelvo::pacs
