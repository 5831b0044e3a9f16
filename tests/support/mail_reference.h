// The ISO-2022-JP emoji transcoding written step for step from its description, with no
// shortcut: the oracle that the module's transcoder is compared with in tests, fuzzing and
// benchmarks.
#pragma once

#include <string>

#include "tables/tables.h"

namespace glyphary::reference {

inline void TranscodeEmojiLine(std::string& line, const EzwebMailCodeMap& map) {
    const std::string opener("\x1B\x24", 2), closer("\x1B\x28", 2);
    size_t cursor = 0;
    for (;;) {
        const size_t open = line.find(opener, cursor);
        if (open == std::string::npos) return;
        const size_t close = line.find(closer, open + 3);
        if (close == std::string::npos) return;
        cursor = open + 3;
        while (cursor + 2 <= close) {
            uint8_t web[2];
            if (map.Find(static_cast<uint8_t>(line[cursor]), static_cast<uint8_t>(line[cursor + 1]),
                         web)) {
                line[cursor] = static_cast<char>(web[0]);
                line[cursor + 1] = static_cast<char>(web[1]);
            }
            cursor += 2;
        }
        cursor = close + 3;
    }
}

}  // namespace glyphary::reference
