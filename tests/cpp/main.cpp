#include <cstdio>
#include <string>

#include "check.hpp"

namespace check {

namespace {
int g_failures = 0;
}

std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

void fail(const char* file, int line, const std::string& what) {
    ++g_failures;
    std::printf("  FAILED %s:%d: %s\n", file, line, what.c_str());
}

}  // namespace check

// No argument runs every case; "--list" prints the case names; a name runs
// that case alone (ctest runs each case as its own test).
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    if (only == "--list") {
        for (const check::Case& c : check::registry()) std::printf("%s\n", c.name);
        return 0;
    }
    int passed = 0, failed = 0;
    for (const check::Case& c : check::registry()) {
        if (!only.empty() && only != c.name) continue;
        int before = check::g_failures;
        try {
            c.body();
        } catch (const std::exception& e) {
            check::fail(__FILE__, __LINE__, std::string(c.name) + " threw: " + e.what());
        }
        if (check::g_failures == before) {
            ++passed;
        } else {
            ++failed;
            std::printf("%s: FAILED\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    if (passed + failed == 0) {
        std::printf("no test case named %s\n", only.c_str());
        return 1;
    }
    return failed == 0 ? 0 : 1;
}
