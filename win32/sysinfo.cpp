#include "win32/sysinfo.h"

#include "win32/error.h"
#include "win32/files.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <cstring>
#include <string>

namespace win32 {

namespace {

// Writes into a caller's buffer the way the folder queries do.
UINT give_folder(const std::wstring& folder, LPWSTR buffer, UINT size) {
    if (!buffer || size <= folder.size())
        return static_cast<UINT>(folder.size() + 1);
    std::memcpy(buffer, folder.data(), folder.size() * sizeof(wchar_t));
    buffer[folder.size()] = 0;
    return static_cast<UINT>(folder.size());
}

BOOL fill_version(void* record) {
    if (!record)
        return fail(ERROR_INVALID_PARAMETER);
    DWORD size = 0;
    std::memcpy(&size, record, sizeof size);
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    const Machine& m = Machine::current();
    OSVERSIONINFOEXW v{};
    v.dwOSVersionInfoSize = size;
    v.dwMajorVersion = m.setting_number("windows", "major", 10);
    v.dwMinorVersion = m.setting_number("windows", "minor", 0);
    v.dwBuildNumber = m.setting_number("windows", "build", 19045);
    v.dwPlatformId = m.setting_number("windows", "platform_id", VER_PLATFORM_WIN32_NT);
    std::u16string csd = to_utf16(from_utf8(m.setting("windows", "csd_version")));
    csd.resize(std::min<std::size_t>(csd.size(), 127));
    std::memcpy(v.szCSDVersion, csd.data(), csd.size() * sizeof(char16_t));
    v.wServicePackMajor = static_cast<WORD>(m.setting_number("windows", "service_pack_major", 0));
    v.wServicePackMinor = static_cast<WORD>(m.setting_number("windows", "service_pack_minor", 0));
    v.wSuiteMask =
        static_cast<WORD>(m.setting_number("windows", "suite_mask", VER_SUITE_SINGLEUSERTS));
    v.wProductType =
        static_cast<BYTE>(m.setting_number("windows", "product_type", VER_NT_WORKSTATION));
    std::memcpy(record, &v, size);
    return TRUE;
}

// Makes a folder and the missing ones above it.
DWORD create_chain(const std::wstring& folder) {
    std::size_t pos = 3; // after "C:\"
    while (pos <= folder.size()) {
        std::size_t sep = folder.find(L'\\', pos);
        if (sep == std::wstring::npos)
            sep = folder.size();
        std::wstring prefix = folder.substr(0, sep);
        if (GetFileAttributesW(prefix.c_str()) == INVALID_FILE_ATTRIBUTES &&
            !CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return GetLastError();
        pos = sep + 1;
    }
    return ERROR_SUCCESS;
}

} // namespace

BOOL GetVersionExW(OSVERSIONINFOW* info) {
    return fill_version(info);
}
BOOL GetVersionExW(OSVERSIONINFOEXW* info) {
    return fill_version(info);
}

BOOL IsProcessorFeaturePresent(DWORD feature) {
    const Machine& m = Machine::current();
    bool sse2 = m.setting_bool("processor", "sse2", false);
    switch (feature) {
    case PF_XMMI_INSTRUCTIONS_AVAILABLE:
        return sse2;
    case PF_XMMI64_INSTRUCTIONS_AVAILABLE:
        return sse2;
    case PF_SSE3_INSTRUCTIONS_AVAILABLE:
#if defined(__x86_64__) || defined(__i386__)
        return sse2 && __builtin_cpu_supports("sse3");
#else
        return FALSE;
#endif
    default:
        return FALSE;
    }
}

ULONGLONG VerSetConditionMask(ULONGLONG condition_mask, DWORD type_mask, BYTE condition) {
    for (int bit = 0; bit < 8; ++bit) {
        if (!(type_mask & (1u << bit)))
            continue;
        const int shift = bit * 3;
        condition_mask &= ~(ULONGLONG{7} << shift);
        condition_mask |= ULONGLONG{condition & 7u} << shift;
    }
    return condition_mask;
}

namespace {

BYTE condition_for(ULONGLONG condition_mask, DWORD type_bit) {
    int bit = 0;
    while (!(type_bit & (1u << bit)))
        ++bit;
    return static_cast<BYTE>((condition_mask >> (bit * 3)) & 7);
}

bool holds(ULONGLONG have, ULONGLONG want, BYTE condition) {
    switch (condition) {
    case VER_EQUAL:
        return have == want;
    case VER_GREATER:
        return have > want;
    case VER_GREATER_EQUAL:
        return have >= want;
    case VER_LESS:
        return have < want;
    case VER_LESS_EQUAL:
        return have <= want;
    default:
        return false;
    }
}

} // namespace

BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD type_mask, ULONGLONG condition_mask) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW))
        return fail(ERROR_INVALID_PARAMETER);
    if (type_mask == 0 || (type_mask & ~0xFFu))
        return fail(ERROR_BAD_ARGUMENTS);
    for (int bit = 0; bit < 8; ++bit)
        if ((type_mask & (1u << bit)) && condition_for(condition_mask, 1u << bit) == 0)
            return fail(ERROR_BAD_ARGUMENTS);

    OSVERSIONINFOEXW have{};
    have.dwOSVersionInfoSize = sizeof have;
    if (!GetVersionExW(&have))
        return FALSE;

    // Major, minor and the service pack form one number, most significant part first; the
    // parts not asked for are left out of both sides.
    static constexpr DWORD kHierarchy[] = {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR,
                                           VER_SERVICEPACKMINOR};
    const ULONGLONG have_parts[] = {have.dwMajorVersion, have.dwMinorVersion,
                                    have.wServicePackMajor, have.wServicePackMinor};
    const ULONGLONG want_parts[] = {info->dwMajorVersion, info->dwMinorVersion,
                                    info->wServicePackMajor, info->wServicePackMinor};
    bool ok = true;
    BYTE hierarchy_condition = 0;
    int have_cmp = 0;
    for (int i = 0; i < 4; ++i) {
        if (!(type_mask & kHierarchy[i]))
            continue;
        if (!hierarchy_condition)
            hierarchy_condition = condition_for(condition_mask, kHierarchy[i]);
        if (have_cmp == 0 && have_parts[i] != want_parts[i])
            have_cmp = have_parts[i] < want_parts[i] ? -1 : 1;
    }
    if (hierarchy_condition)
        ok = holds(static_cast<ULONGLONG>(have_cmp + 1), 1, hierarchy_condition);
    if (ok && (type_mask & VER_BUILDNUMBER))
        ok = holds(have.dwBuildNumber, info->dwBuildNumber,
                   condition_for(condition_mask, VER_BUILDNUMBER));
    if (ok && (type_mask & VER_PLATFORMID))
        ok = holds(have.dwPlatformId, info->dwPlatformId,
                   condition_for(condition_mask, VER_PLATFORMID));
    if (ok && (type_mask & VER_PRODUCT_TYPE))
        ok = holds(have.wProductType, info->wProductType,
                   condition_for(condition_mask, VER_PRODUCT_TYPE));
    if (ok && (type_mask & VER_SUITENAME)) {
        const BYTE c = condition_for(condition_mask, VER_SUITENAME);
        if (c == VER_AND)
            ok = (have.wSuiteMask & info->wSuiteMask) == info->wSuiteMask;
        else if (c == VER_OR)
            ok = (have.wSuiteMask & info->wSuiteMask) != 0;
        else
            return fail(ERROR_BAD_ARGUMENTS);
    }
    if (!ok)
        return fail(ERROR_OLD_WIN_VERSION);
    return TRUE;
}

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
    return give_folder(Machine::current().windows_dir(), buffer, size);
}

