// Header lines ("Name: value") kept in a string list, found, replaced and removed by
// name; and NthWord, which picks one field out of a delimited text.
#pragma once

#include "platform/string_list.h"

#include <cstdint>
#include <string>

namespace kelvo {

// A string list whose entries are header lines without line ends. A line's name is
// everything before its first ':' (not trimmed, so "Date : x" has the name "Date ").
// Names compare without regard to case.
class TExStringList : public TStringList {
public:
    // Index of the first line named name, or -1. Linear on an unsorted list; a
    // binary search on a sorted one.
    int32_t IndexOfHeader(const std::string& name) const;
    // Writes "name: value" in place of the line named name (or appends it); an
    // empty value removes that line instead. A sorted list stays sorted.
    void SetValue(const std::string& name, const std::string& value);
};

// Field n (counted from 1) of text split at delimiter; empty when there are fewer
// fields or n <= 0. The delimiter never appears in the result.
std::string NthWord(const std::string& text, char delimiter, int32_t n);

} // namespace kelvo
