#include "platform/scope_exit.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace kelvo;

namespace {

// Leaves its scope by return, by its own exception, or with an action that throws.
int Leave(std::vector<std::string>& log, const std::string& how) {
    const ScopeExit guard([&] {
        log.push_back("cleanup after " + how);
        if (how == "throwing cleanup") {
            throw std::runtime_error("from the cleanup");
        }
    });
    if (how == "exception") {
        throw std::runtime_error("from the scope");
    }
    return 7;
}

} // namespace

TEST(ScopeExit, RunsOnEveryWayOutAndLetsTheScopesOwnOutcomeStand) {
    std::vector<std::string> log;
    EXPECT_EQ(Leave(log, "return"), 7);
    try {
        Leave(log, "exception");
        ADD_FAILURE() << "the scope's exception was lost";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "from the scope");
    }
    EXPECT_EQ(Leave(log, "throwing cleanup"), 7) << "a throwing cleanup must not replace the result";
    const std::vector<std::string> expected = {"cleanup after return", "cleanup after exception",
                                               "cleanup after throwing cleanup"};
    EXPECT_EQ(log, expected);
}
