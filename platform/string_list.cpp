// The string list: indexed and sorted access, and its text split at CR, LF or CR LF and joined with CR LF.
#include "platform/string_list.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cctype>

namespace kelvo {

int CompareText(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

void TStringList::CheckIndex(int index, int limit) const {
    if (index < 0 || index >= limit) throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

std::string TStringList::Get(int index) const {
    CheckIndex(index, Count());
    return items_[static_cast<size_t>(index)];
}

void TStringList::Put(int index, const std::string& s) {
    if (sorted_) throw Exception("Operation not allowed on sorted list");
    CheckIndex(index, Count());
    items_[static_cast<size_t>(index)] = s;
}

int TStringList::Add(const std::string& s) {
    if (!sorted_) {
        items_.push_back(s);
        return Count() - 1;
    }
    auto it = std::upper_bound(items_.begin(), items_.end(), s,
                               [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
    it = items_.insert(it, s);
    return static_cast<int>(it - items_.begin());
}

void TStringList::Insert(int index, const std::string& s) {
    if (sorted_) throw Exception("Operation not allowed on sorted list");
    CheckIndex(index, Count() + 1);
    items_.insert(items_.begin() + index, s);
}

void TStringList::Delete(int index) {
    CheckIndex(index, Count());
    items_.erase(items_.begin() + index);
}

int TStringList::IndexOf(const std::string& s) const {
    for (int i = 0; i < Count(); ++i)
        if (CompareText(items_[static_cast<size_t>(i)], s) == 0) return i;
    return -1;
}

void TStringList::SetSorted(bool value) {
    if (value && !sorted_) Sort();
    sorted_ = value;
}

void TStringList::Sort() {
    std::stable_sort(items_.begin(), items_.end(),
                     [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
}

std::string TStringList::Text() const {
    std::string out;
    for (const auto& s : items_) {
        out += s;
        out += "\r\n";
    }
    return out;
}

void TStringList::SetText(const std::string& text) {
    items_.clear();
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            items_.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) items_.push_back(line);
    if (sorted_) Sort();
}

} // namespace kelvo
