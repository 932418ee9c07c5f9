// The TLS layer's fixed failure texts, in one place: callers and users see them as they stand.
#pragma once

#include <string>

namespace kelvo::tls_text {

// Raised by the socket client around the handshake.
inline constexpr const char* kHandshakeAborted = "TLS handshake aborted";
inline constexpr const char* kHandshakeTimedOut = "TLS handshake timed out";
inline constexpr const char* kHandshakeFailed = "TLS handshake failed: ";
inline constexpr const char* kHandshakeClosed = "TLS handshake failed: the server closed the connection";
inline constexpr const char* kAlreadySecured = "The connection is already secured";

// Setting up a session; followed by what could not be set up.
inline constexpr const char* kSetupFailed = "TLS set-up failed: ";
inline constexpr const char* kNoServerName = "TLS set-up failed: no server name to verify the certificate against";
inline constexpr const char* kNoContext = "no context";
inline constexpr const char* kTrustUnreadable = "the trusted certificates cannot be read";
inline constexpr const char* kSetupOutOfMemory = "out of memory";
inline constexpr const char* kBadServerAddress = "bad server address";
inline constexpr const char* kBadServerName = "bad server name";

// A session that failed; the first two are followed by the reason.
inline constexpr const char* kVerificationFailed = "Certificate verification failed: ";
inline constexpr const char* kFailed = "TLS failed: ";
inline constexpr const char* kEndedUnexpectedly = "TLS failed: the connection ended unexpectedly";
inline constexpr const char* kOutOfMemory = "TLS failed: out of memory";
inline std::string FailedWithError(int sslError) { return "TLS failed: error " + std::to_string(sslError); }

// The names users and tests look for; OpenSSL's own wording differs between versions.
inline constexpr const char* kCertificateExpired = "certificate has expired";
inline constexpr const char* kCertificateNotYetValid = "certificate is not yet valid";
inline constexpr const char* kHostNameMismatch = "host name mismatch";
inline constexpr const char* kSelfSigned = "self-signed certificate";

} // namespace kelvo::tls_text
