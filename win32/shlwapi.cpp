#include "win32/shlwapi.h"

#include "win32/error.h"
#include "win32/files.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

namespace win32 {

namespace {

bool is_sep(wchar_t c) {
    return c == L'\\';
}

bool has_drive(std::wstring_view p) {
    return p.size() >= 2 && p[1] == L':';
}

// Copies `s` into a caller's MAX_PATH buffer; false (nothing written) when it does not fit.
bool store(LPWSTR dest, std::wstring_view s) {
    if (s.size() >= MAX_PATH)
        return false;
    std::wmemmove(dest, s.data(), s.size());
    dest[s.size()] = 0;
    return true;
}

// Resolves "." and ".." elements without going above the root. The root ("C:\", "C:",
// "\", or "\\server\share") is kept as written; a bare drive gains its backslash; a path
// that ends in a backslash keeps it unless nothing but the root is left.
std::wstring canonical(std::wstring_view in) {
    if (in.empty())
        return L"\\";
    std::wstring root;
    std::size_t pos = 0;
    std::size_t fixed = 0; // leading elements ".." may not remove
    if (in.size() >= 2 && is_sep(in[0]) && is_sep(in[1])) {
        root = L"\\\\";
        pos = 2;
        fixed = 2; // server and share
    } else if (is_sep(in[0])) {
        root = L"\\";
        pos = 1;
    } else if (has_drive(in)) {
        // "C:" and "C:\" are roots; "C:name" stays relative to the drive's folder.
        bool rooted = in.size() == 2 || is_sep(in[2]);
        root = std::wstring(in.substr(0, 2)) + (rooted ? L"\\" : L"");
        pos = in.size() > 2 && is_sep(in[2]) ? 3 : 2;
    }
    std::wstring_view rest = in.substr(pos);
    bool trailing = !rest.empty() && is_sep(rest.back());
    if (trailing)
        rest.remove_suffix(1);
    std::vector<std::wstring_view> kept;
    std::size_t start = 0;
    while (!rest.empty() && start <= rest.size()) {
        std::size_t end = rest.find(L'\\', start);
        if (end == std::wstring_view::npos)
            end = rest.size();
        std::wstring_view part = rest.substr(start, end - start);
        start = end + 1;
        if (part == L".")
            continue;
        if (part == L"..") {
            if (kept.size() > fixed)
                kept.pop_back();
            continue;
        }
        kept.push_back(part);
    }
    std::wstring out = root;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i)
            out += L'\\';
        out += kept[i];
    }
    if (trailing && !kept.empty())
        out += L'\\';
    return out.empty() ? L"\\" : out;
}

// The root of `p` as PathStripToRootW leaves it, or empty when it has none.
std::wstring root_of(std::wstring_view p) {
    wchar_t buf[MAX_PATH];
    if (p.size() >= MAX_PATH || !store(buf, p) || !PathStripToRootW(buf))
        return {};
    return buf;
}

bool combine(std::wstring& out, LPCWSTR dir, LPCWSTR file) {
    std::wstring_view d = dir ? dir : L"";
    std::wstring_view f = file ? file : L"";
    std::wstring joined;
    if (f.empty()) {
        joined = d;
    } else if (d.empty()) {
        joined = f;
    } else if (!PathIsRelativeW(file)) {
        if (is_sep(f[0]) && !PathIsUNCW(file)) {
            // "\name" goes below the root of the folder.
            joined = root_of(d);
            if (!joined.empty() && !is_sep(joined.back()))
                joined += L'\\';
            joined += f.substr(1);
        } else {
            joined = f;
        }
    } else {
        joined = d;
        if (!is_sep(joined.back()))
            joined += L'\\';
        joined += f;
    }
    if (joined.size() >= MAX_PATH)
        return false;
    out = canonical(joined);
    return out.size() < MAX_PATH;
}

} // namespace

BOOL PathIsUNCW(LPCWSTR path) {
    if (!path || !is_sep(path[0]) || !is_sep(path[1]))
        return FALSE;
    // "\\?\C:\x" is a local path; "\\?\UNC\server\share" is not.
    if (path[2] == L'?')
        return std::wstring_view(path).substr(0, 8) == L"\\\\?\\UNC\\";
    return TRUE;
}

BOOL PathIsRootW(LPCWSTR path) {
    if (!path || !*path)
        return FALSE;
    std::wstring_view p = path;
    if (is_sep(p[0])) {
        if (p.size() == 1)
            return TRUE; // "\"
        if (is_sep(p[1])) {
            // "\\server" or "\\server\share", nothing deeper.
            int seps = 0;
            for (wchar_t c : p.substr(2))
                seps += is_sep(c);
            return seps <= 1;
        }
        return FALSE;
    }
    return p.size() == 3 && p[1] == L':' && is_sep(p[2]);
}

