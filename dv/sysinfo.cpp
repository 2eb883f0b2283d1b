#include "dv/sysinfo.h"

#include "win32/error.h"
#include "win32/module.h"
#include "win32/sysinfo.h"

#include <string>
#include <vector>

namespace dv {

namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Both a root name and a root directory: "C:\x" or "\\server\share\x", not "C:x" or "\x".
bool is_absolute(const wchar_t* name) {
    const std::wstring_view s(name);
    if (s.size() >= 3 && s[1] == L':' && is_separator(s[2]))
        return true;
    if (s.size() >= 3 && is_separator(s[0]) && is_separator(s[1]) && !is_separator(s[2])) {
        auto end = s.find_first_of(L"\\/", 2);
        return end != std::wstring_view::npos;
    }
    return false;
}

} // namespace

win32::HMODULE load_system_library(const wchar_t* name) {
    using namespace win32;
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (is_absolute(name))
        return LoadLibraryW(name);
    UINT length = GetSystemDirectoryW(nullptr, 0);
    if (length != 0) {
        std::vector<wchar_t> buffer(length + 1);
        UINT written = GetSystemDirectoryW(buffer.data(), length + 1);
        if (written != 0 && written <= length) {
            std::wstring path(buffer.data(), written);
            if (!is_separator(path.back()))
                path += L'\\';
            path += name;
            if (HMODULE module = LoadLibraryW(path.c_str()))
                return module;
        }
    }
    return LoadLibraryW(name);
}

} // namespace dv
