// Fuzzes TS_BufferStream with random sequences of reads, writes, seeks, put-backs
// and size queries over an in-memory stream, against a model on a plain byte vector
// that keeps its own copy of the current read buffer (put-back characters live
// only there) and counts the refills and flushes the buffer must make.
#include "net/buffer_stream.h"
#include "platform/exceptions.h"
#include "support/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kelvo::fuzz::Show;
constexpr int64_t kCap = kelvo::BufferStreamCapacity;

struct Model {
    enum Mode { Idle, Reading, Writing };
    std::string content; // what the source holds once every pending byte is flushed
    int64_t pos = 0;     // logical position
    Mode mode = Idle;
    std::string buf;     // reading: the bytes of the current buffer as the stream holds them
    int64_t cursor = 0;  // reading: next byte of buf
    int64_t pending = 0; // writing: bytes not yet flushed
    int refills = 0;
    int flushes = 0;

    void Flush() {
        if (mode != Writing) return;
        pending = 0;
        mode = Idle;
        ++flushes;
    }
    bool Refill() {
        const int64_t start = std::min<int64_t>(pos, static_cast<int64_t>(content.size()));
        const int64_t n = std::min<int64_t>(kCap, static_cast<int64_t>(content.size()) - start);
        buf = content.substr(static_cast<size_t>(start), static_cast<size_t>(n));
        cursor = 0;
        mode = n > 0 ? Reading : Idle;
        ++refills;
        return n > 0;
    }
    std::string Read(int64_t count) {
        if (mode == Writing) Flush();
        if (mode != Reading) {
            buf.clear();
            cursor = 0;
        }
        std::string out;
        while (count > 0) {
            if (cursor == static_cast<int64_t>(buf.size()) && !Refill()) break;
            const int64_t n = std::min<int64_t>(static_cast<int64_t>(buf.size()) - cursor, count);
            out.append(buf, static_cast<size_t>(cursor), static_cast<size_t>(n));
            cursor += n;
            pos += n;
            count -= n;
        }
        return out;
    }
    void Write(const std::string& bytes) {
        if (mode == Reading) mode = Idle;
        if (mode == Idle) pending = 0;
        if (bytes.empty()) return;
        const auto end = static_cast<size_t>(pos) + bytes.size();
        if (content.size() < end) content.resize(end, '\0');
        std::memcpy(content.data() + pos, bytes.data(), bytes.size());
        pos = static_cast<int64_t>(end);
        int64_t left = static_cast<int64_t>(bytes.size());
        while (left > 0) {
            const int64_t n = std::min(kCap - pending, left);
            pending += n;
            left -= n;
            mode = Writing;
            if (pending == kCap) Flush();
        }
    }
    int64_t Seek(int64_t offset, int origin) {
        int64_t target = 0;
        switch (origin) {
        // clang-format off
        case 0: target = offset; break;
        case 1: target = pos + offset; break;
        default: target = static_cast<int64_t>(content.size()) - offset; break;
            // clang-format on
        }
        if (target == pos) return pos;
        Flush();
        mode = Idle;
        pos = std::max<int64_t>(target, 0);
        return pos;
    }
    bool PutBack(char ch) {
        if (mode != Reading || cursor == 0) return false;
        --cursor;
        --pos;
        buf[static_cast<size_t>(cursor)] = ch;
        return true;
    }
};

// Lengths that cross the 32768-byte buffer edges now and then.
int64_t Length(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    // clang-format off
    case 0: return in.ConsumeIntegralInRange<int64_t>(0, 16);
    case 1: return in.ConsumeIntegralInRange<int64_t>(0, 300);
    case 2: return kCap + in.ConsumeIntegralInRange<int64_t>(-3, 3);
    default: return in.ConsumeIntegralInRange<int64_t>(0, 3 * kCap);
        // clang-format on
    }
}

std::string Bytes(FuzzedDataProvider& in, int64_t n) {
    // A repeated pattern keeps long writes cheap in input bytes.
    const std::string seed = in.ConsumeBytesAsString(4) + "k";
    std::string out(static_cast<size_t>(n), '\0');
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(seed[i % seed.size()] + i / seed.size());
    return out;
}

// Each step below runs one operation on the stream and the model, checks that they
// agree, and returns its name for the checks that follow every step.

const char* StepRead(FuzzedDataProvider& in, kelvo::TS_BufferStream& stream, Model& model) {
    const int64_t n = Length(in);
    std::string got(static_cast<size_t>(n), '\0');
    const int32_t r = stream.Read(got.data(), static_cast<int32_t>(n));
    FUZZ_CHECK(r >= 0 && r <= n, "Read returned " + std::to_string(r));
    got.resize(static_cast<size_t>(r));
    const std::string want = model.Read(n);
    FUZZ_CHECK(got == want, "Read(" + std::to_string(n) + ") gave " + Show(got, 40) + ", model " + Show(want, 40));
    return "Read";
}

const char* StepWrite(FuzzedDataProvider& in, kelvo::TS_BufferStream& stream, Model& model) {
    const std::string bytes = Bytes(in, Length(in));
    const int32_t r = stream.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    FUZZ_CHECK(r == static_cast<int32_t>(bytes.size()), "Write took " + std::to_string(r));
    model.Write(bytes);
    return "Write";
}

