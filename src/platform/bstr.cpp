// BSTR allocation. Layout: [4-byte byte length][units...][zero unit]; the BSTR points at the
// first unit. The block starts 4 bytes earlier still, so that the text is 8-byte aligned as
// on Windows.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/oleauto.h"

namespace {

constexpr size_t kHeader = 8;  // 4 unused bytes, then the 4-byte length prefix

BSTR AllocBytes(const void* src, UINT bytes) noexcept {
    // The prefix is a 32-bit count; refuse what it cannot describe, and any size whose block
    // would overflow size_t.
    if (bytes > std::numeric_limits<UINT>::max() - kHeader - sizeof(OLECHAR) - 1) return nullptr;
    const size_t total = kHeader + static_cast<size_t>(bytes) + sizeof(OLECHAR) + 1;
    auto* block = static_cast<unsigned char*>(std::malloc(total));
    if (!block) return nullptr;
    const uint32_t prefix = bytes;
    std::memcpy(block + kHeader - sizeof(prefix), &prefix, sizeof(prefix));
    unsigned char* text = block + kHeader;
    if (src) std::memcpy(text, src, bytes);
    // Terminate with a whole zero unit even after an odd byte count.
    std::memset(text + bytes, 0, sizeof(OLECHAR) + 1);
    return reinterpret_cast<BSTR>(text);
}

unsigned char* BlockOf(BSTR s) noexcept {
    return reinterpret_cast<unsigned char*>(s) - kHeader;
}

}  // namespace

STDAPI_(BSTR) SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    size_t n = 0;
    while (psz[n]) ++n;
    if (n > std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(n));
}

STDAPI_(BSTR) SysAllocStringLen(const OLECHAR* pch, UINT ui) {
    if (ui > std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) return nullptr;
    return AllocBytes(pch, ui * static_cast<UINT>(sizeof(OLECHAR)));
}

STDAPI_(BSTR) SysAllocStringByteLen(const char* psz, UINT len) {
    return AllocBytes(psz, len);
}

STDAPI_(UINT) SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    uint32_t prefix;
    std::memcpy(&prefix, BlockOf(bstr) + kHeader - sizeof(prefix), sizeof(prefix));
    return prefix;
}

STDAPI_(UINT) SysStringLen(BSTR bstr) {
    return SysStringByteLen(bstr) / static_cast<UINT>(sizeof(OLECHAR));
}

STDAPI_(void) SysFreeString(BSTR bstr) {
    if (bstr) std::free(BlockOf(bstr));
}
