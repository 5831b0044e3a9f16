// Globalize: carrier units become neutral notation.
#include <algorithm>

#include "convert/conversions.h"
#include "convert/format.h"

namespace glyphary {

namespace {

// The output for one carrier unit found in the table, formatted once per object.
const std::wstring& OutputFor(const ModeTable::Entry& entry, const std::wstring& format,
                              const std::wstring& undefinedFormat, GlobalizeCache& cache) {
    const wchar_t unit = entry.first[0];
    if (const auto it = cache.outputs.find(unit); it != cache.outputs.end()) return it->second;
    std::wstring output;
    if (!entry.second.empty()) {
        output = ApplyFormat(format, entry.second, L"GlobalizeFormat");
    } else if (!undefinedFormat.empty()) {
        output = ApplyFormat(undefinedFormat, entry.first, L"GlobalizeUndefinedFormat");
    }
    return cache.outputs.emplace(unit, std::move(output)).first->second;
}

// Whether any of the 16 units at `p` lies in [lo, lo + span]: a test the compiler turns
// into a few vector instructions, so runs of ordinary text are skipped 16 units at a time.
inline bool AnyInRange(const wchar_t* p, uint32_t lo, uint32_t span) {
    bool any = false;
    for (int k = 0; k < 16; ++k) any |= static_cast<uint32_t>(p[k]) - lo <= span;
    return any;
}

}  // namespace

void GlobalizeText(std::wstring_view input, const ModeTable& codeToId, const std::wstring& format,
                   const std::wstring& undefinedFormat, GlobalizeCache& cache, std::wstring& out) {
    out.reserve(out.size() + input.size());
    const size_t n = input.size();
    const wchar_t* const p = input.data();

    // The range of the table's one-unit keys: units outside it cannot be carrier codes.
    const uint32_t lo = codeToId.UnitLow(), hi = codeToId.UnitHigh();
    if (lo > hi) {  // no one-unit key: nothing can be found
        out.append(input);
        return;
    }
    const uint32_t span = hi - lo;

    size_t copied = 0;  // input before this index is already in `out`
    size_t i = 0;
    while (i < n) {
        if (i + 16 <= n && !AnyInRange(p + i, lo, span)) {
            i += 16;
            continue;
        }
        const size_t stop = std::min(n, i + 16);
        for (; i < stop; ++i) {
            const ModeTable::Entry* entry = codeToId.FindUnit(p[i]);
            if (!entry) continue;
            out.append(p + copied, i - copied);
            out += OutputFor(*entry, format, undefinedFormat, cache);
            copied = i + 1;
        }
    }
    out.append(p + copied, n - copied);
}

}  // namespace glyphary
