// Globalize: carrier units become neutral notation.
#include <algorithm>
#include <array>

#include "convert/conversions.h"
#include "convert/format.h"
#include "text/simd.h"

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
// (GCC vectorises the OR of 32-bit flags; of bools it does not.) Written once, compiled for
// each instruction set below.
[[gnu::always_inline]] inline bool AnyInRange(const wchar_t* p, uint32_t lo, uint32_t span) {
    uint32_t any = 0;
    for (int k = 0; k < 16; ++k)
        any |= static_cast<uint32_t>(static_cast<uint32_t>(p[k]) - lo <= span);
    return any != 0;
}

[[gnu::always_inline]] inline size_t NextInRangeLoop(const wchar_t* p, size_t n, size_t i,
                                                     uint32_t lo, uint32_t span) {
    while (i + 16 <= n && !AnyInRange(p + i, lo, span)) i += 16;
    for (; i < n; ++i)
        if (static_cast<uint32_t>(p[i]) - lo <= span) return i;
    return n;
}

size_t NextInRangeScalar(const wchar_t* p, size_t n, size_t i, uint32_t lo, uint32_t span) {
    return NextInRangeLoop(p, n, i, lo, span);
}

#if GLYPHARY_SIMD_X86
// The same loop with AVX2: sixteen units in one or two registers instead of two or four.
GLYPHARY_TARGET_AVX2 size_t NextInRangeAvx2(const wchar_t* p, size_t n, size_t i, uint32_t lo,
                                            uint32_t span) {
    return NextInRangeLoop(p, n, i, lo, span);
}
#endif

constexpr text::simd::Paths<size_t (*)(const wchar_t*, size_t, size_t, uint32_t, uint32_t)>
    kNextInRange = {
        .scalar = NextInRangeScalar,
#if GLYPHARY_SIMD_X86
        .avx2 = NextInRangeAvx2,
#endif
};

// Calls found(i, entry) for each unit of `input` that `codeToId` holds, in order. Units
// outside [lo, lo + span], the range of its one-unit keys, cannot be carrier codes.
template <class Found>
void ForEachCode(std::wstring_view input, const ModeTable& codeToId, uint32_t lo, uint32_t span,
                 Found&& found) {
    const size_t n = input.size();
    const wchar_t* const p = input.data();
    const auto next = kNextInRange.Choose();
    for (size_t i = next(p, n, 0, lo, span); i < n; i = next(p, n, i + 1, lo, span))
        if (const ModeTable::Entry* entry = codeToId.FindUnit(p[i])) found(i, *entry);
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
        if (!reserved) {
            // Where the codes held did not reach the end, the rest is taken to hold them about
            // as densely (a quarter more, up to twice the text), so that a long text's output
            // is not copied again when it outgrows its room.
            size_t room = input.size() + grows;
            if (count == held.size()) {
                const size_t seen = held[count - 1].at + 1;
                const uint64_t rest = uint64_t{grows} * (input.size() - seen) / seen;
                room += static_cast<size_t>(std::min<uint64_t>(rest + rest / 4, input.size()));
            }
            out.reserve(out.size() + room);
        }
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
