// A small check harness for the Windows clients, which run under Wine without GoogleTest:
// each failed check prints one line, and the run ends with a summary line that the test
// runner requires (a client that dies early never prints it).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/win.h"

namespace glyphary::wintest {

inline int g_checks = 0;
inline int g_failures = 0;
inline const char* g_group = "";

/// Names the group of checks that follow, for the failure lines.
inline void Group(const char* name) {
    g_group = name;
}

inline void Fail(const char* what, const std::string& detail, int line) {
    ++g_failures;
    std::printf("FAIL [%s] %s (line %d)%s%s\n", g_group, what, line, detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
}

/// UTF-16 text as printable ASCII: non-ASCII units as \uXXXX.
inline std::string Show(std::wstring_view text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        const unsigned unit = static_cast<unsigned>(c) & 0xFFFF;
        if (unit >= 0x20 && unit < 0x7F && unit != '\\' && unit != '"') {
            out += static_cast<char>(unit);
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", unit);
            out += buffer;
        }
    }
    return out + "\"";
}

inline std::string Hex(HRESULT hr) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX",
                  static_cast<unsigned long>(static_cast<ULONG>(hr)));
    return buffer;
}

inline void CheckTrue(bool ok, const char* what, int line) {
    ++g_checks;
    if (!ok) Fail(what, "", line);
}

inline void CheckHr(HRESULT actual, HRESULT expected, const char* what, int line) {
    ++g_checks;
    if (actual != expected) Fail(what, "got " + Hex(actual) + ", expected " + Hex(expected), line);
}

inline void CheckInt(long long actual, long long expected, const char* what, int line) {
    ++g_checks;
    if (actual != expected)
        Fail(what, "got " + std::to_string(actual) + ", expected " + std::to_string(expected),
             line);
}

inline void CheckText(std::wstring_view actual, std::wstring_view expected, const char* what,
                      int line) {
    ++g_checks;
    if (actual != expected)
        Fail(what, "got " + Show(actual) + ", expected " + Show(expected), line);
}

/// Prints the summary; the process exit code.
inline int Summary(const char* program) {
    std::printf("%s: %d checks, %d failed\n", program, g_checks, g_failures);
    if (g_failures == 0) std::printf("%s: ALL OK\n", program);
    std::fflush(stdout);
    return g_failures == 0 ? 0 : 1;
}

}  // namespace glyphary::wintest

#define CHECK(cond) ::glyphary::wintest::CheckTrue((cond), #cond, __LINE__)
#define CHECK_HR(actual, expected) \
    ::glyphary::wintest::CheckHr((actual), (expected), #actual, __LINE__)
#define CHECK_INT(actual, expected) \
    ::glyphary::wintest::CheckInt((actual), (expected), #actual, __LINE__)
#define CHECK_TEXT(actual, expected) \
    ::glyphary::wintest::CheckText((actual), (expected), #actual, __LINE__)
