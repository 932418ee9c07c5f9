#include "mail/uu_processor.h"
#include "tests/mail/support/mail_test_support.h"
#include "net/buffer_stream.h"
#include "platform/exceptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kelvo;
using namespace kelvo::test;

namespace {

std::string EncodeText(const std::string& input, UUMethods method) {
    TMemoryStream in, out;
    in.WriteString(input);
    TKivUUProcessor p;
    p.SetMethod(method);
    p.InputStream = &in;
    p.OutputStream = &out;
    p.Encode();
    return out.DataString();
}

// Fails every write after the first `okWrites`.
class FailingStream : public TMemoryStream {
public:
    int okWrites = 0;
    int32_t Write(const void* buffer, int32_t count) override {
        if (okWrites-- <= 0) throw EStreamError("disk full");
        return TMemoryStream::Write(buffer, count);
    }
};

} // namespace

TEST(UUProcessor, EncodesTheDocumentedExamples) {
    const std::string m45(45, 'M'), m46(46, 'M');
    // clang-format off
    struct Row { std::string input; UUMethods method; std::string want; };
    // clang-format on
    const std::vector<Row> rows{
        {"abc", uuMime, "YWJj\r\n"},
        {"a", uuMime, "YQ==\r\n"},
        {"ab", uuMime, "YWI=\r\n"},
        {"", uuMime, ""},
        {"abc", uuCode, "#86)C\r\n`\r\n"},
        {"a", uuCode, "!80\r\n`\r\n"},
        {"ab", uuCode, "\"86(\r\n`\r\n"},
        {"", uuCode, "`\r\n"},
        // Value 0 is the grave accent, never a space.
        {std::string(3, '\0'), uuCode, "#````\r\n`\r\n"},
        {std::string(3, '\0'), uuMime, "AAAA\r\n"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(EncodeText(r.input, r.method), r.want) << r.input.size() << " " << int(r.method);
}

TEST(UUProcessor, CutsLinesAtFortyFiveInputBytes) {
    const std::string b45 = EncodeText(std::string(45, 'x'), uuMime);
    EXPECT_EQ(b45.size(), 62u);
    EXPECT_EQ(b45.substr(60), "\r\n");

    const std::string b46 = EncodeText(std::string(46, 'x'), uuMime);
    EXPECT_EQ(b46.substr(62), "eA==\r\n");

    const std::string u45 = EncodeText(std::string(45, 'x'), uuCode);
    ASSERT_EQ(u45.size(), 63u + 3u);
    EXPECT_EQ(u45[0], 'M');
    EXPECT_EQ(u45.substr(61), "\r\n`\r\n");

    const std::string u46 = EncodeText(std::string(46, 'x'), uuCode);
    EXPECT_EQ(u46.substr(63), "!>`\r\n`\r\n");
}

TEST(UUProcessor, WritesEachLineInOneWriteAndRewindsBothWays) {
    class Counting : public TMemoryStream {
    public:
        std::vector<int32_t> writes;
        int32_t Write(const void* b, int32_t n) override {
            writes.push_back(n);
            return TMemoryStream::Write(b, n);
        }
    };
    TMemoryStream in;
    in.WriteString(std::string(100, 'q')); // left at its end: Encode starts from 0 anyway
    Counting out;
    out.WriteString("HEAD"); // Encode writes from the current position
    TKivUUProcessor p;
    p.InputStream = &in;
    p.OutputStream = &out;
    std::vector<std::string> events;
    p.OnBeginEncode = [&](TKivUUProcessor& s) { events.push_back(&s == &p ? "begin" : "?"); };
    p.OnEndEncode = [&](TKivUUProcessor& s) { events.push_back(&s == &p ? "end" : "?"); };
    p.Encode();
    EXPECT_EQ(events, (std::vector<std::string>{"begin", "end"}));
    EXPECT_EQ(out.writes, (std::vector<int32_t>{4, 62, 62, 18}));
    EXPECT_EQ(out.Position(), 0);
    EXPECT_EQ(in.Position(), 100);
    EXPECT_EQ(out.DataString().substr(0, 4), "HEAD");
}

TEST(UUProcessor, AFailingOutputEndsEncodeButStillRewindsAndSignalsTheEnd) {
    TMemoryStream in;
    in.WriteString(std::string(200, 'z'));
    FailingStream out;
    out.okWrites = 2;
    TKivUUProcessor p;
    p.SetMethod(uuCode);
    p.InputStream = &in;
    p.OutputStream = &out;
    int ends = 0;
    p.OnEndEncode = [&](TKivUUProcessor&) { ++ends; };
    try {
        p.Encode();
        FAIL() << "write error swallowed";
    } catch (const EStreamError& e) {
        EXPECT_STREQ(e.what(), "disk full");
    }
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(out.Position(), 0);
    EXPECT_EQ(out.Size(), 2 * 63);
}

TEST(UUProcessor, ANewMethodTakesEffectAtTheNextEncode) {
    TMemoryStream in, out1, out2;
    in.WriteString("abc");
    TKivUUProcessor p;
    p.InputStream = &in;
    p.OutputStream = &out1;
    p.Encode();
    p.SetMethod(uuCode);
    p.OutputStream = &out2;
    p.Encode();
    EXPECT_EQ(out1.DataString(), "YWJj\r\n");
    EXPECT_EQ(out2.DataString(), "#86)C\r\n`\r\n");
}

// Independent decoders: Python's base64 and binascii.
TEST(UUProcessor, LinesMatchPythonBase64AndDecodeWithA2bUu) {
    TempDir dir;
    // clang-format off
    const std::vector<std::string> inputs{
        AllByteValues(), "", "x", std::string(44, '\xff'), std::string(45, '\0'), std::string(46, '\x80'),
        RandomBytes(45 * 100, 1), RandomBytes(45 * 100 + 1, 2), RandomBytes(45 * 100 + 2, 3), RandomBytes(100000, 4)};
    // clang-format on
    const char* script = R"PY(
import sys, base64, binascii
data = open(sys.argv[1], 'rb').read()
b64 = open(sys.argv[2], 'rb').read()
uu = open(sys.argv[3], 'rb').read()
ref = base64.b64encode(data)
want = b''.join(ref[i:i + 60] + b'\r\n' for i in range(0, len(ref), 60))
if b64 != want:
    sys.exit('base64 text differs from Python (%d vs %d bytes)' % (len(b64), len(want)))
lines = uu.split(b'\r\n')
if lines[-1] != b'' or lines[-2] != b'`':
    sys.exit('uuencode text does not end with the grave-accent line')
decoded = b''
for n, line in enumerate(lines[:-2]):
    chunk = binascii.a2b_uu(line)
    if chunk != data[45 * n:45 * n + 45]:
        sys.exit('uuencode line %d decodes wrongly' % n)
    decoded += chunk
if decoded != data:
    sys.exit('uuencode text decodes to %d bytes, not %d' % (len(decoded), len(data)))
print('ok')
)PY";
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string data = dir.File("in" + std::to_string(i), inputs[i]);
        const std::string b64 = dir.File("b64_" + std::to_string(i), EncodeText(inputs[i], uuMime));
        const std::string uu = dir.File("uu_" + std::to_string(i), EncodeText(inputs[i], uuCode));
        const PythonRun run = RunPython(script, {data, b64, uu});
        EXPECT_EQ(run.exitCode, 0) << "input " << i << ": " << run.err;
        EXPECT_EQ(run.out, "ok\n");
    }
}

TEST(UUProcessor, EncodesThroughBufferedStreamsLikeUnbuffered) {
    const std::string data = RandomBytes(200000, 9);
    TMemoryStream in, target;
    in.WriteString(data);
    {
        TS_BufferStream bin(in), bout(target);
        TKivUUProcessor p;
        p.InputStream = &bin;
        p.OutputStream = &bout;
        p.Encode();
        EXPECT_EQ(bout.Position(), 0);
    }
    EXPECT_EQ(target.DataString(), EncodeText(data, uuMime));
}