BOOL PathIsRelativeW(LPCWSTR path) {
    if (!path || !*path)
        return TRUE;
    return !(is_sep(path[0]) || path[1] == L':');
}

BOOL PathRemoveFileSpecW(LPWSTR path) {
    if (!path)
        return FALSE;
    LPWSTR p = path;
    LPWSTR file_part = path;
    // A leading "\" or "\\" belongs to the root.
    if (is_sep(*p))
        file_part = ++p;
    if (is_sep(*p))
        file_part = ++p;
    while (*p) {
        if (is_sep(*p)) {
            file_part = p;
        } else if (*p == L':') {
            file_part = ++p; // after the drive
            if (is_sep(*p))
                ++file_part; // and its root backslash
            if (!*p)
                break;
        }
        ++p;
    }
    if (!*file_part)
        return FALSE;
    *file_part = 0;
    return TRUE;
}

BOOL PathStripToRootW(LPWSTR path) {
    if (!path)
        return FALSE;
    while (!PathIsRootW(path))
        if (!PathRemoveFileSpecW(path))
            return FALSE;
    return TRUE;
}

LPWSTR PathFindFileNameW(LPCWSTR path) {
    if (!path)
        return nullptr;
    LPCWSTR name = path;
    for (LPCWSTR p = path; *p; ++p) {
        if ((*p == L'\\' || *p == L'/' || *p == L':') && p[1] && p[1] != L'\\' && p[1] != L'/')
            name = p + 1;
    }
    return const_cast<LPWSTR>(name);
}

LPWSTR PathFindExtensionW(LPCWSTR path) {
    if (!path)
        return nullptr;
    LPCWSTR dot = nullptr;
    LPCWSTR p = path;
    for (; *p; ++p) {
        if (*p == L'\\' || *p == L' ')
            dot = nullptr; // a dot before a blank or in a folder name is no extension
        else if (*p == L'.')
            dot = p;
    }
    return const_cast<LPWSTR>(dot ? dot : p);
}

LPWSTR PathFindNextComponentW(LPCWSTR path) {
    if (!path || !*path)
        return nullptr;
    LPCWSTR sep = std::wcschr(path, L'\\');
    if (!sep)
        return const_cast<LPWSTR>(path + std::wcslen(path));
    if (is_sep(sep[1]))
        ++sep;
    return const_cast<LPWSTR>(sep + 1);
}

LPWSTR PathAddBackslashW(LPWSTR path) {
    if (!path)
        return nullptr;
    std::size_t len = std::wcslen(path);
    if (len >= MAX_PATH)
        return nullptr;
    LPWSTR end = path + len;
    if (len && !is_sep(end[-1])) {
        if (len + 1 >= MAX_PATH)
            return nullptr; // no room for the backslash and the terminator
        *end++ = L'\\';
        *end = 0;
    }
    return end;
}

LPWSTR PathRemoveBackslashW(LPWSTR path) {
    if (!path)
        return nullptr;
    std::size_t len = std::wcslen(path);
    LPWSTR last = len ? path + len - 1 : path;
    if (!PathIsRootW(path) && is_sep(*last))
        *last = 0;
    return last;
}

BOOL PathQuoteSpacesW(LPWSTR path) {
    if (!path || !std::wcschr(path, L' '))
        return FALSE;
    std::size_t len = std::wcslen(path);
    if (len + 2 >= MAX_PATH)
        return FALSE;
    std::wmemmove(path + 1, path, len);
    path[0] = L'"';
    path[len + 1] = L'"';
    path[len + 2] = 0;
    return TRUE;
}

BOOL PathCanonicalizeW(LPWSTR buffer, LPCWSTR path) {
    if (!buffer || !path)
        return fail(ERROR_INVALID_PARAMETER);
    std::wstring_view in = path;
    if (in.size() >= MAX_PATH) {
        buffer[0] = 0;
        return fail(ERROR_FILENAME_EXCED_RANGE);
    }
    std::wstring out = canonical(in);
    if (!store(buffer, out)) {
        buffer[0] = 0;
        return fail(ERROR_FILENAME_EXCED_RANGE);
    }
    return TRUE;
}

