// What a call raised, as text, so that a table of cases can compare failures with EXPECT_EQ.
#pragma once

#include <string>

namespace kelvo::test {

// Runs `call` and returns the message of the exception of type E it raised ("" when none;
// an exception of another type passes through).
template <typename E, typename F>
std::string RaisedBy(F call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

} // namespace kelvo::test
