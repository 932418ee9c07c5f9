// The exception family that carries Kelvo's fixed failure texts to the windows.
#pragma once

#include <exception>
#include <string>

namespace kelvo {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

private:
    std::string message_;
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