LPWSTR PathCombineW(LPWSTR dest, LPCWSTR dir, LPCWSTR file) {
    if (!dest)
        return nullptr;
    std::wstring out;
    if ((!dir && !file) || !combine(out, dir, file)) {
        dest[0] = 0;
        SetLastError(!dir && !file ? ERROR_INVALID_PARAMETER : ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    store(dest, out);
    return dest;
}

BOOL PathAppendW(LPWSTR path, LPCWSTR more) {
    if (!path || !more)
        return FALSE;
    if (!PathIsUNCW(more))
        while (is_sep(*more))
            ++more;
    std::wstring out;
    if (!combine(out, path, more))
        return fail(ERROR_FILENAME_EXCED_RANGE);
    store(path, out);
    return TRUE;
}

BOOL PathFileExistsW(LPCWSTR path) {
    return path && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

BOOL PathIsDirectoryW(LPCWSTR path) {
    if (!path)
        return FALSE;
    DWORD a = GetFileAttributesW(path);
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY))
        return FALSE;
    return static_cast<BOOL>(FILE_ATTRIBUTE_DIRECTORY);
}

int PathCommonPrefixW(LPCWSTR path1, LPCWSTR path2, LPWSTR common) {
    if (common)
        common[0] = 0;
    if (!path1 || !path2)
        return 0;
    bool unc1 = PathIsUNCW(path1), unc2 = PathIsUNCW(path2);
    if (unc1 != unc2)
        return 0;
    std::size_t i = unc1 ? 2 : 0;
    std::size_t len = 0;
    for (;; ++i) {
        wchar_t a = path1[i], b = path2[i];
        // Only whole elements count.
        if ((!a || is_sep(a)) && (!b || is_sep(b)))
            len = i;
        if (!a || upper_char(a) != upper_char(b))
            break;
    }
    if (len == 2 && path1[1] == L':')
        len = 3; // a common drive means its root: "C:\"
    if (len && common) {
        std::wmemcpy(common, path1, len);
        common[len] = 0;
    }
    return static_cast<int>(len);
}

BOOL PathRelativePathToW(LPWSTR path, LPCWSTR from, DWORD from_attributes, LPCWSTR to,
                         DWORD to_attributes) {
    if (!path || !from || !to)
        return FALSE;
    path[0] = 0;
    wchar_t f[MAX_PATH], t[MAX_PATH];
    std::wstring_view fv = from, tv = to;
    if (fv.size() >= MAX_PATH || tv.size() >= MAX_PATH)
        return FALSE;
    store(f, fv);
    store(t, tv);
    if (!(from_attributes & FILE_ATTRIBUTE_DIRECTORY))
        PathRemoveFileSpecW(f);
    if (!(to_attributes & FILE_ATTRIBUTE_DIRECTORY))
        PathRemoveFileSpecW(t);
    int common = PathCommonPrefixW(f, t, nullptr);
    if (common == 0)
        return FALSE;
    // Up from `from` to the common folder...
    std::wstring out;
    LPCWSTR rest = f + common;
    if (!*rest)
        out = L".";
    if (is_sep(*rest))
        ++rest;
    while (rest && *rest) {
        rest = PathFindNextComponentW(rest);
        out += (rest && *rest) ? L"..\\" : L"..";
    }
    // ...then down to `to`, file name included.
    std::wstring_view down = tv.substr(static_cast<std::size_t>(common));
    if (!down.empty()) {
        if (!is_sep(down[0]))
            down = tv.substr(static_cast<std::size_t>(common) - 1);
        out += down;
    }
    return store(path, out);
}

BOOL PathSearchAndQualifyW(LPCWSTR path, LPWSTR buffer, UINT length) {
    if (!path || !buffer || length == 0)
        return FALSE;
    std::wstring_view p = path;
    std::wstring found;
    if (!p.empty() && p.find_first_of(L"\\/:") == std::wstring_view::npos) {
        Machine& m = Machine::current();
        for (const std::wstring& dir :
             {m.current_directory(), m.windows_dir() + L"\\System32", m.windows_dir()}) {
            std::wstring candidate = dir;
            if (!is_sep(candidate.back()))
                candidate += L'\\';
            candidate += p;
            if (GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) {
                found = candidate;
                break;
            }
        }
    }
    DWORD n = GetFullPathNameW(found.empty() ? path : found.c_str(), length, buffer, nullptr);
    return n != 0 && n < length;
}

UINT PathGetCharTypeW(WCHAR c) {
    if (c < 0x20 || c == L'"' || c == L'<' || c == L'>' || c == L'|' || c == L'/')
        return GCT_INVALID;
    if (c == L'*' || c == L'?')
        return GCT_WILD;
    if (c == L'\\' || c == L':')
        return GCT_SEPARATOR;
    // Long names take every other character; 8.3 names refuse the blank and + , ; = [ ].
    switch (c) {
    case L' ':
    case L'+':
    case L',':
    case L';':
    case L'=':
    case L'[':
    case L']':
        return GCT_LFNCHAR;
    default:
        return GCT_LFNCHAR | GCT_SHORTCHAR;
    }
}

} // namespace win32
