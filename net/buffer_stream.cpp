// TS_BufferStream: filling and flushing the 32768-byte buffer in front of the wrapped stream.
#include "net/buffer_stream.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cstring>

namespace kelvo {

TS_BufferStream::TS_BufferStream(TStream& source)
    : source_(source), capacity_(BufferStreamCapacity), buffer_(static_cast<size_t>(BufferStreamCapacity)),
      limit_(BufferStreamCapacity) {}

TS_BufferStream::~TS_BufferStream() {
    // A destructor must not throw; a failing source loses the pending bytes, as a
    // short flush would.
    try {
        if (mode_ == TBufferMode::Writing) Flush();
    } catch (...) {}
}

bool TS_BufferStream::Refill() {
    // Pending bytes would be overwritten by the read; they belong to the source first.
    if (mode_ == TBufferMode::Writing) Flush();
    const int32_t n = source_.Read(buffer_.data(), capacity_);
    cursor_ = 0;
    limit_ = std::max<int32_t>(n, 0);
    mode_ = n > 0 ? TBufferMode::Reading : TBufferMode::Idle;
    DoRefill();
    return n > 0;
}

bool TS_BufferStream::Flush() {
    // Outside writing the buffer holds read-ahead (or nothing); writing that back would
    // put bytes the caller never wrote into the source.
    if (mode_ != TBufferMode::Writing) return true;
    const int32_t count = cursor_;
    // Reset first so that a source that raises leaves no bytes to be flushed twice.
    cursor_ = 0;
    limit_ = capacity_;
    mode_ = TBufferMode::Idle;
    const int32_t written = source_.Write(buffer_.data(), count);
    DoFlush();
    return written == count;
}

int32_t TS_BufferStream::BufferedOffset() const {
    switch (mode_) {
    case TBufferMode::Reading:
        return cursor_ - limit_;
    case TBufferMode::Writing:
        return cursor_;
    case TBufferMode::Idle:
        break;
    }
    return 0;
}

int32_t TS_BufferStream::Read(void* buffer, int32_t count) {
    if (mode_ == TBufferMode::Writing) Flush();
    // Outside reading the buffer holds nothing readable (a flushed write buffer still
    // has its old bytes), so start from an empty one.
    if (mode_ != TBufferMode::Reading) {
        cursor_ = 0;
        limit_ = 0;
    }
    auto* dest = static_cast<char*>(buffer);
    int32_t total = 0;
    while (count > 0) {
        if (cursor_ == limit_ && !Refill()) break;
        const int32_t n = std::min(limit_ - cursor_, count);
        std::memcpy(dest, buffer_.data() + cursor_, static_cast<size_t>(n));
        cursor_ += n;
        dest += n;
        count -= n;
        total += n;
    }
    return total;
}

int32_t TS_BufferStream::Write(const void* buffer, int32_t count) {
    if (mode_ == TBufferMode::Reading) {
        // The source is ahead by the unread bytes; writing starts at the logical position.
        const int64_t logical = source_.Position() + BufferedOffset();
        source_.Seek(logical, SeekOrigin::Beginning);
        mode_ = TBufferMode::Idle;
    }
    if (mode_ == TBufferMode::Idle) {
        // Also after a read that hit the end (limit at the buffer start): without a full
        // limit the loop below would never take a byte.
        cursor_ = 0;
        limit_ = capacity_;
    }
    const auto* src = static_cast<const char*>(buffer);
    int32_t total = 0;
    while (count > 0) {
        const int32_t n = std::min(limit_ - cursor_, count);
        std::memcpy(buffer_.data() + cursor_, src, static_cast<size_t>(n));
        cursor_ += n;
        src += n;
        count -= n;
        total += n;
        mode_ = TBufferMode::Writing;
        if (cursor_ == limit_ && !Flush()) break;
    }
    return total;
}

int64_t TS_BufferStream::Seek(int64_t offset, uint16_t origin) {
    const int64_t current = source_.Position() + BufferedOffset();
    int64_t target = 0;
    switch (static_cast<SeekOrigin>(origin)) {
    case SeekOrigin::Beginning:
        target = offset;
        break;
    case SeekOrigin::Current:
        target = current + offset;
        break;
    case SeekOrigin::End: {
        int64_t end = source_.Size();
        if (mode_ == TBufferMode::Writing) end = std::max(end, source_.Position() + cursor_);
        target = end - offset;
        break;
    }
    default:
        throw Exception("Invalid seek origin = " + std::to_string(origin));
    }
    if (target == current) return target;
    if (mode_ == TBufferMode::Writing && !Flush()) throw EStreamError("Seek error");
    const int64_t result = source_.Seek(target, SeekOrigin::Beginning);
    cursor_ = kNone;
    mode_ = TBufferMode::Idle;
    return result;
}

void TS_BufferStream::PutBack(char ch) {
    if (mode_ != TBufferMode::Reading || cursor_ == kNone || cursor_ == 0) throw EStreamError("PutBack overflow");
    --cursor_;
    buffer_[static_cast<size_t>(cursor_)] = ch;
}

void TS_BufferStream::DoRefill() {
    if (OnRefill) OnRefill(*this);
}

void TS_BufferStream::DoFlush() {
    if (OnFlush) OnFlush(*this);
}

} // namespace kelvo
