// Why a PACS request failed: a kind for code to decide by, and the one place of the sentences shown to the user.
#pragma once

#include "platform/exceptions.h"

#include <QString>

#include <cstdint>

namespace kelvo::pacs {

enum class TPacsError : uint8_t {
    None,              // the request succeeded
    InsecurePassword,  // a password over plain http that the caller did not allow; nothing was sent
    BadServer,         // the server's description is unusable (no URL, not http or https)
    HostNotFound,      // the server's name does not resolve
    Refused,           // nothing listens at the server's address and port
    Unreachable,       // the connection broke, or the network is down
    Certificate,       // the server's certificate was refused; nothing was sent
    Unauthorized,      // 401: wrong or missing user and password
    Forbidden,         // 403
    NotFound,          // 404: no such study, series or service path
    ServerError,       // 5xx, or another status the request cannot use
    TimedOut,          // no byte moved for the whole time-out
    Truncated,         // the response ended before its last part did
    TooLarge,          // a part or the response went past what was announced or allowed
    BadResponse,       // the response is not what DICOMweb answers (type, JSON, multipart)
    StoreRejected,     // the server refused some or all of the instances sent
    LocalFile,         // a file to send or a cache entry cannot be read or written
    Canceled,          // the caller canceled
};

// The sentence for a kind. `detail` carries the server's or library's own words (an
// HTTP reason, a certificate problem, a file name), added where the kind has room.
QString PacsErrorText(TPacsError kind, const QString& detail = QString());

// Raised by the parsers; the jobs turn it into their end status.
class EPacsError : public Exception {
public:
    EPacsError(TPacsError kind, const QString& detail)
        : Exception(PacsErrorText(kind, detail).toStdString()), kind_(kind) {}
    TPacsError PacsKind() const { return kind_; }
    QString Text() const { return QString::fromStdString(Message()); }

private:
    TPacsError kind_;
};

} // namespace kelvo::pacs
