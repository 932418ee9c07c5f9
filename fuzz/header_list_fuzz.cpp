// Fuzzes TExStringList (SetValue, IndexOfHeader, Add, Delete, sorting on and off)
// against a plain vector of lines.
#include "net/header_list.h"
#include "support/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using kelvo::fuzz::FoldCompare;
using kelvo::fuzz::Show;

struct Model {
    std::vector<std::string> lines;
    bool sorted = false;

    static bool Named(const std::string& line, const std::string& name) {
        const auto colon = line.find(':');
        return colon != std::string::npos && FoldCompare(line.substr(0, colon), name) == 0;
    }
    int Count(const std::string& name) const {
        return static_cast<int>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return Named(l, name); }));
    }
    int First(const std::string& name) const {
        for (size_t i = 0; i < lines.size(); ++i)
            if (Named(lines[i], name)) return static_cast<int>(i);
        return -1;
    }
    void Insert(const std::string& line) {
        if (!sorted) {
            lines.push_back(line);
            return;
        }
        auto it = std::upper_bound(lines.begin(), lines.end(), line,
                                   [](const std::string& a, const std::string& b) { return FoldCompare(a, b) < 0; });
        lines.insert(it, line);
    }
    void Sort() {
        std::stable_sort(lines.begin(), lines.end(),
                         [](const std::string& a, const std::string& b) { return FoldCompare(a, b) < 0; });
    }
};

// Header names drawn from a few that collide in letter case, plus arbitrary bytes.
std::string Name(FuzzedDataProvider& in) {
    static const char* const known[] = {"Subject", "subject", "SUBJECT", "To",       "to",  "X",       "X-Mailer",
                                        "Date",    "Date ",   "",        "Reply-To", "A:B", "x-mailer"};
    if (in.ConsumeBool()) return known[in.ConsumeIntegralInRange<size_t>(0, std::size(known) - 1)];
    return in.ConsumeRandomLengthString(12);
}

void CheckSame(const kelvo::TExStringList& list, const Model& model, const char* after) {
    FUZZ_CHECK(list.Items() == model.lines, std::string("lines differ after ") + after + ": " +
                                                std::to_string(list.Count()) + " vs model " +
                                                std::to_string(model.lines.size()));
    if (model.sorted)
        for (size_t i = 1; i < model.lines.size(); ++i)
            FUZZ_CHECK(FoldCompare(model.lines[i - 1], model.lines[i]) <= 0, "sorted list out of order");
}

// A raw line, with or without a name part.
void StepAdd(FuzzedDataProvider& in, kelvo::TExStringList& list, Model& model) {
    const std::string line =
        in.ConsumeBool() ? Name(in) + ": " + in.ConsumeRandomLengthString(8) : in.ConsumeRandomLengthString(16);
    list.Add(line);
    model.Insert(line);
    CheckSame(list, model, "Add");
}

// SetValue, the operation the composer uses: never multiplies a header, and clearing
// removes exactly one.
void StepSetValue(FuzzedDataProvider& in, kelvo::TExStringList& list, Model& model) {
    const std::string name = Name(in);
    const std::string value = in.ConsumeBool() ? std::string() : in.ConsumeRandomLengthString(8);
    const int before = model.Count(name);
    const int at = model.First(name);
    list.SetValue(name, value);
    if (value.empty()) {
        if (at >= 0) model.lines.erase(model.lines.begin() + at);
    } else if (model.sorted || at < 0) {
        if (at >= 0) model.lines.erase(model.lines.begin() + at);
        model.Insert(name + ": " + value);
    } else {
        model.lines[static_cast<size_t>(at)] = name + ": " + value;
    }
    CheckSame(list, model, "SetValue");
    const int after = model.Count(name);
    if (name.find(':') != std::string::npos) return;
    if (value.empty())
        FUZZ_CHECK(after == std::max(before - 1, 0), "SetValue(" + Show(name) + ", \"\")");
    else
        FUZZ_CHECK(after == std::max(before, 1), "SetValue(" + Show(name) + ", value)");
    if (!value.empty() && before == 0) {
        const int i = list.IndexOfHeader(name);
        FUZZ_CHECK(i >= 0 && list.Get(i) == name + ": " + value, "value not found after SetValue " + Show(name));
    }
}

void StepIndexOfHeader(FuzzedDataProvider& in, const kelvo::TExStringList& list, const Model& model) {
    const std::string name = Name(in);
    const int got = list.IndexOfHeader(name);
    const int want = model.First(name);
    FUZZ_CHECK(got == want, "IndexOfHeader(" + Show(name) + ") = " + std::to_string(got) + ", model " +
                                std::to_string(want) + (model.sorted ? " (sorted)" : " (unsorted)"));
}

void StepDelete(FuzzedDataProvider& in, kelvo::TExStringList& list, Model& model) {
    if (model.lines.empty()) return;
    const int i = in.ConsumeIntegralInRange<int>(0, static_cast<int>(model.lines.size()) - 1);
    list.Delete(i);
    model.lines.erase(model.lines.begin() + i);
    CheckSame(list, model, "Delete");
}

// Sorting on or off.
void StepSort(FuzzedDataProvider& in, kelvo::TExStringList& list, Model& model) {
    const bool on = in.ConsumeBool();
    list.SetSorted(on);
    if (on && !model.sorted) model.Sort();
    model.sorted = on;
    CheckSame(list, model, "SetSorted");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    kelvo::TExStringList list;
    Model model;
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
            StepAdd(in, list, model);
            break;
        case 1:
        // clang-format off
        case 2: StepSetValue(in, list, model); break;
        case 3: StepIndexOfHeader(in, list, model); break;
        case 4: StepDelete(in, list, model); break;
        case 5: StepSort(in, list, model); break;
            // clang-format on
        }
    }
    return 0;
}
