#include "net/buffer_stream.h"
#include "platform/exceptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kelvo;
using Mode = TS_BufferStream::TBufferMode;

namespace {

// An in-memory source that records the size of every read and write it is asked for,
// and takes at most `writeLimit` bytes in total when set.
class RecordingStream : public TMemoryStream {
public:
    std::vector<int32_t> reads, writes;
    int64_t writeLimit = -1;
    int64_t taken = 0;

    int32_t Read(void* buffer, int32_t count) override {
        reads.push_back(count);
        return TMemoryStream::Read(buffer, count);
    }
    int32_t Write(const void* buffer, int32_t count) override {
        writes.push_back(count);
        int32_t n = count;
        if (writeLimit >= 0)
            n = static_cast<int32_t>(std::min<int64_t>(count, std::max<int64_t>(writeLimit - taken, 0)));
        taken += n;
        return TMemoryStream::Write(buffer, n);
    }
};

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

std::string ReadAll(TStream& s, int32_t chunk) {
    std::string out;
    std::string buf(static_cast<size_t>(chunk), '\0');
    for (int32_t n; (n = s.Read(buf.data(), chunk)) > 0;) out.append(buf, 0, static_cast<size_t>(n));
    return out;
}

} // namespace

TEST(BufferStream, SmallWritesReachTheSourceInWholeBuffers) {
    RecordingStream src;
    const std::string data = Pattern(3 * 32768 + 100);
    {
        TS_BufferStream b(src);
        int flushes = 0;
        b.OnFlush = [&](TS_BufferStream&) { ++flushes; };
        for (size_t i = 0; i < data.size(); i += 62) b.WriteString(data.substr(i, 62));
        EXPECT_EQ(src.writes, (std::vector<int32_t>{32768, 32768, 32768}));
        EXPECT_EQ(flushes, 3);
        EXPECT_EQ(b.Mode(), Mode::Writing);
        EXPECT_EQ(b.BufferedOffset(), 100);
        EXPECT_EQ(b.Position(), static_cast<int64_t>(data.size()));
    }
    // The destructor flushed the remainder.
    EXPECT_EQ(src.writes.back(), 100);
    EXPECT_EQ(src.DataString(), data);
}

TEST(BufferStream, SeekToTheStartFlushesAndSizeCountsEveryByte) {
    TMemoryStream src;
    TS_BufferStream b(src);
    b.WriteString("hello world");
    EXPECT_EQ(src.Size(), 0);
    // Size right after writes does not need a flush: the end is the current position.
    EXPECT_EQ(b.Size(), 11);
    EXPECT_EQ(src.Size(), 0);
    EXPECT_EQ(b.Seek(0, 0), 0);
    EXPECT_EQ(b.Mode(), Mode::Idle);
    EXPECT_EQ(src.DataString(), "hello world");
    EXPECT_EQ(b.Size(), 11);
    EXPECT_EQ(ReadAll(b, 4), "hello world");
}

TEST(BufferStream, SeekToTheCurrentPositionKeepsPendingBytesAndReadAhead) {
    TMemoryStream src;
    TS_BufferStream b(src);
    b.WriteString("abc");
    EXPECT_EQ(b.Seek(0, 1), 3);
    EXPECT_EQ(b.Seek(3, 0), 3);
    EXPECT_EQ(b.Mode(), Mode::Writing);
    EXPECT_EQ(src.Size(), 0);

    TMemoryStream src2;
    src2.WriteString("0123456789");
    src2.SetPosition(0);
    TS_BufferStream r(src2);
    char c[2];
    ASSERT_EQ(r.Read(c, 2), 2);
    EXPECT_EQ(r.Seek(2, 0), 2);
    EXPECT_EQ(r.BufferedOffset(), -8);
    r.PutBack('X'); // read-ahead still valid, so the room to step back is still there
    EXPECT_EQ(ReadAll(r, 3), "X23456789");
}

TEST(BufferStream, SeekOriginsAndTheirFailures) {
    TMemoryStream src;
    src.WriteString(Pattern(100));
    TS_BufferStream b(src);
    EXPECT_EQ(b.Seek(10, 2), 90);
    EXPECT_EQ(b.Seek(5, 1), 95);
    EXPECT_EQ(b.Seek(-20, 1), 75);
    char c;
    ASSERT_EQ(b.Read(&c, 1), 1);
    EXPECT_EQ(c, Pattern(100)[75]);
    try {
        b.Seek(0, 3);
        FAIL() << "origin 3 accepted";
    } catch (const EStreamError&) {
        FAIL() << "wrong exception type";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Invalid seek origin = 3");
    }
}

TEST(BufferStream, SeekFromTheEndCountsPendingBytes) {
    TMemoryStream src;
    src.WriteString("0123456789");
    src.SetPosition(0);
    TS_BufferStream b(src);
    b.Seek(0, 2);
    b.WriteString("abcde");
    EXPECT_EQ(b.Seek(2, 2), 13);
    EXPECT_EQ(src.DataString(), "0123456789abcde");
}

