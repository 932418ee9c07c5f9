// TReply: reading the code off a reply line and telling a continued reply from a finished one.
#include "net/reply.h"

#include <climits>

namespace kelvo {

int16_t TReply::CodeOf(const std::string& line) {
    size_t digits = 0;
    while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9') ++digits;
    if (digits == 0) return 0;
    const long long value = std::stoll(line.substr(0, digits));
    // A number that does not fit the reply code is no reply code at all.
    return value <= INT16_MAX ? static_cast<int16_t>(value) : 0;
}

bool TReply::Continues(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

void TReply::TakeCode() { code_ = lines_.empty() ? 0 : CodeOf(lines_.front()); }

const std::string& TReply::last() const {
    static const std::string none;
    return lines_.empty() ? none : lines_.back();
}

} // namespace kelvo
