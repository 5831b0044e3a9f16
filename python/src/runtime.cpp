#include "runtime.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <system_error>

namespace glyphary::python {
namespace fs = std::filesystem;

void EnterApartment() {
    struct Apartment {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ~Apartment() {
            if (SUCCEEDED(hr)) CoUninitialize();
        }
    };
    thread_local Apartment apartment;
}

std::vector<fs::path> ModulesBesideThePackage() {
    // The extension's own file, as the dynamic loader knows it.
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&ModulesBesideThePackage), &info) || !info.dli_fname)
        return {};
    std::error_code ec;
    const fs::path self = fs::absolute(info.dli_fname, ec);
    if (ec) return {};
    return {self.parent_path() / GLYPHARY_INSTALLED_MODULE_DIR / "glyphary.so",
            self.parent_path() / GLYPHARY_BUILT_MODULE_DIR / "glyphary.so"};
}

std::shared_ptr<client::Module> AcquireModule(const std::optional<fs::path>& path) {
    // Never destroyed: a module unloaded at exit would pull its code from under objects the
    // interpreter has not released yet.
    static std::mutex& mutex = *new std::mutex;
    static auto& modules = *new std::map<fs::path, std::shared_ptr<client::Module>>;

    client::ModuleChoice choice = client::ChooseModule(path, ModulesBesideThePackage());
    std::error_code ec;
    fs::path key = choice.path.empty() ? fs::path() : fs::weakly_canonical(choice.path, ec);
    if (ec) key = choice.path;
    std::lock_guard lock(mutex);
    if (const auto it = modules.find(key); it != modules.end()) return it->second;
    EnterApartment();
    auto module = std::make_shared<client::Module>(std::move(choice));
    modules.emplace(std::move(key), module);
    return module;
}

}  // namespace glyphary::python
