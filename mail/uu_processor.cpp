// TKivUUProcessor: base64 and uuencode lines out of the bytes of one stream.
#include "mail/uu_processor.h"

#include "platform/exceptions.h"

#include <cstring>

namespace kelvo {

namespace {
constexpr int32_t kBlock = 45;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
} // namespace

TKivUUProcessor::TKivUUProcessor(QObject* owner) : QObject(owner) {}

void TKivUUProcessor::LoadAlphabet() {
    if (method_ == uuMime) {
        for (int i = 0; i < 64; ++i) alphabet_[i] = kBase64[i];
    } else {
        // Value 0 as the grave accent rather than a space: mail gateways strip
        // trailing blanks, which would shorten lines.
        alphabet_[0] = '`';
        for (int i = 1; i < 64; ++i) alphabet_[i] = static_cast<char>(32 + i);
    }
    // Two characters per 12 bits: half the look-ups and stores of one per 6 bits.
    for (int v = 0; v < 4096; ++v) {
        pairs_[2 * v] = alphabet_[v >> 6];
        pairs_[2 * v + 1] = alphabet_[v & 63];
    }
}

int32_t TKivUUProcessor::EncodeLine(const uint8_t* in, int32_t n, char* line) const {
    const char* a = alphabet_;
    char* out = line;
    if (method_ == uuCode) *out++ = a[n];
    int32_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        std::memcpy(out, pairs_ + 2 * (v >> 12), 2);
        std::memcpy(out + 2, pairs_ + 2 * (v & 0xFFF), 2);
        out += 4;
    }
    if (n - i == 1) {
        const uint32_t b0 = in[i];
        *out++ = a[b0 >> 2];
        *out++ = a[(b0 & 3) << 4];
        if (method_ == uuMime) {
            *out++ = '=';
            *out++ = '=';
        }
    } else if (n - i == 2) {
        const uint32_t b0 = in[i], b1 = in[i + 1];
        *out++ = a[b0 >> 2];
        *out++ = a[((b0 & 3) << 4) | (b1 >> 4)];
        *out++ = a[(b1 & 15) << 2];
        if (method_ == uuMime) *out++ = '=';
    }
    *out++ = '\r';
    *out++ = '\n';
    return static_cast<int32_t>(out - line);
}

void TKivUUProcessor::Encode() {
    if (!InputStream || !OutputStream) throw Exception("Encoder streams are not assigned");
    InputStream->SetPosition(0);
    if (OnBeginEncode) OnBeginEncode(*this);
    try {
        LoadAlphabet();
        // The size is taken once: asking a buffered file for it on every line costs
        // three seeks of the file per 45 bytes.
        const int64_t size = InputStream->Size();
        int64_t position = 0;
        uint8_t in[kBlock];
        char line[1 + 64 + 2];
        while (position < size) {
            const int32_t n = InputStream->Read(in, kBlock);
            // A source that ends before its announced size (a file truncated while
            // being read) would otherwise never reach it.
            if (n <= 0) break;
            position += n;
            OutputStream->WriteBuffer(line, EncodeLine(in, n, line));
        }
        if (method_ == uuCode) OutputStream->WriteBuffer("`\r\n", 3);
    } catch (...) {
        try {
            OutputStream->SetPosition(0);
        } catch (...) {
            // The encoding error is the one the caller needs to see.
        }
        if (OnEndEncode) OnEndEncode(*this);
        throw;
    }
    OutputStream->SetPosition(0);
    if (OnEndEncode) OnEndEncode(*this);
}

} // namespace kelvo
