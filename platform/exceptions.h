// The exception family that carries Kelvo's fixed failure texts to the windows.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kelvo {

// What went wrong, for code that must react to one cause and not another. The text is
// for people; decisions go by the kind, which stays put when a text is reworded.
enum class ErrorKind : uint8_t {
    Other,
    HostLookupTimedOut,
    HostLookupCanceled,
    HostNameTooLong,
};

class Exception : public std::exception {
public:
    explicit Exception(std::string message, ErrorKind kind = ErrorKind::Other)
        : message_(std::move(message)), kind_(kind) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    ErrorKind Kind() const noexcept { return kind_; }

private:
    std::string message_;
    ErrorKind kind_;
};

// Socket failures: connection, lookup, send and receive errors.
class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A send or line read ended by a cancel or a time-out.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

} // namespace kelvo
