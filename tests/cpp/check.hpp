// Minimal test harness: TEST cases register themselves; CHECK records
// failures without stopping the case.
#pragma once

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

std::vector<Case>& registry();
void fail(const char* file, int line, const std::string& what);

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

inline bool close(double a, double b, double rel, double abs_tol = 0.0) {
    return std::fabs(a - b) <= abs_tol + rel * std::fabs(b);
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                                   \
    static void name();                                                              \
    static check::Register CHECK_CONCAT(register_, name)(#name, name);               \
    static void name()

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) check::fail(__FILE__, __LINE__, #cond);                         \
    } while (0)

#define CHECK_CLOSE(a, b, rel)                                                       \
    do {                                                                             \
        double check_a_ = (a), check_b_ = (b);                                       \
        if (!check::close(check_a_, check_b_, rel))                                  \
            check::fail(__FILE__, __LINE__,                                          \
                        std::string(#a " ~ " #b ": ") + std::to_string(check_a_) +   \
                            " vs " + std::to_string(check_b_));                      \
    } while (0)

// Checks that `expr` throws `Type` whose message equals `message`.
#define CHECK_THROWS(Type, message, expr)                                            \
    do {                                                                             \
        bool check_thrown_ = false;                                                  \
        try {                                                                        \
            (void)(expr);                                                            \
        } catch (const Type& e) {                                                    \
            check_thrown_ = true;                                                    \
            if (std::string(e.what()) != std::string(message))                       \
                check::fail(__FILE__, __LINE__,                                      \
                            std::string("message: ") + e.what());                    \
        }                                                                            \
        if (!check_thrown_) check::fail(__FILE__, __LINE__, "no " #Type ": " #expr); \
    } while (0)
