// An ordered list of byte strings whose whole text can be read and set with line breaks.
#pragma once

#include <string>
#include <vector>

namespace kelvo {

// Subclasses may override Get/Put/Add; every other operation goes through them or
// through the protected storage. A sorted list keeps its entries in order on Add
// and refuses Put and Insert (EStringListError text as below).
class TStringList {
public:
    TStringList() = default;
    virtual ~TStringList() = default;
    TStringList(const TStringList&) = default;
    TStringList& operator=(const TStringList&) = default;

    int Count() const { return static_cast<int>(items_.size()); }
    virtual std::string Get(int index) const;
    virtual void Put(int index, const std::string& s);
    // Returns the index where s was placed.
    virtual int Add(const std::string& s);
    void Insert(int index, const std::string& s);
    void Delete(int index);
    void Clear() { items_.clear(); }
    int IndexOf(const std::string& s) const;

    bool Sorted() const { return sorted_; }
    void SetSorted(bool value);
    void Sort();

    // Every entry followed by CR LF.
    std::string Text() const;
    // Splits at CR LF, LF or a lone CR; a final line break does not add an empty entry.
    void SetText(const std::string& text);
    void Assign(const TStringList& other) { items_ = other.items_; }

    const std::vector<std::string>& Items() const { return items_; }
    std::string operator[](int index) const { return Get(index); }

protected:
    std::vector<std::string> items_;
    bool sorted_ = false;

    void CheckIndex(int index, int limit) const;
};

// Case-insensitive byte-string comparison used by sorted lists and header look-ups.
int CompareText(const std::string& a, const std::string& b);

} // namespace kelvo
