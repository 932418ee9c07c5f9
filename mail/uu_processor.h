// The attachment encoder: turns the bytes of one stream into base64 or uuencode text lines.
#pragma once

#include "platform/streams.h"

#include <QObject>

#include <cstdint>
#include <functional>

namespace kelvo {

enum UUMethods : uint8_t {
    uuMime = 0, // base64 (RFC 2045), 60 characters a line
    uuCode = 1, // uuencode lines without the begin and end lines
};

// Encodes all of InputStream into OutputStream. Input is read in blocks of 45 bytes,
// one text line (ending in CR LF) per block, and each line is written in one Write,
// so callers hand in buffered streams (TS_BufferStream) when the medium is slow.
//
// base64: standard alphabet with '=' padding; an empty input gives no text.
// uuencode: a length character, the groups (a final group only as long as it needs:
// two characters for one byte, three for two), then a line made of the grave accent
// alone; value 0 is the grave accent, never a space.
class TKivUUProcessor : public QObject {
public:
    using TNotifyEvent = std::function<void(TKivUUProcessor& sender)>;

    explicit TKivUUProcessor(QObject* owner = nullptr);

    UUMethods Method() const { return method_; }
    void SetMethod(UUMethods method) { method_ = method; }

    // Both not owned. InputStream is read from its beginning; OutputStream is written
    // from its current position and rewound to 0 at the end, also after a failure.
    TStream* InputStream = nullptr;
    TStream* OutputStream = nullptr;

    TNotifyEvent OnBeginEncode;
    // Fires when Encode ends, also when it ends with an error.
    TNotifyEvent OnEndEncode;
    // Never fired: this component only encodes.
    TNotifyEvent OnBeginDecode;
    TNotifyEvent OnEndDecode;

    // Errors of the streams pass through; a short write raises EStreamError.
    void Encode();

private:
    UUMethods method_ = uuMime;
    char alphabet_[64] = {};
    char pairs_[2 * 4096] = {};

    void LoadAlphabet();
    // Encodes n (1..45) bytes into line; returns the line's length.
    int32_t EncodeLine(const uint8_t* in, int32_t n, char* line) const;
};

} // namespace kelvo
