#include "win32/error.h"

#include <cerrno>

namespace win32 {

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}

DWORD GetLastError() {
    return t_last_error;
}
void SetLastError(DWORD code) {
    t_last_error = code;
}

DWORD error_from_errno(int e, bool missing_is_path) {
    switch (e) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return missing_is_path ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case EIO:
        return ERROR_GEN_FAILURE;
    case EAGAIN:
        return ERROR_LOCK_VIOLATION;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    default:
        return ERROR_GEN_FAILURE;
    }
}

DWORD set_error_from_errno(int e, bool missing_is_path) {
    DWORD code = error_from_errno(e, missing_is_path);
    SetLastError(code);
    return code;
}

} // namespace win32
