// A stream that puts a 32768-byte buffer in front of another stream, so that the
// encoder's one-line writes and 45-byte reads reach the wrapped stream in large blocks.
#pragma once

#include "platform/streams.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace kelvo {

// Buffer size of every TS_BufferStream.
inline constexpr int32_t BufferStreamCapacity = 32768;

// Buffers reads and writes of a stream it does not own. The logical position is the
// source's position plus BufferedOffset(); bytes written stay in the buffer until it
// fills, the stream is repositioned, read from, or destroyed. Single characters that
// were read from the current buffer can be pushed back (PutBack).
//
// Seek with origin 2 counts a positive offset back from the end (Seek(10, 2) on 100
// bytes gives 90). The end includes bytes still waiting in the buffer.
class TS_BufferStream : public TStream {
public:
    enum class TBufferMode : uint8_t { Idle = 0, Reading = 1, Writing = 2 };

    explicit TS_BufferStream(TStream& source);
    // Flushes pending bytes; a flush that falls short is ignored here.
    ~TS_BufferStream() override;
    TS_BufferStream(const TS_BufferStream&) = delete;
    TS_BufferStream& operator=(const TS_BufferStream&) = delete;

    int32_t Read(void* buffer, int32_t count) override;
    // Counts bytes as taken when they enter the buffer; stops early only when a flush
    // of a full buffer is refused by the source.
    int32_t Write(const void* buffer, int32_t count) override;
    // Raises Exception "Invalid seek origin = N" for an origin other than 0, 1, 2 and
    // EStreamError "Seek error" when pending bytes cannot be flushed before a move.
    int64_t Seek(int64_t offset, uint16_t origin) override;

    // Steps back one byte of the current read buffer and stores ch there, so the next
    // Read returns ch. Raises EStreamError "PutBack overflow" when nothing was taken
    // from the current buffer.
    void PutBack(char ch);
    // Reads the next buffer from the source; false at its end.
    bool Refill();
    // Writes pending bytes to the source; false when it took fewer. The buffered
    // bytes are dropped either way. Does nothing (and returns true) unless writing.
    bool Flush();
    // Logical position minus the source's position: minus the read-ahead bytes not yet
    // used while reading, the pending bytes while writing, else 0.
    int32_t BufferedOffset() const;

    TBufferMode Mode() const { return mode_; }
    int32_t Capacity() const { return capacity_; }
    TStream& Source() const { return source_; }

    std::function<void(TS_BufferStream& sender)> OnRefill;
    std::function<void(TS_BufferStream& sender)> OnFlush;

protected:
    virtual void DoRefill();
    virtual void DoFlush();

private:
    static constexpr int32_t kNone = -1;

    TStream& source_;
    int32_t capacity_;
    std::vector<char> buffer_;
    int32_t cursor_ = kNone; // index into buffer_, kNone after construction and every move
    int32_t limit_;
    TBufferMode mode_ = TBufferMode::Idle;
};

} // namespace kelvo
