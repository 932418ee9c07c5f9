// The SMTP session's fixed failure and status texts, in one place: callers and users see them as they stand.
#pragma once

#include <string>

namespace kelvo::smtp_text {

inline constexpr const char* kClosedByServer = "Connection closed by the server";
inline constexpr const char* kClosedWhileIdle = "Connection closed by the server while idle";
inline constexpr const char* kAuthenticationFailed = "Authentication failed";
inline constexpr const char* kIncompleteHeader = "Incomplete Header";
inline constexpr const char* kNulInHeader = "NUL in the header: the message is not sent";
inline constexpr const char* kNoStartTls = "The server does not offer STARTTLS: nothing was sent in clear";
inline constexpr const char* kSignInNeedsTls = "Signing in needs an encrypted connection: the password was not sent";
inline constexpr const char* kNoUsableAuth = "The server offers no usable sign-in method (AUTH PLAIN or AUTH LOGIN)";
inline constexpr const char* kNulInCredentials = "The user name or the password contains a NUL character";
// Followed by the server's own reply line.
inline constexpr const char* kEhloRefused = "The server refused EHLO: ";
inline constexpr const char* kStartTlsRefused = "The server refused STARTTLS: ";
inline constexpr const char* kSignInRefused = "Sign-in refused: ";

inline std::string ReplyTooLong(int lines) { return "Reply longer than " + std::to_string(lines) + " lines"; }

// An address with 8-bit characters for a server without SMTPUTF8 (RFC 6531).
inline std::string AddressNeedsSmtpUtf8(const std::string& address) {
    return "The address " + address + " has characters that this server does not accept (it does not offer SMTPUTF8).";
}

// A value that would break the command line it goes into.
inline std::string RefusedInCommand(const std::string& what, const std::string& command) {
    return "CR, LF or NUL in " + what + ": " + command + " is not sent";
}

} // namespace kelvo::smtp_text
