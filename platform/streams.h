// Seekable byte streams: the abstract TStream with an in-memory and a file variant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {

enum class SeekOrigin : uint16_t { Beginning = 0, Current = 1, End = 2 };

// Subclasses override Read, Write, Seek and SetSize. Position and Size are built
// on Seek alone (Size: remember the position, seek to the end, seek back), so a
// subclass that buffers sees exactly those calls.
class TStream {
public:
    virtual ~TStream() = default;

    // Return the number of bytes moved; short only at the end (Read) or on a
    // refused write. Errors of the medium raise EStreamError.
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    // Origin 0 from the start, 1 from the current position, 2 from the end (the values
    // of SeekOrigin); any other origin raises Exception.
    virtual int64_t Seek(int64_t offset, uint16_t origin) = 0;
    int64_t Seek(int64_t offset, SeekOrigin origin) { return Seek(offset, uint16_t(origin)); }
    virtual void SetSize(int64_t newSize);

    int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(int64_t pos) { Seek(pos, SeekOrigin::Beginning); }
    int64_t Size();

    // Raise EStreamError "Stream read error" / "Stream write error" when short.
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count);
    void WriteString(const std::string& s);
    // Copies count bytes from source's position; count 0 copies all of source
    // from its start. Returns the bytes copied.
    int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
public:
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    using TStream::Seek;
    int64_t Seek(int64_t offset, uint16_t origin) override;
    void SetSize(int64_t newSize) override;

    void Clear();
    const char* Memory() const { return data_.data(); }
    std::string DataString() const { return std::string(data_.data(), data_.size()); }
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;

private:
    std::vector<char> data_;
    int64_t pos_ = 0;
};

class TFileStream : public TStream {
public:
    enum Mode { fmOpenRead, fmOpenWrite, fmOpenReadWrite, fmCreate };
    // Raises EStreamError "Cannot open file \"<path>\". <reason>" when it cannot.
    TFileStream(const std::string& path, Mode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    using TStream::Seek;
    int64_t Seek(int64_t offset, uint16_t origin) override;
    void SetSize(int64_t newSize) override;
    const std::string& FileName() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

} // namespace kelvo
