// Globalize: carrier units become neutral notation.
#include <algorithm>
#include <array>

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
// (GCC vectorises the OR of 32-bit flags; of bools it does not.)
inline bool AnyInRange(const wchar_t* p, uint32_t lo, uint32_t span) {
    uint32_t any = 0;
    for (int k = 0; k < 16; ++k)
        any |= static_cast<uint32_t>(static_cast<uint32_t>(p[k]) - lo <= span);
    return any != 0;
}

// Calls found(i, entry) for each unit of `input` that `codeToId` holds, in order. Units
// outside [lo, lo + span], the range of its one-unit keys, cannot be carrier codes.
template <class Found>
void ForEachCode(std::wstring_view input, const ModeTable& codeToId, uint32_t lo, uint32_t span,
                 Found&& found) {
    const size_t n = input.size();
    const wchar_t* const p = input.data();
    const auto look = [&](size_t i) {
        if (static_cast<uint32_t>(p[i]) - lo > span) return;
        if (const ModeTable::Entry* entry = codeToId.FindUnit(p[i])) found(i, *entry);
    };
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        if (!AnyInRange(p + i, lo, span)) continue;
        for (size_t k = i; k < i + 16; ++k) look(k);
    }
    for (; i < n; ++i) look(i);
}

}  // namespace

void GlobalizeText(std::wstring_view input, const ModeTable& codeToId, const std::wstring& format,
                   const std::wstring& undefinedFormat, GlobalizeCache& cache, std::wstring& out) {
    // The range of the table's one-unit keys: units outside it cannot be carrier codes.
    const uint32_t lo = codeToId.UnitLow(), hi = codeToId.UnitHigh();
    if (lo > hi) {  // no one-unit key: nothing can be found
        out.append(input);
        return;
    }
    const uint32_t span = hi - lo;

    // The codes found are held back while they are few, so that a short text (a web message)
    // has its output allocated once, at its exact size; after that the output grows as it goes.
    struct Found {
        size_t at;
        const std::wstring* output;
    };
    std::array<Found, 32> held;
    size_t count = 0;
    size_t grows = 0;  // units the codes held add to the text
    bool reserved = false;
    const wchar_t* const p = input.data();
    size_t copied = 0;  // input before this index is already in `out`
    const auto write = [&] {
        if (!reserved) out.reserve(out.size() + input.size() + grows);
        reserved = true;
        for (size_t k = 0; k < count; ++k) {
            out.append(p + copied, held[k].at - copied);
            out += *held[k].output;
            copied = held[k].at + 1;
        }
        count = 0;
    };
    ForEachCode(input, codeToId, lo, span, [&](size_t i, const ModeTable::Entry& entry) {
        if (count == held.size()) write();
        const std::wstring& output = OutputFor(entry, format, undefinedFormat, cache);
        held[count++] = {i, &output};
        grows += output.size() - 1;
    });
    write();
    out.append(p + copied, input.size() - copied);
}

}  // namespace glyphary
