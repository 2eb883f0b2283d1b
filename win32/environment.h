// The machine's environment variables, as a Windows process of its user sees them.
#pragma once

#include "win32/types.h"

#include <string>
#include <string_view>

namespace win32 {

// The value of a variable of the machine (SystemRoot, windir, SystemDrive, ProgramFiles,
// CommonProgramFiles, ProgramData, ALLUSERSPROFILE, PUBLIC, USERPROFILE, HOMEDRIVE, HOMEPATH,
// APPDATA, LOCALAPPDATA, TEMP, TMP, USERNAME, OS); false when it has no such variable. Host
// variables are never seen: they describe another system.
bool machine_environment_variable(std::wstring_view name, std::wstring& value);

// Replaces each %NAME% of a known variable with its value; other text stays as it is.
// Returns the size in characters with the terminator, or the size needed when `size` is too
// small (the buffer's content is then undefined); 0 with ERROR_INVALID_PARAMETER for a null
// source.
DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);
std::wstring expand_environment_strings(std::wstring_view text);

} // namespace win32
