// TExStringList and NthWord: finding header lines by name and picking fields out of delimited text.
#include "net/header_list.h"

#include <algorithm>

namespace kelvo {

namespace {

// Sets name to the text before the first ':'; false for a line without one.
bool NamePart(const std::string& line, std::string& name) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) return false;
    name = line.substr(0, colon);
    return true;
}

} // namespace

int32_t TExStringList::IndexOfHeader(const std::string& name) const {
    if (!Sorted()) {
        std::string part;
        for (int32_t i = 0; i < Count(); ++i)
            if (NamePart(items_[static_cast<size_t>(i)], part) && CompareText(part, name) == 0) return i;
        return -1;
    }
    // A sorted list is ordered by whole lines, not by name parts: "X-Mailer: a" sorts
    // before "X: b" because '-' < ':', so a bisection over name parts can step past
    // the line it looks for. Every line named `name` begins with name + ":", and in
    // whole-line order those lines form one run starting at the first line not below
    // that prefix.
    if (name.find(':') != std::string::npos) return -1; // no name part holds a ':'
    const std::string prefix = name + ":";
    const auto it = std::lower_bound(items_.begin(), items_.end(), prefix,
                                     [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
    if (it == items_.end() || it->size() < prefix.size()) return -1;
    if (CompareText(it->substr(0, prefix.size()), prefix) != 0) return -1;
    return static_cast<int32_t>(it - items_.begin());
}

void TExStringList::SetValue(const std::string& name, const std::string& value) {
    int32_t i = IndexOfHeader(name);
    if (value.empty()) {
        if (i >= 0) Delete(i);
        return;
    }
    const std::string line = name + ": " + value;
    if (Sorted()) {
        // A sorted list refuses Put; the new line has to find its own place.
        if (i >= 0) Delete(i);
        Add(line);
        return;
    }
    if (i < 0) i = Add("");
    Put(i, line);
}

std::string NthWord(const std::string& text, char delimiter, int32_t n) {
    // No field has a number below 1; n - 1 below would also overflow for INT32_MIN.
    if (n <= 0) return {};
    std::string field;
    int32_t count = 0;
    for (const char c : text) {
        if (c == delimiter)
            ++count;
        else if (count == n - 1)
            field += c;
        if (count == n) break;
    }
    return field;
}

} // namespace kelvo
