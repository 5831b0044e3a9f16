// ConvertEzwebMail over arbitrary mail bytes, through memory streams, with a small mail map.
// Besides not crashing, every conversion must keep what holds for all input:
// - the result is S_OK or E_FAIL (memory streams do not fail);
// - the output is a sequence of lines each ended by CR LF, and perhaps one last line without
//   a line end; the k-th of them is the k-th line read, either as read or as transcoded (the
//   step-for-step transcoder is the oracle), and never of another length;
// - a message that never names iso-2022-jp comes out as its lines, unchanged;
// - input left unread after S_OK means the walk ended at a close delimiter;
// - a stream of another kind (read through its vtable, one Read per byte) gives the same
//   result and output, and is read exactly as far.
// The transcoder is also compared with the oracle on the whole input taken as one line, at
// every SIMD level the processor has; the conversion runs at one level, chosen by the input's
// size, so that the corpus reaches each.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "convert/glyphary_impl.h"
#include "mail/mail.h"
#include "mail/streams.h"
#include "platform/owners.h"
#include "support/mail_reference.h"
#include "text/simd.h"

namespace {

using namespace glyphary;

void Check(bool condition) {
    if (!condition) std::abort();
}

// The lines a reader takes from `input`, as the converter reads them: ended by CR, the LF
// after it dropped, the byte after a bare CR kept for the next line. The last entry is what
// follows the last line end (read at the end of the input); every later read is empty.
std::vector<std::string> Lines(const std::string& input) {
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < input.size(); ++i) {
        if (input[i] != '\r') {
            lines.back().push_back(input[i]);
            continue;
        }
        lines.emplace_back();
        if (i + 1 < input.size() && input[i + 1] == '\n') ++i;
    }
    return lines;
}

bool NamesIso2022Jp(const std::string& input) {
    std::string lower(input);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return lower.find("iso-2022-jp") != std::string::npos;
}

com_ptr<IStream> MemoryStream() {
    com_ptr<IStream> stream;
    Check(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()) == S_OK);
    return stream;
}

std::string Contents(IStream* stream) {
    LARGE_INTEGER zero{};
    ULARGE_INTEGER end{};
    Check(stream->Seek(zero, STREAM_SEEK_CUR, &end) == S_OK);
    std::string bytes(end.QuadPart, '\0');
    Check(stream->Seek(zero, STREAM_SEEK_SET, nullptr) == S_OK);
    ULONG read = 0;
    if (!bytes.empty()) stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    Check(read == bytes.size());
    return bytes;
}

const EzwebMailCodeMap& SmallMap() {
    static const bool filled = [] {
        g_tables.ezwebMailCodeMap.Set(0x75, 0x41, 0x7B, 0x21);
        g_tables.ezwebMailCodeMap.Set(0x76, 0x22, 0x7C, 0x23);
        g_tables.ezwebMailCodeMap.Set(0x77, 0x77, 0x1B, 0x24);  // writes an opener
        g_tables.ezwebMailCodeMap.Set(0x75, 0x1B, 0x7B, 0x22);  // ends in a closer's ESC
        g_tables.ezwebMailCodeMap.Set(0x24, 0x42, 0x24, 0x40);  // an opener's last bytes
        return true;
    }();
    (void)filled;
    return g_tables.ezwebMailCodeMap;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const EzwebMailCodeMap& map = SmallMap();
    const std::string input(reinterpret_cast<const char*>(data), size);

    namespace simd = text::simd;
    std::string plain = input;
    reference::TranscodeEmojiLine(plain, map);
    for (const simd::Level level : simd::kLevels) {
        if (level > simd::Detected()) break;
        simd::Limit(level);
        std::string fast = input;
        TranscodeEmojiLine(fast, map);
        Check(fast == plain);
    }
    simd::Limit(simd::kLevels[size % std::size(simd::kLevels)]);

    com_ptr<IStream> in = MemoryStream(), out = MemoryStream();
    if (size) in->Write(input.data(), static_cast<ULONG>(size), nullptr);
    LARGE_INTEGER zero{};
    in->Seek(zero, STREAM_SEEK_SET, nullptr);
    const HRESULT hr = ConvertEzwebMailCall(in.get(), out.get());
    Check(hr == S_OK || hr == E_FAIL);
    ULARGE_INTEGER consumed{};
    in->Seek(zero, STREAM_SEEK_CUR, &consumed);
    Check(consumed.QuadPart <= size);

    testing::ScriptedStream scriptedIn(input), scriptedOut;
    Check(ConvertEzwebMailCall(&scriptedIn, &scriptedOut) == hr);
    Check(scriptedIn.position == consumed.QuadPart);
    Check(scriptedIn.badCalls.empty() && scriptedOut.badCalls.empty());

    // The output, cut at its line ends. A line never holds a CR: it ends the line.
    const std::string output = Contents(out.get());
    Check(output == scriptedOut.output);
    std::vector<std::string> written;
    size_t start = 0;
    for (size_t cr; (cr = output.find('\r', start)) != std::string::npos; start = cr + 2) {
        Check(cr + 1 < output.size() && output[cr + 1] == '\n');
        written.push_back(output.substr(start, cr - start));
    }
    const std::string last = output.substr(start);

    const std::vector<std::string> read = Lines(input);
    const bool mayTranscode = NamesIso2022Jp(input);
    auto matches = [&](size_t k, const std::string& line) {
        const std::string source = k < read.size() ? read[k] : std::string();
        if (line == source) return true;
        std::string transcoded = source;
        reference::TranscodeEmojiLine(transcoded, map);
        return mayTranscode && line == transcoded;
    };
    for (size_t k = 0; k < written.size(); ++k) Check(matches(k, written[k]));
    Check(matches(written.size(), last) || last.empty());

    if (hr == S_OK && consumed.QuadPart < size) {
        Check(last.empty() && !written.empty());
        const std::string& close = written.back();
        Check(close.size() >= 4 && close.compare(0, 2, "--") == 0 &&
              close.compare(close.size() - 2, 2, "--") == 0);
    }
    return 0;
}
