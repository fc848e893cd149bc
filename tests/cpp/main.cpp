#include <cstdio>

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

int main() {
    int passed = 0, failed = 0;
    for (const check::Case& c : check::registry()) {
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
    return failed == 0 ? 0 : 1;
}
