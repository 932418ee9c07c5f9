// The table behind ResolverScope, installed before any test runs so that no lookup ever
// reaches the machine's resolver (and through it a name server).
#include "test_hosts.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace kelvo::test {

const char* const kTestHosts = "localhost=127.0.0.1;feedback.test=127.0.0.1";

namespace {

struct Table {
    std::mutex mutex;
    std::vector<FakeName> names;
    std::vector<std::string> asked;
};

// Never destroyed: a worker thread may still be answering when the program ends.
Table& table() {
    static Table* t = new Table;
    return *t;
}

std::vector<FakeName> defaultNames() {
    std::vector<FakeName> names;
    const winsock::Resolver fixed = winsock::TableResolver(kTestHosts);
    for (const char* name : {"localhost", "feedback.test"}) names.push_back({name, fixed(name)});
    return names;
}

winsock::HostLookup Answer(const std::string& name) {
    winsock::HostLookup answer{winsock::WSAHOST_NOT_FOUND, {}, {}};
    int delay = 0;
    {
        Table& t = table();
        std::lock_guard lock(t.mutex);
        t.asked.push_back(name);
        for (const FakeName& n : t.names) {
            if (n.name == name) {
                answer = n.answer;
                delay = n.delayMs;
                break;
            }
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    return answer;
}

[[maybe_unused]] const bool kInstalled = [] {
    table().names = defaultNames();
    winsock::SetResolver(Answer);
    return true;
}();

} // namespace

winsock::HostLookup Loopback() { return {0, {winsock::inet_addr("127.0.0.1")}, {}}; }

ResolverScope::ResolverScope(std::vector<FakeName> names) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    t.names = std::move(names);
    t.asked.clear();
}

ResolverScope::~ResolverScope() {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    t.names = defaultNames();
}

std::vector<std::string> ResolverScope::Asked() const {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    return t.asked;
}

} // namespace kelvo::test
