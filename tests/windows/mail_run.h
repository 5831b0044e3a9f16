// Runs every sample mail through ConvertEzwebMail on memory streams and keeps what came out:
// OUT_DIR/NAME.out with the output bytes, and one "NAME HRESULT" line per mail in
// OUT_DIR/results.txt. The same code runs on the Windows client (CreateStreamOnHGlobal from
// the SDK) and on the Linux reference program (the platform's), so the two result folders
// compare byte for byte.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "com/iglyphary.h"
#include "platform/owners.h"

namespace glyphary::wintest {

/// A memory stream holding `bytes`, positioned at its start; null on failure.
inline com_ptr<IStream> MemoryStream(const std::vector<char>& bytes) {
    com_ptr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return nullptr;
    ULONG written = 0;
    if (!bytes.empty() &&
        (FAILED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written)) ||
         written != bytes.size()))
        return nullptr;
    LARGE_INTEGER start{};
    if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) return nullptr;
    return stream;
}

/// Everything in `stream`, read from its start.
inline std::vector<char> StreamBytes(IStream* stream) {
    std::vector<char> bytes;
    LARGE_INTEGER start{};
    if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) return bytes;
    char buffer[4096];
    for (;;) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, sizeof buffer, &read);
        bytes.insert(bytes.end(), buffer, buffer + read);
        if (FAILED(hr) || read == 0) break;
    }
    return bytes;
}

/// Converts every mail (NAME.eml) of `mailDir` with `object`; false if a stream could not be made.
inline bool ConvertMails(IGlyphary* object, const std::filesystem::path& mailDir,
                         const std::filesystem::path& outDir) {
    std::filesystem::create_directories(outDir);
    std::vector<std::filesystem::path> mails;
    for (const auto& entry : std::filesystem::directory_iterator(mailDir))
        if (entry.is_regular_file() && entry.path().extension() == ".eml")
            mails.push_back(entry.path());
    std::sort(mails.begin(), mails.end());
    std::ofstream results(outDir / "results.txt", std::ios::binary);
    bool ok = !mails.empty();
    for (const auto& path : mails) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<char> input{std::istreambuf_iterator<char>(file), {}};
        com_ptr<IStream> in = MemoryStream(input);
        com_ptr<IStream> out = MemoryStream({});
        if (!in || !out) {
            ok = false;
            continue;
        }
        const HRESULT hr = object->ConvertEzwebMail(in.get(), out.get());
        const std::vector<char> output = StreamBytes(out.get());
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX",
                      static_cast<unsigned long>(static_cast<ULONG>(hr)));
        const std::string name = path.filename().string();
        results << name << ' ' << code << '\n';
        std::ofstream(outDir / (name + ".out"), std::ios::binary)
            .write(output.data(), static_cast<std::streamsize>(output.size()));
    }
    return ok;
}

}  // namespace glyphary::wintest
