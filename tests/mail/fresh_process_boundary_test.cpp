// Runs alone in its own process: the generator must start from state 0 there.
#include "mail/composer.h"
#include "mail/runtime_random.h"
#include "tests/mail/support/mail_test_support.h"

#include <gtest/gtest.h>

using namespace kelvo;
using namespace kelvo::test;

TEST(FreshProcess, TheFirstMessageWithAttachmentsGetsTheKnownBoundary) {
    EXPECT_EQ(RandSeed(), 0u);
    TempDir dir;
    TMailComposer c;
    c.PostMessage().Attachments().Add(dir.File("a.txt", "a"));
    c.BuildMessage();
    EXPECT_EQ(c.Boundary(), "====================54535aavfgq====");
    EXPECT_EQ(c.FinalHeader()[c.FinalHeader().Count() - 1],
              "Content-Type: multipart/mixed; boundary=\"====================54535aavfgq====\"");
}
