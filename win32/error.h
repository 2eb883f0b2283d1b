// The calling thread's last error, and the translation of host failures into Windows codes.
#pragma once

#include "win32/types.h"

namespace win32 {

DWORD GetLastError();
void SetLastError(DWORD code);

// Which Windows code a host errno stands for. `missing_is_path` chooses between
// ERROR_FILE_NOT_FOUND (the last element is missing) and ERROR_PATH_NOT_FOUND (a folder
// on the way is missing) for ENOENT, as Windows tells the two apart.
DWORD error_from_errno(int host_errno, bool missing_is_path = false);

// Sets the last error from errno and returns the Windows code.
DWORD set_error_from_errno(int host_errno, bool missing_is_path = false);

// Convenience for the common "fail with code" return paths.
inline BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

} // namespace win32
