// The machine's registry: the key and value functions of advapi32 and shlwapi that the program
// calls, over the hives of win32/hive.h kept in the machine folder.
//
// Byte counts of string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are counted as Windows
// counts them: two bytes per UTF-16 code unit, terminating zeros included ("abc" stored with
// its terminator is 8 bytes). The data itself is the program's wchar_t text; a buffer of N
// bytes by that count holds N / 2 wchar_t. So a wchar_t buffer of 260 characters is passed
// with the size 520, never with sizeof, which counts four bytes per character here.
// Other types are raw bytes.
//
// Like Windows, these functions return the error code and leave the thread's last error alone.
#pragma once

#include "win32/types.h"

#include <string>
#include <vector>

namespace win32 {

inline HKEY const HKEY_CLASSES_ROOT =
    reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000u)));
inline HKEY const HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001u)));
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002u)));
inline HKEY const HKEY_USERS =
    reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000003u)));

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Key access rights.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

// RegCreateKeyExW options and dispositions.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_OPTION_CREATE_LINK = 2;
constexpr DWORD REG_OPTION_BACKUP_RESTORE = 4;
constexpr DWORD REG_OPTION_OPEN_LINK = 8;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// RegRestoreKeyW flags.
constexpr DWORD REG_WHOLE_HIVE_VOLATILE = 1;
constexpr DWORD REG_REFRESH_HIVE = 2;
constexpr DWORD REG_NO_LAZY_FLUSH = 4;
constexpr DWORD REG_FORCE_RESTORE = 8;

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR class_name, DWORD options,
                        REGSAM desired, const SECURITY_ATTRIBUTES* security, PHKEY result,
                        DWORD* disposition);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name);
// Deletes a key that has no sub-keys (ERROR_ACCESS_DENIED when it has some).
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR sub_key);
// Names are in characters: `name_chars` gives the buffer size with room for the terminator
// and receives the length without it.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* name_chars, DWORD* reserved,
                      LPWSTR class_name, DWORD* class_chars, FILETIME* last_write);
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* name_chars, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* size);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR class_name, DWORD* class_chars, DWORD* reserved,
                         DWORD* sub_keys, DWORD* max_sub_key_len, DWORD* max_class_len,
                         DWORD* values, DWORD* max_value_name_len, DWORD* max_value_len,
                         DWORD* security_descriptor_size, FILETIME* last_write);
// Writes the key and everything below it to a new file (ERROR_ALREADY_EXISTS when the file
// exists); needs SeBackupPrivilege enabled in the caller's token.
LSTATUS RegSaveKeyW(HKEY key, LPCWSTR file, const SECURITY_ATTRIBUTES* security);
// Replaces the key's values and sub-keys with those saved in the file; needs
// SeRestorePrivilege enabled in the caller's token.
LSTATUS RegRestoreKeyW(HKEY key, LPCWSTR file, DWORD flags);

// shlwapi: a key with everything below it; one value read in one call (REG_EXPAND_SZ data
// comes back expanded, as REG_SZ).
LSTATUS SHDeleteKeyW(HKEY key, LPCWSTR sub_key);
LSTATUS SHGetValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value_name, DWORD* type, void* data,
                    DWORD* size);

// Helpers for callers of the byte-counted functions above.
// Bytes of a string with its terminator, as RegSetValueExW counts them.
DWORD reg_string_bytes(std::wstring_view text);

} // namespace win32