// Origin 3 is no origin and must be refused.
const char* StepSeek(FuzzedDataProvider& in, kelvo::TS_BufferStream& stream, Model& model) {
    const int origin = in.ConsumeIntegralInRange<int>(0, 3);
    const int64_t offset = in.ConsumeIntegralInRange<int64_t>(-2 * kCap, 2 * kCap);
    if (origin == 3) {
        bool raised = false;
        try {
            stream.Seek(offset, 3);
        } catch (const kelvo::Exception& e) {
            raised = std::string(e.what()) == "Invalid seek origin = 3";
        }
        FUZZ_CHECK(raised, "origin 3 accepted");
        return "Seek(3)";
    }
    const int64_t got = stream.Seek(offset, static_cast<uint16_t>(origin));
    const int64_t want = model.Seek(offset, origin);
    FUZZ_CHECK(got == want, "Seek(" + std::to_string(offset) + ", " + std::to_string(origin) +
                                ") = " + std::to_string(got) + ", model " + std::to_string(want));
    return "Seek";
}

const char* StepPutBack(FuzzedDataProvider& in, kelvo::TS_BufferStream& stream, Model& model) {
    const char ch = static_cast<char>(in.ConsumeIntegral<uint8_t>());
    bool raised = false;
    try {
        stream.PutBack(ch);
    } catch (const kelvo::EStreamError& e) {
        FUZZ_CHECK(std::string(e.what()) == "PutBack overflow", e.what());
        raised = true;
    }
    const bool ok = model.PutBack(ch);
    FUZZ_CHECK(raised != ok,
               std::string("PutBack ") + (raised ? "refused" : "accepted") + ", model " + (ok ? "accepts" : "refuses"));
    return "PutBack";
}

// Position, Size (the TStream way: three seeks) and BufferedOffset against the model.
const char* StepQuery(int op, kelvo::TS_BufferStream& stream, Model& model) {
    if (op == 4) {
        const int64_t got = stream.Position();
        FUZZ_CHECK(got == model.pos, "Position " + std::to_string(got) + ", model " + std::to_string(model.pos));
        return "Position";
    }
    if (op == 5) {
        const int64_t got = stream.Size();
        const int64_t p = model.pos;
        model.Seek(0, 1);
        const int64_t want = model.Seek(0, 2);
        model.Seek(p, 0);
        FUZZ_CHECK(got == want, "Size " + std::to_string(got) + ", model " + std::to_string(want));
        return "Size";
    }
    const int32_t got = stream.BufferedOffset();
    const int64_t want = model.mode == Model::Reading   ? model.cursor - static_cast<int64_t>(model.buf.size())
                         : model.mode == Model::Writing ? model.pending
                                                        : 0;
    FUZZ_CHECK(got == want, "BufferedOffset " + std::to_string(got) + ", model " + std::to_string(want));
    return "BufferedOffset";
}

// What must hold after every step: the same mode, the same refills and flushes, and
// a source that never holds more than its logical content.
void CheckAfterStep(const kelvo::TS_BufferStream& stream, const kelvo::TMemoryStream& source, const Model& model,
                    int refills, int flushes, const std::string& what) {
    FUZZ_CHECK(static_cast<int>(stream.Mode()) == static_cast<int>(model.mode),
               "mode " + std::to_string(static_cast<int>(stream.Mode())) + ", model " +
                   std::to_string(static_cast<int>(model.mode)) + " after " + what);
    FUZZ_CHECK(refills == model.refills && flushes == model.flushes,
               "refills/flushes " + std::to_string(refills) + "/" + std::to_string(flushes) + ", model " +
                   std::to_string(model.refills) + "/" + std::to_string(model.flushes) + " after " + what);
    FUZZ_CHECK(static_cast<int64_t>(source.DataString().size()) <= static_cast<int64_t>(model.content.size()),
               "source longer than the stream's content");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    kelvo::TMemoryStream source;
    Model model;
    // Start from existing content sometimes, as the encoder's input stream does.
    if (in.ConsumeBool()) {
        const std::string initial = Bytes(in, Length(in));
        source.WriteString(initial);
        source.SetPosition(0);
        model.content = initial;
    }
    int refills = 0, flushes = 0; // outlive the stream, whose destructor still flushes
    {
        kelvo::TS_BufferStream stream(source);
        stream.OnRefill = [&](kelvo::TS_BufferStream&) { ++refills; };
        stream.OnFlush = [&](kelvo::TS_BufferStream&) { ++flushes; };
        for (int step = 0; step < 48 && in.remaining_bytes() > 0; ++step) {
            const int op = in.ConsumeIntegralInRange<int>(0, 6);
            const char* what = nullptr;
            switch (op) {
            // clang-format off
            case 0: what = StepRead(in, stream, model); break;
            case 1: what = StepWrite(in, stream, model); break;
            case 2: what = StepSeek(in, stream, model); break;
            case 3: what = StepPutBack(in, stream, model); break;
            default: what = StepQuery(op, stream, model); break;
                // clang-format on
            }
            CheckAfterStep(stream, source, model, refills, flushes, what);
        }
    } // the destructor flushes what is pending
    FUZZ_CHECK(source.DataString() == model.content,
               "source after destruction: " + std::to_string(source.DataString().size()) + " bytes, model " +
                   std::to_string(model.content.size()));
    return 0;
}
