// Small file and text helpers for the platform tests, beside the shared temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/files.h"

namespace glyphary::testing {

/// The lines of `file`.
inline std::vector<std::string> ReadLines(const std::string& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

/// An ASCII or UTF-8-free path as UTF-16 (the tests' paths are ASCII).
inline std::u16string U16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

}  // namespace glyphary::testing
