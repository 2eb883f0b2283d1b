#include "win32/share_lock.h"

#include "win32/error.h"
#include "win32/files.h"
#include "win32/machine.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace win32 {

namespace {

constexpr off_t kGuard = 0;
constexpr off_t kHas = 1;    // + 0 read, 1 write, 2 delete
constexpr off_t kDenies = 4; // + 0 read, 1 write, 2 delete

bool ofd_lock(int fd, short type, off_t start, off_t len, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    while (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Whether a descriptor other than `fd` holds a lock on `byte`.
bool held_elsewhere(int fd, off_t byte) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0)
        return true; // cannot tell: assume the worst
    return fl.l_type != F_UNLCK;
}

std::filesystem::path lock_path(const struct stat& file) {
    char name[64];
    std::snprintf(name, sizeof name, "%llx-%llx", static_cast<unsigned long long>(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    return Machine::current().state_dir("locks") / name;
}

bool nobody_else_holds(int fd) {
    for (off_t b = kHas; b < kDenies + 3; ++b)
        if (held_elsewhere(fd, b))
            return false;
    return true;
}

// Opens the lock file and holds its guard. Retries when the file was removed by a closing
// handle between our open and our guard.
int open_guarded(const std::filesystem::path& path, DWORD& error) {
    for (;;) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = error_from_errno(errno, true);
            return -1;
        }
        if (!ofd_lock(fd, F_WRLCK, kGuard, 1, true)) {
            error = error_from_errno(errno);
            ::close(fd);
            return -1;
        }
        struct stat mine {
        }, named{};
        if (::fstat(fd, &mine) == 0 && ::stat(path.c_str(), &named) == 0 &&
            mine.st_ino == named.st_ino && mine.st_dev == named.st_dev)
            return fd;
        ::close(fd);
    }
}

// Leaves the guard; removes the lock file when no handle holds anything any more.
void release_guarded(int fd, const std::filesystem::path& path, bool close_it) {
    if (close_it && nobody_else_holds(fd))
        ::unlink(path.c_str());
    if (close_it)
        ::close(fd);
    else
        ofd_lock(fd, F_UNLCK, kGuard, 1, false);
}

} // namespace

DWORD share_rights_of_access(DWORD access) {
    DWORD rights = 0;
    if (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE))
        rights |= kShareRead;
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA))
        rights |= kShareWrite;
    if (access & (GENERIC_ALL | DELETE))
        rights |= kShareDelete;
    return rights;
}

DWORD ShareLock::acquire(const struct stat& file, DWORD rights, DWORD share,
                         std::unique_ptr<ShareLock>& out) {
    out.reset();
    if (rights == 0)
        return ERROR_SUCCESS;
    std::filesystem::path path = lock_path(file);
    DWORD error = ERROR_SUCCESS;
    int fd = open_guarded(path, error);
    if (fd < 0)
        return error;
    bool conflict = false;
    for (int i = 0; i < 3 && !conflict; ++i) {
        DWORD right = 1u << i;
        if ((rights & right) && held_elsewhere(fd, kDenies + i))
            conflict = true;
        if (!(share & right) && held_elsewhere(fd, kHas + i))
            conflict = true;
    }
    if (conflict) {
        release_guarded(fd, path, true);
        return ERROR_SHARING_VIOLATION;
    }
    for (int i = 0; i < 3; ++i) {
        DWORD right = 1u << i;
        bool ok = true;
        if (rights & right)
            ok &= ofd_lock(fd, F_RDLCK, kHas + i, 1, false);
        if (!(share & right))
            ok &= ofd_lock(fd, F_RDLCK, kDenies + i, 1, false);
        if (!ok) {
            error = error_from_errno(errno);
            release_guarded(fd, path, true);
            return error;
        }
    }
    release_guarded(fd, path, false);
    out.reset(new ShareLock(fd, std::move(path)));
    return ERROR_SUCCESS;
}

DWORD ShareLock::check(const struct stat& file, DWORD rights, DWORD share) {
    std::unique_ptr<ShareLock> probe;
    return acquire(file, rights, share, probe);
}

ShareLock::~ShareLock() {
    if (ofd_lock(fd_, F_WRLCK, kGuard, 1, true))
        release_guarded(fd_, path_, true);
    else
        ::close(fd_);
}

} // namespace win32
