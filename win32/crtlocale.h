// The C runtime's locale for the program: the Windows runtime names locales as the system
// does ("de-DE"; "" for the user's own settings; "C"), the host's runtime as "de_DE.UTF-8".
// These calls take the Windows names and set the host locale that stands for them.
//
// The host's setlocale is process-wide, which is what the program asks of the Windows
// runtime (_configthreadlocale with _DISABLE_PER_THREAD_LOCALE), so there is no per-thread
// mode to switch off.
#pragma once

#include <locale>
#include <string>
#include <string_view>
#include <vector>

namespace win32 {

// The host names that may stand for a Windows locale name, most likely first. "" is the
// machine user's locale (GetUserDefaultLCID), not the host's LANG. "C" and "POSIX" stay as
// they are. Empty when the name cannot stand for a host locale.
std::vector<std::string> host_locale_names(std::string_view windows_name);

// setlocale with a Windows locale name: the first host name the host knows is set. Null,
// with nothing changed, when the host knows none of them (as the runtime fails for a name it
// does not know); a null name only asks for the current one.
const char* crt_setlocale(int category, const char* windows_name);

// The standard library locale of a Windows locale name; throws std::runtime_error, as the
// std::locale constructor does, when the host knows none of its names.
std::locale crt_locale(std::string_view windows_name);

} // namespace win32
