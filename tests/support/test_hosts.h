// The test programs' name service: a table the test controls instead of the machine's resolver.
#pragma once

#include "platform/winsock.h"

#include <string>
#include <vector>

namespace kelvo::test {

// The names every test program knows, as the program's own table format
// ("name=a.b.c.d;..."); the end-to-end scripts hand the same names to the program.
extern const char* const kTestHosts;

struct FakeName {
    std::string name;
    winsock::HostLookup answer;
    int delayMs = 0; // the worker thread sleeps this long before answering
};

// While it lives, lookups answer from `names`; any other name is "host not found".
// Outside every scope no test program asks the machine either: the names of
// kTestHosts resolve, and only they.
class ResolverScope {
public:
    explicit ResolverScope(std::vector<FakeName> names);
    ~ResolverScope();
    ResolverScope(const ResolverScope&) = delete;
    ResolverScope& operator=(const ResolverScope&) = delete;

    // Every name asked for since the scope began, in order.
    std::vector<std::string> Asked() const;
};

// 127.0.0.1 as an answer.
winsock::HostLookup Loopback();

} // namespace kelvo::test
