// Encodings that keep message text within RFC 5322 and MIME limits: quoted-printable
// lines, RFC 2047 encoded words, quoted and RFC 2231 parameters.
#pragma once

#include <string>

namespace kelvo {

// Longest text line SMTP carries, without its CR LF (RFC 5321 §4.5.3.1.6).
inline constexpr size_t MaxTextLineLength = 998;

// True when every byte is US-ASCII and none is NUL: such text may go out as 7bit.
bool IsSevenBitClean(const std::string& text);

// One line of text (no line breaks inside) as quoted-printable (RFC 2045 §6.7):
// output lines of at most 76 characters joined by soft breaks, each ending in CR LF.
// A '.' that would start an output line is written as "=2E", so no output line
// needs dot-stuffing.
std::string QuotedPrintableLine(const std::string& line);

// RFC 2047 "B" encoded words for text in charset, separated by single spaces, each
// at most 75 characters. UTF-8 text is cut only between characters (§5).
std::string EncodedWords(const std::string& text, const std::string& charset);

// A MIME parameter value in double quotes, with '"' and '\' escaped (RFC 2045 §5.1,
// RFC 5322 quoted-pair).
std::string QuotedParameterValue(const std::string& value);

// name="value", or name*=utf-8''%XX.. (RFC 2231) when the value is not US-ASCII.
std::string MimeParameter(const std::string& name, const std::string& value);

// Base64 (RFC 4648 §4), in one allocation of the final size.
std::string Base64(const std::string& bytes);

} // namespace kelvo
