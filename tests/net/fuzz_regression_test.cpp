// Inputs the fuzz targets found faulty, kept as tests of the normal builds (the
// sanitizer build turns undefined behaviour into a failure).
#include "net/header_list.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using namespace kelvo;

TEST(FuzzRegression, NthWordWithTheLowestFieldNumberIsEmptyWithoutOverflow) {
    // n - 1 overflowed for INT32_MIN.
    struct Row { const char* text; int32_t n; };
    for (const Row& r : {Row{"a:b", INT32_MIN}, Row{"", INT32_MIN}, Row{"a:b", INT32_MIN + 1}, Row{"a:b", 0},
                         Row{"a:b", -1}, Row{"a:b", INT32_MAX}})
        EXPECT_EQ(NthWord(r.text, ':', r.n), "") << r.text << " " << r.n;
}
