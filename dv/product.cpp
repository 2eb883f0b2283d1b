#include "dv/product.h"

#include "win32/sysinfo.h"

namespace dv {

const std::wstring& global_namespace_prefix() {
    static const std::wstring prefix = [] {
        win32::OSVERSIONINFOEXW extended{};
        extended.dwOSVersionInfoSize = sizeof extended;
        win32::DWORD platform = 0, major = 0;
        if (win32::GetVersionExW(&extended)) {
            platform = extended.dwPlatformId;
            major = extended.dwMajorVersion;
        } else {
            win32::OSVERSIONINFOW basic{};
            basic.dwOSVersionInfoSize = sizeof basic;
            if (win32::GetVersionExW(&basic)) {
                platform = basic.dwPlatformId;
                major = basic.dwMajorVersion;
            }
        }
        return platform == win32::VER_PLATFORM_WIN32_NT && major > 4 ? std::wstring(L"Global\\")
                                                                     : std::wstring();
    }();
    return prefix;
}

std::wstring product_object_name(std::wstring_view suffix) {
    std::wstring name = global_namespace_prefix();
    name += productKey;
    name += suffix;
    return name;
}

} // namespace dv
