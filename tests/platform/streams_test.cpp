#include "platform/exceptions.h"
#include "platform/streams.h"
#include "platform/string_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

using namespace kelvo;

TEST(MemoryStream, WritesReadsAndSeeksLikeAFile) {
    TMemoryStream m;
    m.WriteString("hello world");
    EXPECT_EQ(m.Size(), 11);
    EXPECT_EQ(m.Position(), 11);
    m.SetPosition(6);
    char buf[16] = {};
    EXPECT_EQ(m.Read(buf, 16), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(m.Read(buf, 1), 0);
    m.Seek(-5, 2);
    m.WriteString("there");
    EXPECT_EQ(m.DataString(), "hello there");
    EXPECT_THROW(m.Seek(0, 3), Exception);
    EXPECT_THROW(m.ReadBuffer(buf, 1), EStreamError);
}

TEST(FileStream, RoundTripsEveryByteValueAndReportsMissingFiles) {
    const auto path = std::filesystem::temp_directory_path() / ("kelvo_fs_" + std::to_string(::getpid()));
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    {
        TFileStream f(path.string(), TFileStream::fmCreate);
        f.WriteString(all);
    }
    TMemoryStream m;
    m.LoadFromFile(path.string());
    EXPECT_EQ(m.DataString(), all);
    std::filesystem::remove(path);
    try {
        TFileStream missing(path.string(), TFileStream::fmOpenRead);
        FAIL() << "opened a missing file";
    } catch (const EStreamError& e) {
        EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos);
    }
}

TEST(StreamCopy, CopyFromWithZeroCopiesAllFromTheStart) {
    TMemoryStream src;
    src.WriteString(std::string(200000, 'x') + "end");
    TMemoryStream dst;
    EXPECT_EQ(dst.CopyFrom(src, 0), 200003);
    EXPECT_EQ(dst.DataString(), src.DataString());
}

TEST(StringList, TextUsesCrLfAndSplitsEveryKindOfLineBreak) {
    TStringList l;
    l.SetText("a\r\nb\nc\rd\r\n");
    ASSERT_EQ(l.Count(), 4);
    EXPECT_EQ(l[2], "c");
    EXPECT_EQ(l.Text(), "a\r\nb\r\nc\r\nd\r\n");
    l.SetText("x\n\ny");
    EXPECT_EQ(l.Count(), 3);
    EXPECT_EQ(l[1], "");
}

TEST(StringList, SortedListInsertsInOrderAndRefusesPut) {
    TStringList l;
    l.SetSorted(true);
    l.Add("b");
    l.Add("C");
    l.Add("a");
    EXPECT_EQ(l.Text(), "a\r\nb\r\nC\r\n");
    EXPECT_THROW(l.Put(0, "z"), Exception);
    EXPECT_THROW(l.Get(3), Exception);
    EXPECT_EQ(l.IndexOf("c"), 2);
}
