// Share modes between handles and between processes. Each host file that is open through
// the layer has a lock file in the machine's state folder "locks", named by device and
// inode; every handle holds open-file-description locks on its bytes:
//
//   byte 0      guard, held exclusively while an open checks and takes its bytes
//   bytes 1-3   "has read / write / delete access"   (shared, one per holder)
//   bytes 4-6   "denies read / write / delete"        (shared, one per holder)
//
// An open conflicts when someone holds "denies X" for an access X it asks for, or "has X"
// for a right X its share mode refuses. OFD locks conflict between two descriptors of one
// process as well as between processes, and vanish with the process, so a crashed holder
// never leaves a file locked.
#pragma once

#include "win32/types.h"

#include <filesystem>
#include <memory>
#include <sys/stat.h>

namespace win32 {

// The three rights share modes are about.
constexpr DWORD kShareRead = 1;
constexpr DWORD kShareWrite = 2;
constexpr DWORD kShareDelete = 4;

// Which of read, write and delete an access mask asks for.
DWORD share_rights_of_access(DWORD desired_access);

class ShareLock {
public:
    // Takes the bytes for `rights` (kShare* bits) and the denials for the rights `share`
    // (FILE_SHARE_* bits) leaves out. Returns ERROR_SUCCESS, ERROR_SHARING_VIOLATION, or the
    // Windows code of a host failure. An open with no rights takes nothing and never
    // conflicts, as on Windows.
    static DWORD acquire(const struct stat& file, DWORD rights, DWORD share,
                         std::unique_ptr<ShareLock>& out);
    // A check without keeping anything: whether an open with these rights and share mode
    // would succeed now.
    static DWORD check(const struct stat& file, DWORD rights, DWORD share);
    ~ShareLock();
    ShareLock(const ShareLock&) = delete;
    ShareLock& operator=(const ShareLock&) = delete;

private:
    ShareLock(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
    int fd_;
    std::filesystem::path path_;
};

} // namespace win32
