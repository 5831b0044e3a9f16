// PathRemoveFileSpecW and PathCombineW over '/'-separated paths.
#include "platform/shlwapi.h"

#include <new>
#include <string>
#include <vector>

namespace {

using Path = std::u16string;
using PathView = std::u16string_view;

PathView ViewOf(LPCWSTR s) {
    return s ? PathView(s) : PathView();
}

// Resolves "." and ".." and collapses repeated separators. ".." never climbs above the root
// of an absolute path; leading ".." of a relative path stays, since nothing is known above it.
Path Canonical(PathView path) {
    const bool absolute = !path.empty() && path.front() == u'/';
    std::vector<PathView> parts;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = path.find(u'/', pos);
        if (end == PathView::npos) end = path.size();
        const PathView part = path.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            if (!parts.empty() && parts.back() != u"..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
            continue;
        }
        parts.push_back(part);
    }
    Path out;
    if (absolute) out = u"/";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += u'/';
        out += parts[i];
    }
    if (!parts.empty() && path.back() == u'/') out += u'/';
    return out;
}

}  // namespace

STDAPI_(BOOL) PathRemoveFileSpecW(LPWSTR pszPath) {
    if (!pszPath || !*pszPath) return FALSE;
    size_t length = 0, lastSlash = PathView::npos;
    for (; pszPath[length]; ++length) {
        if (pszPath[length] == u'/') lastSlash = length;
    }
    if (lastSlash == PathView::npos) {
        pszPath[0] = 0;  // a bare file name: nothing is left
        return TRUE;
    }
    if (lastSlash == 0) {  // keep the root
        if (length == 1) return FALSE;
        pszPath[1] = 0;
        return TRUE;
    }
    pszPath[lastSlash] = 0;
    return TRUE;
}

STDAPI_(LPWSTR) PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile) {
    if (!pszDest) return nullptr;
    pszDest[0] = 0;
    if (!pszDir && !pszFile) return nullptr;
    try {
        const PathView dir = ViewOf(pszDir), file = ViewOf(pszFile);
        Path joined;
        if (file.empty()) {
            joined = dir;
        } else if (file.front() == u'/' || dir.empty()) {
            joined = file;
        } else {
            joined = dir;
            if (joined.back() != u'/') joined += u'/';
            joined += file;
        }
        const Path result = Canonical(joined);
        if (result.size() >= MAX_PATH) return nullptr;  // no room for it and its terminator
        result.copy(pszDest, result.size());
        pszDest[result.size()] = 0;
        return pszDest;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
