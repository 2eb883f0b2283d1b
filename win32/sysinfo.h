// Facts about the system from machine.ini, and the shell's special folders.
#pragma once

#include "win32/types.h"

namespace win32 {

// The version record in its two sizes. The service-pack text is UTF-16 as on Windows, so
// that both records have their Windows sizes (276 and 284 bytes), which callers state in
// dwOSVersionInfoSize.
struct OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char16_t szCSDVersion[128];
};

struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char16_t szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};

static_assert(sizeof(OSVERSIONINFOW) == 276);
static_assert(sizeof(OSVERSIONINFOEXW) == 284);

constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
constexpr BYTE VER_NT_WORKSTATION = 1;
constexpr WORD VER_SUITE_SINGLEUSERTS = 0x0100;

// VerifyVersionInfoW: what to compare, and how (VerSetConditionMask).
constexpr DWORD VER_MINORVERSION = 0x0000001;
constexpr DWORD VER_MAJORVERSION = 0x0000002;
constexpr DWORD VER_BUILDNUMBER = 0x0000004;
constexpr DWORD VER_PLATFORMID = 0x0000008;
constexpr DWORD VER_SERVICEPACKMINOR = 0x0000010;
constexpr DWORD VER_SERVICEPACKMAJOR = 0x0000020;
constexpr DWORD VER_SUITENAME = 0x0000040;
constexpr DWORD VER_PRODUCT_TYPE = 0x0000080;
constexpr BYTE VER_EQUAL = 1;
constexpr BYTE VER_GREATER = 2;
constexpr BYTE VER_GREATER_EQUAL = 3;
constexpr BYTE VER_LESS = 4;
constexpr BYTE VER_LESS_EQUAL = 5;
constexpr BYTE VER_AND = 6;
constexpr BYTE VER_OR = 7;

// IsProcessorFeaturePresent features.
constexpr DWORD PF_XMMI_INSTRUCTIONS_AVAILABLE = 6;
constexpr DWORD PF_XMMI64_INSTRUCTIONS_AVAILABLE = 10;
constexpr DWORD PF_SSE3_INSTRUCTIONS_AVAILABLE = 13;

// SHGetFolderPathW flags.
constexpr DWORD SHGFP_TYPE_CURRENT = 0;
constexpr DWORD SHGFP_TYPE_DEFAULT = 1;
constexpr int CSIDL_FLAG_DONT_VERIFY = 0x4000;

// Takes an OSVERSIONINFOW or OSVERSIONINFOEXW whose dwOSVersionInfoSize says which.
BOOL GetVersionExW(OSVERSIONINFOW* info);
BOOL GetVersionExW(OSVERSIONINFOEXW* info);
BOOL IsProcessorFeaturePresent(DWORD feature);

// Records `condition` for each VER_* bit of `type_mask` in a condition mask (three bits per
// VER_* bit, in the order of the bits).
ULONGLONG VerSetConditionMask(ULONGLONG condition_mask, DWORD type_mask, BYTE condition);
// Compares the machine's version with `info` for the items of `type_mask`. Major version,
// minor version, service-pack major and minor are compared together, most significant
// first, with the condition of the most significant one asked for (so "major and minor
// >= 6.0" holds for 10.0); the others one by one, the suite mask with VER_AND (all bits
// present) or VER_OR (one of them). TRUE when everything holds; FALSE with
// ERROR_OLD_WIN_VERSION (1150) when something does not, ERROR_BAD_ARGUMENTS (160) for an
// empty type mask or an item without a condition, 87 for a null or short record.
BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD type_mask, ULONGLONG condition_mask);

// Length written (without the terminator), or the size needed (with it) when `size` is short.
UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);
UINT GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size);
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
// `size` in: the buffer's characters; out: the characters written or needed, terminator
// included (ERROR_INSUFFICIENT_BUFFER when short).
BOOL GetUserNameW(LPWSTR buffer, DWORD* size);
LANGID GetUserDefaultLangID();
LCID GetUserDefaultLCID();

// `path` is a MAX_PATH buffer. S_OK with the folder; E_INVALIDARG for a CSIDL the machine
// does not know; E_FAIL when the folder does not exist (CSIDL_FLAG_CREATE makes it,
// CSIDL_FLAG_DONT_VERIFY does not look); HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) when the
// machine's switches took the folder away, whatever the flags. `path` is emptied on failure.
HRESULT SHGetFolderPathW(HWND owner, int csidl, HANDLE token, DWORD flags, LPWSTR path);
BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create);

} // namespace win32
