// Facts about the system, its libraries and executable files: loading a system library
// safely, the shared Windows folder, the Vista test, and the reader of a version resource.
#pragma once

#include "win32/types.h"

#include <string>

namespace dv {

// Loads a system library from the system folder, so that a file of the same name beside the
// program is never taken for it. A full path ("C:\...", "\\server\share\...") is loaded as
// given and nothing else is tried. When the system folder has no such file, the system's
// normal search is used. Null when both fail; the last error is that of the last attempt.
win32::HMODULE load_system_library(const wchar_t* name);

// Fills `buffer` with the shared Windows folder (GetSystemWindowsDirectoryW when kernel32
// has it, else GetWindowsDirectoryW).
void get_system_windows_dir(wchar_t (&buffer)[261]);

// Whether the system is Windows Vista (6.0) or later; asked once per process.
bool is_vista_or_later();

// What read_version_info fills, chosen by `request` (bits, or all of them with -1).
struct FileVersionInfo {
    static constexpr win32::DWORD DisplayText = 0x01; // product name, blank, version, marks
    static constexpr win32::DWORD ProductName = 0x02;
    static constexpr win32::DWORD ProductVersion = 0x04;
    static constexpr win32::DWORD FileDescription = 0x08;
    static constexpr win32::DWORD LegalCopyright = 0x10;
    static constexpr win32::DWORD FileVersion = 0x20; // fixed file version as one number
    static constexpr win32::DWORD FileFlags = 0x40;   // fixed flags within their mask
    static constexpr win32::DWORD All = 0xFFFFFFFF;

    win32::DWORD request = 0;
    // Most significant version word pair in the high 32 bits: 6.5.0.0 is 0x0006000500000000.
    win32::ULONGLONG fileVersion = 0;
    win32::DWORD fileFlags = 0;
    std::wstring displayText;
    std::wstring productName;
    std::wstring productVersion;
    std::wstring fileDescription;
    std::wstring legalCopyright;
};

// Reads the version resource of `path` (cut to 259 characters), or of the running program
// when it is null, into the members `info.request` asks for. True when every requested item
// was found; what was found is filled even when an item is missing. The strings come from
// the first entry of the file's translation table. A private build adds " – Private" and a
// debug build " – Debug" to the display text.
bool read_version_info(FileVersionInfo& info, const wchar_t* path = nullptr);

} // namespace dv
