// Facts about the system and its libraries.
#pragma once

#include "win32/types.h"

namespace dv {

// Loads a system library from the system folder, so that a file of the same name beside the
// program is never taken for it. A full path ("C:\...", "\\server\share\...") is loaded as
// given and nothing else is tried. When the system folder has no such file, the system's
// normal search is used. Null when both fail; the last error is that of the last attempt.
win32::HMODULE load_system_library(const wchar_t* name);

} // namespace dv
