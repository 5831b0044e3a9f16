// The fixture of the client's tests: COM initialised and one module loaded for a whole suite
// (loading the module and its tables for every test would dominate the run).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "client/module.h"

namespace glyphary::testing {

class ModuleTest : public ::testing::Test {
  protected:
    /// The built module with its sample configuration.
    static void SetUpTestSuite() { Load(GLYPHARY_MODULE_FILE); }
    static void TearDownTestSuite() {
        delete s_module;
        s_module = nullptr;
        CoUninitialize();
    }

    /// For suites that set up a configuration of their own beside a copy of the module.
    static void Load(const std::filesystem::path& moduleFile) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        s_module = new client::Module({moduleFile, "test"});
    }

    static inline client::Module* s_module = nullptr;
};

}  // namespace glyphary::testing
