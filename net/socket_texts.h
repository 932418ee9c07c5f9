// The socket client's fixed failure texts, in one place: callers and users see them as they stand.
#pragma once

namespace kelvo::socket_text {

inline constexpr const char* kInitializationFailed = "Initializaton of windows sockets failed";
inline constexpr const char* kNoSocketAvailable = "No socket available: ";
inline constexpr const char* kHostLookupTimedOut = "Host Lookup Timed Out";
inline constexpr const char* kHostLookupCanceled = "Host Lookup Canceled";
inline constexpr const char* kHostLookupFailed = "Host Lookup Failed";
inline constexpr const char* kHostTooLong = "Host name too long";
inline constexpr const char* kAlreadyConnected = "Already connected";
inline constexpr const char* kNullRemoteAddress = "Null Remote Address";
inline constexpr const char* kConnectionTimedOut = "Connection Timed out";
inline constexpr const char* kConnectionCanceled = "Connection Canceled";
inline constexpr const char* kConnectionFailed = "Connection Failed";
inline constexpr const char* kSendAborted = "Socket send aborted";
inline constexpr const char* kReadAborted = "Socket readln aborted";
inline constexpr const char* kLineTooLong = "Line too long";
inline constexpr const char* kNotConnected = "Not Connected";
inline constexpr const char* kAcceptingCanceled = "Accepting Canceled";
inline constexpr const char* kDataConnectionFailed = "Error creating Data Connection";
inline constexpr const char* kUnknownError = "Unknown Error No. ";

} // namespace kelvo::socket_text
