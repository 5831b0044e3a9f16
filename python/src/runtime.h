// What the package shares per process and per thread: the loaded module, and COM on each
// thread that reaches it.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "client/module.h"

namespace glyphary::python {

/// Initialises COM (apartment-threaded) on the calling thread the first time, and uninitialises
/// it when the thread ends. The module's XML reader is a COM class it creates at load, and the
/// class factory is reached through COM: every thread that loads or creates calls this first.
void EnterApartment();

/// Where the package looks for the module besides $GLYPHARY_MODULE: installed beside it, then
/// in the build tree.
std::vector<std::filesystem::path> ModulesBesideThePackage();

/// The module at `path`, else the one client::ChooseModule picks. A module is loaded once per
/// process, the first time it is asked for, and stays loaded: objects made from it may be
/// released at any time, even as the interpreter exits. Thread-safe. Throws ClientError.
std::shared_ptr<client::Module> AcquireModule(const std::optional<std::filesystem::path>& path);

}  // namespace glyphary::python