UINT GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size) {
    return give_folder(Machine::current().windows_dir(), buffer, size);
}

UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    return give_folder(Machine::current().windows_dir() + L"\\System32", buffer, size);
}

BOOL GetUserNameW(LPWSTR buffer, DWORD* size) {
    if (!size)
        return fail(ERROR_INVALID_PARAMETER);
    std::wstring name = Machine::current().user_name();
    DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, name.c_str(), needed * sizeof(wchar_t));
    *size = needed;
    return TRUE;
}

LANGID GetUserDefaultLangID() {
    return static_cast<LANGID>(Machine::current().setting_number("user", "langid", 0x0409));
}

LCID GetUserDefaultLCID() {
    return Machine::current().setting_number("user", "lcid", 0x0409);
}

HRESULT SHGetFolderPathW(HWND /*owner*/, int csidl, HANDLE /*token*/, DWORD flags, LPWSTR path) {
    if (!path)
        return E_INVALIDARG;
    path[0] = 0;
    if (flags > SHGFP_TYPE_DEFAULT)
        return E_INVALIDARG;
    const Machine& m = Machine::current();
    std::wstring folder = m.shell_folder(csidl);
    if (folder.empty())
        return E_INVALIDARG;
    if (m.shell_folder_removed(csidl))
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    if (folder.size() >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    if (!(csidl & CSIDL_FLAG_DONT_VERIFY)) {
        DWORD a = GetFileAttributesW(folder.c_str());
        if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
            if (!(csidl & CSIDL_FLAG_CREATE))
                return E_FAIL;
            if (DWORD e = create_chain(folder))
                return HRESULT_FROM_WIN32(e);
        }
    }
    std::memcpy(path, folder.c_str(), (folder.size() + 1) * sizeof(wchar_t));
    return S_OK;
}

BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create) {
    HRESULT hr = SHGetFolderPathW(owner, csidl | (create ? CSIDL_FLAG_CREATE : 0), nullptr,
                                  SHGFP_TYPE_CURRENT, path);
    if (FAILED(hr)) {
        // The shell reports the failure through the result only; keep a useful last error.
        auto code = static_cast<DWORD>(hr);
        SetLastError((code & 0xFFFF0000u) == 0x80070000u ? (code & 0xFFFF) : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

} // namespace win32
