// Test helpers for files: a temporary directory removed with everything in it, and paths
// as the loaders take them (UTF-16).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace glyphary::testing {

/// A fresh directory under the system's temporary directory, removed on destruction.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "glyphary-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }

    /// Writes `bytes` to `name` (relative to the directory; parents are created).
    std::filesystem::path Write(const std::string& name, std::string_view bytes) const {
        const std::filesystem::path file = m_path / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + file.string());
        return file;
    }

  private:
    std::filesystem::path m_path;
};

/// A native (UTF-8) path as UTF-16, as the platform's path functions and loaders take it.
inline std::u16string Utf16Path(const std::filesystem::path& path) {
    const std::u16string text = path.u16string();
    return text;
}

}  // namespace glyphary::testing
