#include "mail/uu_processor.h"

#include "platform/exceptions.h"

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
}

int32_t TKivUUProcessor::EncodeLine(const uint8_t* in, int32_t n, char* line) const {
    const char* a = alphabet_;
    char* out = line;
    if (method_ == uuCode) *out++ = a[n];
    int32_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
        out[0] = a[b0 >> 2];
        out[1] = a[((b0 & 3) << 4) | (b1 >> 4)];
        out[2] = a[((b1 & 15) << 2) | (b2 >> 6)];
        out[3] = a[b2 & 63];
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
