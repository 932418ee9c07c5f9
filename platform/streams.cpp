// Memory and file streams, and the size, copy and whole-buffer operations built on Read, Write and Seek.
#include "platform/streams.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kelvo {

void TStream::SetSize(int64_t) { throw EStreamError("Stream cannot change its size"); }

int64_t TStream::Size() {
    const int64_t pos = Seek(0, SeekOrigin::Current);
    const int64_t end = Seek(0, SeekOrigin::End);
    Seek(pos, SeekOrigin::Beginning);
    return end;
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

void TStream::WriteString(const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        const auto chunk = static_cast<int32_t>(std::min<size_t>(s.size() - done, 1 << 30));
        WriteBuffer(s.data() + done, chunk);
        done += static_cast<size_t>(chunk);
    }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    constexpr int32_t kChunk = 1 << 16;
    std::vector<char> buf(kChunk);
    const int64_t total = count;
    while (count > 0) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(count, kChunk));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        count -= n;
    }
    return total;
}

// --- TMemoryStream ---

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    const auto size = static_cast<int64_t>(data_.size());
    if (count <= 0 || pos_ >= size) return 0;
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, size - pos_));
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const auto end = static_cast<size_t>(pos_) + static_cast<size_t>(count);
    if (end > data_.size()) data_.resize(end);
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ = static_cast<int64_t>(end);
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, uint16_t origin) {
    switch (origin) {
    case uint16_t(SeekOrigin::Beginning):
        pos_ = offset;
        break;
    case uint16_t(SeekOrigin::Current):
        pos_ += offset;
        break;
    case uint16_t(SeekOrigin::End):
        pos_ = static_cast<int64_t>(data_.size()) + offset;
        break;
    default:
        throw Exception("Invalid seek origin = " + std::to_string(origin));
    }
    if (pos_ < 0) pos_ = 0;
    return pos_;
}

void TMemoryStream::SetSize(int64_t newSize) {
    data_.resize(static_cast<size_t>(std::max<int64_t>(newSize, 0)));
    pos_ = std::min(pos_, static_cast<int64_t>(data_.size()));
}

void TMemoryStream::Clear() {
    data_.clear();
    data_.shrink_to_fit();
    pos_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
    TFileStream f(path, TFileStream::fmOpenRead);
    Clear();
    CopyFrom(f, 0);
    pos_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) const {
    TFileStream f(path, TFileStream::fmCreate);
    size_t done = 0;
    while (done < data_.size()) {
        const auto chunk = static_cast<int32_t>(std::min<size_t>(data_.size() - done, 1 << 30));
        f.WriteBuffer(data_.data() + done, chunk);
        done += static_cast<size_t>(chunk);
    }
}

// --- TFileStream ---

TFileStream::TFileStream(const std::string& path, Mode mode) : path_(path) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case fmOpenRead:
        flags |= O_RDONLY;
        break;
    case fmOpenWrite:
        flags |= O_WRONLY;
        break;
    case fmOpenReadWrite:
        flags |= O_RDWR;
        break;
    case fmCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    }
    fd_ = ::open(path.c_str(), flags, 0644);
    if (fd_ < 0) throw EStreamError("Cannot open file \"" + path + "\". " + std::strerror(errno));
}

TFileStream::~TFileStream() {
    if (fd_ >= 0) ::close(fd_);
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
    int32_t total = 0;
    auto* p = static_cast<char*>(buffer);
    while (total < count) {
        const ssize_t n = ::read(fd_, p + total, static_cast<size_t>(count - total));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EStreamError("Stream read error: " + std::string(std::strerror(errno)));
        }
        if (n == 0) break;
        total += static_cast<int32_t>(n);
    }
    return total;
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    int32_t total = 0;
    const auto* p = static_cast<const char*>(buffer);
    while (total < count) {
        const ssize_t n = ::write(fd_, p + total, static_cast<size_t>(count - total));
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        total += static_cast<int32_t>(n);
    }
    return total;
}

int64_t TFileStream::Seek(int64_t offset, uint16_t origin) {
    int whence = SEEK_SET;
    switch (origin) {
    case uint16_t(SeekOrigin::Beginning):
        whence = SEEK_SET;
        break;
    case uint16_t(SeekOrigin::Current):
        whence = SEEK_CUR;
        break;
    case uint16_t(SeekOrigin::End):
        whence = SEEK_END;
        break;
    default:
        throw Exception("Invalid seek origin = " + std::to_string(origin));
    }
    const off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (r < 0) throw EStreamError("Seek error: " + std::string(std::strerror(errno)));
    return static_cast<int64_t>(r);
}

void TFileStream::SetSize(int64_t newSize) {
    if (::ftruncate(fd_, static_cast<off_t>(newSize)) != 0)
        throw EStreamError("Stream cannot change its size: " + std::string(std::strerror(errno)));
}

} // namespace kelvo
