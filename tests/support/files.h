// Test helpers for files: a temporary directory removed with everything in it, whole-file reads
// and writes, and paths as the loaders take them (UTF-16).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

namespace glyphary::testing {

/// The whole content of `path`; empty if it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

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

    const std::filesystem::path& path() const noexcept { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

    /// Writes `bytes` to `name` (relative to the directory; parents are created).
    std::filesystem::path Write(const std::string& name, std::string_view bytes) const {
        const std::filesystem::path file = m_path / name;
        std::filesystem::create_directories(file.parent_path());
        WriteFile(file, bytes);
        return file;
    }

  private:
    std::filesystem::path m_path;
};

/// A native (UTF-8) path as UTF-16, as the platform's path functions and loaders take it.
inline std::u16string Utf16Path(const std::filesystem::path& path) {
    return path.u16string();
}

}  // namespace glyphary::testing
