// What tools (dvmachine) need of the registry beyond the functions a program calls.
#pragma once

#include "win32/types.h"

#include <string>
#include <string_view>

namespace win32::registry {

// The machine's owner at work: key rights, the Administrators rule of the machine's hives
// and the backup and restore privileges are not checked while this is on.
void bypass_security(bool on);

// The text of the last malformed hive or saved-key file met ("FILE:LINE: reason").
std::string last_hive_error();

// "HKLM\Software\X" or "HKEY_LOCAL_MACHINE\Software\X" to its root and sub-key.
bool parse_key_name(std::wstring_view full, HKEY& root, std::wstring& sub_key);

// The full name of an open key, as the hive spells it ("HKEY_LOCAL_MACHINE\SOFTWARE\...").
LSTATUS key_name(HKEY key, std::wstring& out);

// The export text of a key and everything below it (the format of the hive files).
LSTATUS export_key(HKEY key, std::string& text);

} // namespace win32::registry
