#include "dv/sysinfo.h"

#include "win32/error.h"
#include "win32/module.h"
#include "win32/sysinfo.h"
#include "win32/version.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace dv {

using namespace win32;

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

HMODULE load_system_library(const wchar_t* name) {
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

void get_system_windows_dir(wchar_t (&buffer)[261]) {
    using Fn = UINT (*)(LPWSTR, UINT);
    auto fn = reinterpret_cast<Fn>(
        GetProcAddress(GetModuleHandleW(L"Kernel32"), "GetSystemWindowsDirectoryW"));
    if (fn)
        fn(buffer, 261);
    else
        GetWindowsDirectoryW(buffer, 261);
}

bool is_vista_or_later() {
    static const bool answer = [] {
        OSVERSIONINFOEXW wanted{};
        wanted.dwOSVersionInfoSize = sizeof wanted;
        wanted.dwMajorVersion = 6;
        wanted.dwMinorVersion = 0;
        ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
        mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
        return VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION, mask) != FALSE;
    }();
    return answer;
}

namespace {

bool query_string(const BYTE* block, const std::wstring& table, const wchar_t* name,
                  std::wstring& out) {
    LPVOID value = nullptr;
    UINT length = 0;
    const std::wstring key = table + L"\\" + name;
    if (!VerQueryValueW(block, key.c_str(), &value, &length) || !value)
        return false;
    // The length counts the terminator; a value stored without one is taken as far as it goes.
    const auto* text = static_cast<const wchar_t*>(value);
    std::size_t n = length;
    while (n > 0 && text[n - 1] == L'\0')
        --n;
    out.assign(text, n);
    return true;
}

} // namespace

bool read_version_info(FileVersionInfo& info, const wchar_t* path) {
    wchar_t file[MAX_PATH] = {};
    if (path) {
        std::wcsncpy(file, path, MAX_PATH - 1);
    } else if (GetModuleFileNameW(nullptr, file, MAX_PATH) == 0) {
        file[0] = 0;
    }

    info.displayText.clear();
    info.productName.clear();
    info.productVersion.clear();
    info.fileDescription.clear();
    info.legalCopyright.clear();
    info.fileVersion = 0;

    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(file, &handle);
    if (size == 0)
        return false;
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
    if (!buffer)
        return false;
    if (!GetFileVersionInfoW(file, handle, size, buffer.get()))
        return false;
    const BYTE* block = buffer.get();

    LPVOID translation = nullptr;
    UINT translation_bytes = 0;
    if (!VerQueryValueW(block, L"\\VarFileInfo\\Translation", &translation, &translation_bytes) ||
        !translation || translation_bytes < 4)
        return false;
    WORD pair[2];
    std::memcpy(pair, translation, sizeof pair);
    wchar_t digits[9];
    std::swprintf(digits, 9, L"%04hX%04hX", pair[0], pair[1]);
    const std::wstring table = std::wstring(L"\\StringFileInfo\\") + digits;

    const DWORD request = info.request;
    bool result = true;
    if (request & (FileVersionInfo::DisplayText | FileVersionInfo::ProductName)) {
        std::wstring name;
        if (query_string(block, table, L"ProductName", name)) {
            if (request & FileVersionInfo::DisplayText)
                info.displayText = name;
            if (request & FileVersionInfo::ProductName)
                info.productName = name;
        } else {
            result = false;
        }
    }
    if (request & (FileVersionInfo::DisplayText | FileVersionInfo::ProductVersion)) {
        std::wstring version;
        if (query_string(block, table, L"ProductVersion", version)) {
            if (request & FileVersionInfo::DisplayText)
                info.displayText += L" " + version;
            if (request & FileVersionInfo::ProductVersion)
                info.productVersion = version;
        } else {
            result = false;
        }
    }
    if (request & (FileVersionInfo::DisplayText | FileVersionInfo::FileVersion |
                   FileVersionInfo::FileFlags)) {
        LPVOID value = nullptr;
        UINT length = 0;
        if (VerQueryValueW(block, L"\\", &value, &length) && value &&
            length >= sizeof(VS_FIXEDFILEINFO)) {
            VS_FIXEDFILEINFO fixed;
            std::memcpy(&fixed, value, sizeof fixed);
            if (request & FileVersionInfo::FileVersion)
                info.fileVersion =
                    (static_cast<ULONGLONG>(fixed.dwFileVersionMS) << 32) | fixed.dwFileVersionLS;
            const DWORD flags = fixed.dwFileFlags & fixed.dwFileFlagsMask;
            if (request & FileVersionInfo::FileFlags)
                info.fileFlags = flags;
            if (request & FileVersionInfo::DisplayText) {
                if (flags & VS_FF_PRIVATEBUILD)
                    info.displayText += L" \u2013 Private";
                if (flags & VS_FF_DEBUG)
                    info.displayText += L" \u2013 Debug";
            }
        } else {
            result = false;
        }
    }
    if (request & FileVersionInfo::FileDescription) {
        if (!query_string(block, table, L"FileDescription", info.fileDescription))
            result = false;
    }
    if (request & FileVersionInfo::LegalCopyright) {
        if (!query_string(block, table, L"LegalCopyright", info.legalCopyright))
            result = false;
    }
    return result;
}

} // namespace dv
