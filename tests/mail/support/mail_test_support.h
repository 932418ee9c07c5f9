// Helpers shared by the mail tests: the message as the SMTP session puts it on the
// wire, temporary files, and running checks in Debian's own Python.
#pragma once

#include "mail/composer.h"

#include <QJsonObject>

#include <string>
#include <vector>

namespace kelvo::test {

// The DATA section as the SMTP session sends it: every header line with CR LF, two
// more CR LF, the body, and the end-of-data line.
std::string WireData(TMailComposer& composer);
// What an SMTP server stores from DATA: up to the first line "." alone, with the
// first dot of every dot-stuffed line removed (RFC 5321 §4.5.2).
std::string ReceivedMessage(const std::string& wire);

// A fresh directory for one test, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    // Writes bytes to Path()/name and returns the full path.
    std::string File(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
std::string AllByteValues();
std::string RandomBytes(size_t n, uint32_t seed);

struct PythonRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};
// Runs /usr/bin/python3 with the script text and arguments.
PythonRun RunPython(const std::string& script, const std::vector<std::string>& args);

// Parses a received message with Python's email package (policy.default) and returns
// what it read: "defects" (of the message, its parts and every header), "headers" (decoded), "from_name", "from_addr",
// "content_type", "to"/"cc"/"reply_to" ([name, address] pairs), "date_age" (seconds),
// "date_offset" and "local_offset" (seconds east of UTC), "parts" (each: "content_type", "charset", "cte", "filename",
// "text" for text parts, "data_hex" for the decoded bytes of the others).
QJsonObject ParseWithPython(const std::string& message, const TempDir& dir);

std::string FromHex(const std::string& hex);

} // namespace kelvo::test