TEST(BufferStream, RefusedFlushBeforeAMoveRaisesSeekError) {
    RecordingStream src;
    src.writeLimit = 2;
    TS_BufferStream b(src);
    EXPECT_EQ(b.Write("abcdef", 6), 6);
    try {
        b.Seek(0, 0);
        FAIL() << "short flush ignored";
    } catch (const EStreamError& e) {
        EXPECT_STREQ(e.what(), "Seek error");
    }
    EXPECT_EQ(src.DataString(), "ab");
}

TEST(BufferStream, WriteStopsWhenAFullBufferIsRefused) {
    RecordingStream src;
    src.writeLimit = 1000;
    TS_BufferStream b(src);
    const std::string data = Pattern(3 * 32768);
    // The first buffer is taken in full, its flush falls short, and writing stops.
    EXPECT_EQ(b.Write(data.data(), static_cast<int32_t>(data.size())), 32768);
    EXPECT_EQ(src.writes, (std::vector<int32_t>{32768}));
}

TEST(BufferStream, PutBackNeedsBytesTakenFromTheCurrentBuffer) {
    TMemoryStream src;
    src.WriteString("0123456789");
    src.SetPosition(0);
    TS_BufferStream b(src);
    EXPECT_THROW(b.PutBack('x'), EStreamError);
    char buf[3];
    ASSERT_EQ(b.Read(buf, 3), 3);
    b.PutBack('c');
    b.PutBack('b');
    b.PutBack('a');
    try {
        b.PutBack('z');
        FAIL() << "fourth PutBack accepted";
    } catch (const EStreamError& e) {
        EXPECT_STREQ(e.what(), "PutBack overflow");
    }
    EXPECT_EQ(ReadAll(b, 4), "abc3456789");
    b.Seek(4, 0);
    EXPECT_THROW(b.PutBack('x'), EStreamError);
    // Nothing to step back over while writing either: the byte before is a pending write.
    b.WriteString("W");
    EXPECT_THROW(b.PutBack('x'), EStreamError);
}

TEST(BufferStream, ReadingAnEmptySourceYieldsNothingAndStaysIdle) {
    TMemoryStream src;
    TS_BufferStream b(src);
    int refills = 0;
    b.OnRefill = [&](TS_BufferStream&) { ++refills; };
    char c;
    EXPECT_EQ(b.Read(&c, 1), 0);
    EXPECT_EQ(b.Mode(), Mode::Idle);
    EXPECT_EQ(refills, 1);
    // Writing after a read that hit the end must still take bytes.
    EXPECT_EQ(b.Write("xyz", 3), 3);
    b.Seek(0, 0);
    EXPECT_EQ(src.DataString(), "xyz");
}

TEST(BufferStream, ManySmallReadsBecomeWholeBufferReads) {
    RecordingStream src;
    const std::string data = Pattern(100000);
    src.WriteString(data);
    src.SetPosition(0);
    src.reads.clear();
    TS_BufferStream b(src);
    EXPECT_EQ(ReadAll(b, 45), data);
    for (const int32_t r : src.reads) EXPECT_EQ(r, 32768);
    // 4 buffers (the last one short), then one empty read for each call at the end.
    EXPECT_EQ(src.reads.size(), 6u);
}

TEST(BufferStream, WritingAfterAReadStartsAtTheLogicalPosition) {
    TMemoryStream src;
    src.WriteString("0123456789");
    src.SetPosition(0);
    {
        TS_BufferStream b(src);
        char buf[4];
        ASSERT_EQ(b.Read(buf, 4), 4);
        b.WriteString("ab");
        EXPECT_EQ(b.Position(), 6);
        // Reading after writing flushes and continues behind the written bytes.
        char c;
        ASSERT_EQ(b.Read(&c, 1), 1);
        EXPECT_EQ(c, '6');
    }
    EXPECT_EQ(src.DataString(), "0123ab6789");
}

TEST(BufferStream, ReadAfterAFlushedFullBufferComesFromTheSource) {
    // A write of exactly one buffer leaves the stream idle with stale bytes in the
    // buffer; the read that follows must come from the source, not from those bytes.
    TMemoryStream src;
    const std::string data = Pattern(32768);
    src.WriteString(data + "TAIL");
    src.SetPosition(0);
    TS_BufferStream b(src);
    EXPECT_EQ(b.Write(data.data(), 32768), 32768);
    EXPECT_EQ(b.Mode(), Mode::Idle);
    EXPECT_EQ(ReadAll(b, 16), "TAIL");
}

TEST(BufferStream, FlushWhileReadingWritesNothing) {
    RecordingStream src;
    src.WriteString("0123456789");
    src.SetPosition(0);
    src.writes.clear();
    TS_BufferStream b(src);
    char buf[3];
    ASSERT_EQ(b.Read(buf, 3), 3);
    EXPECT_TRUE(b.Flush());
    EXPECT_TRUE(src.writes.empty());
    EXPECT_EQ(b.Position(), 3);
}
