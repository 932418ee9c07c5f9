#include "net/header_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kelvo;

namespace {

TExStringList Lines(const std::vector<std::string>& lines, bool sorted = false) {
    TExStringList l;
    for (const auto& s : lines) l.Add(s);
    l.SetSorted(sorted);
    return l;
}

} // namespace

TEST(HeaderList, IndexOfHeaderMatchesTheNameBeforeTheFirstColonIgnoringCase) {
    const TExStringList l = Lines({"no colon here", "Date : x", "X-Mailer: a:b", "subject: old", "Subject: second"});
    // clang-format off
    struct Row { const char* name; int32_t index; };
    for (const Row& r : std::vector<Row>{
             {"Subject", 3}, {"SUBJECT", 3}, {"x-mailer", 2}, {"Date", -1}, {"Date ", 1},
             {"no colon here", -1}, {"", -1}, {"X-Mailer: a", -1}, {"Missing", -1}})
        // clang-format on
        EXPECT_EQ(l.IndexOfHeader(r.name), r.index) << r.name;
}

TEST(HeaderList, SortedListFindsEveryHeaderEvenWhenNamesArePrefixes) {
    // Whole-line order puts "X-Mailer: .." before "X: .." ('-' sorts before ':').
    const TExStringList l = Lines({"X: 1", "X-Mailer: 2", "Date: 3", "To: 4", "A", "Cc: 5", "Subject: 6"}, true);
    ASSERT_TRUE(l.Sorted());
    for (int32_t i = 0; i < l.Count(); ++i) {
        const std::string line = l[i];
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        EXPECT_EQ(l.IndexOfHeader(line.substr(0, colon)), i) << line;
    }
    EXPECT_EQ(l.IndexOfHeader("x"), l.IndexOf("X: 1"));
    EXPECT_EQ(l.IndexOfHeader("A"), -1);
    EXPECT_EQ(l.IndexOfHeader("Zzz"), -1);
    EXPECT_EQ(l.IndexOfHeader("B"), -1);
    EXPECT_EQ(Lines({}, true).IndexOfHeader("X"), -1);
}

TEST(HeaderList, SetValueReplacesInPlaceAppendsAndRemoves) {
    TExStringList l = Lines({"From: <a@b>", "subject: old", "Mime-Version: 1.0"});
    l.SetValue("Subject", "Hi");
    EXPECT_EQ(l.Text(), "From: <a@b>\r\nSubject: Hi\r\nMime-Version: 1.0\r\n");
    l.SetValue("X-Mailer", "K");
    EXPECT_EQ(l[3], "X-Mailer: K");
    l.SetValue("Subject", "");
    EXPECT_EQ(l.Text(), "From: <a@b>\r\nMime-Version: 1.0\r\nX-Mailer: K\r\n");
    l.SetValue("Reply-To", "");
    EXPECT_EQ(l.Count(), 3);
}

TEST(HeaderList, SetValueOnASortedListKeepsItSorted) {
    TExStringList l = Lines({"To: x", "Date: d", "Subject: s"}, true);
    l.SetValue("subject", "new");
    l.SetValue("Cc", "y");
    EXPECT_EQ(l.Text(), "Cc: y\r\nDate: d\r\nsubject: new\r\nTo: x\r\n");
    l.SetValue("DATE", "");
    EXPECT_EQ(l.Text(), "Cc: y\r\nsubject: new\r\nTo: x\r\n");
    EXPECT_EQ(l.IndexOfHeader("To"), 2);
}

TEST(NthWord, PicksNumberedFieldsWithoutDelimiters) {
    // clang-format off
    struct Row { const char* text; char delim; int32_t n; const char* want; };
    for (const Row& r : std::vector<Row>{
             {"a:b:c", ':', 1, "a"}, {"a:b:c", ':', 2, "b"}, {"a:b:c", ':', 3, "c"}, {"a:b:c", ':', 4, ""},
             {"abc", ':', 1, "abc"}, {"abc", ':', 2, ""}, {"abc", ':', 0, ""}, {"abc", ':', -1, ""},
             {"", ':', 1, ""}, {"::x", ':', 3, "x"}, {"::x", ':', 2, ""},
             {"Joe <joe@x.org>", '<', 2, "joe@x.org>"}})
        // clang-format on
        EXPECT_EQ(NthWord(r.text, r.delim, r.n), r.want) << r.text << " " << r.n;
    // The mailbox of a display-name entry, as the SMTP session extracts it.
    EXPECT_EQ(NthWord(NthWord("Joe <joe@x.org>", '<', 2), '>', 1), "joe@x.org");
}
