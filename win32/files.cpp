#include "win32/files.h"

#include "win32/error.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/security.h"
#include "win32/share_lock.h"
#include "win32/text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace win32 {

namespace {

// Attributes the host cannot express are kept in this extended attribute, as hexadecimal
// text. Read-only is the host's write bits for files; for folders it is kept here too, since
// a read-only folder on Windows still accepts new files.
constexpr char kAttributesXattr[] = "user.dv.attributes";
constexpr DWORD kStoredFileBits = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;
constexpr DWORD kStoredDirBits =
    (kStoredFileBits & ~FILE_ATTRIBUTE_TEMPORARY) | FILE_ATTRIBUTE_READONLY;
constexpr DWORD kSettableBits = kStoredFileBits | FILE_ATTRIBUTE_READONLY;
constexpr DWORD kAllShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// CreateDirectoryW leaves room for an 8.3 name below the folder.
constexpr std::size_t kDirectoryLimit = MAX_PATH - 12;

bool parse_stored(const char* text, ssize_t n, DWORD& bits) {
    if (n <= 0 || n > 16)
        return false;
    std::string s(text, static_cast<std::size_t>(n));
    char* end = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &end, 16);
    if (!end || *end != 0)
        return false;
    bits = static_cast<DWORD>(v);
    return true;
}

// The stored bits of a file, or the defaults of something the layer did not create: a file
// made elsewhere reads as a fresh Windows file (archive), a folder as a plain folder.
DWORD stored_bits(const fs::path& host, int fd, bool is_dir) {
    char buf[32];
    ssize_t n = fd >= 0 ? ::fgetxattr(fd, kAttributesXattr, buf, sizeof buf)
                        : ::getxattr(host.c_str(), kAttributesXattr, buf, sizeof buf);
    DWORD bits = 0;
    if (parse_stored(buf, n, bits))
        return bits & (is_dir ? kStoredDirBits : kStoredFileBits);
    return is_dir ? 0 : FILE_ATTRIBUTE_ARCHIVE;
}

DWORD write_stored_bits(const fs::path& host, int fd, DWORD bits) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "0x%X", bits);
    int rc = fd >= 0
                 ? ::fsetxattr(fd, kAttributesXattr, buf, static_cast<std::size_t>(n), 0)
                 : ::setxattr(host.c_str(), kAttributesXattr, buf, static_cast<std::size_t>(n), 0);
    return rc == 0 ? ERROR_SUCCESS : error_from_errno(errno);
}

bool mode_read_only(mode_t mode) {
    return (mode & 0222) == 0;
}

DWORD attributes_of(const fs::path& host, int fd, const struct stat& st) {
    bool dir = S_ISDIR(st.st_mode);
    DWORD a = stored_bits(host, fd, dir);
    if (dir)
        a |= FILE_ATTRIBUTE_DIRECTORY;
    else if (mode_read_only(st.st_mode))
        a |= FILE_ATTRIBUTE_READONLY;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

bool is_read_only(const fs::path& host, int fd, const struct stat& st) {
    return (attributes_of(host, fd, st) & FILE_ATTRIBUTE_READONLY) != 0;
}

// Applies Windows attribute bits to a host file or folder.
DWORD apply_attributes(const fs::path& host, int fd, const struct stat& st, DWORD attributes) {
    bool dir = S_ISDIR(st.st_mode);
    DWORD bits = attributes & kSettableBits;
    if (!dir) {
        mode_t mode = st.st_mode & 07777;
        mode_t wanted = (bits & FILE_ATTRIBUTE_READONLY) ? (mode & ~mode_t(0222))
                        : mode_read_only(mode)           ? (mode | S_IWUSR)
                                                         : mode;
        if (wanted != mode) {
            int rc = fd >= 0 ? ::fchmod(fd, wanted) : ::chmod(host.c_str(), wanted);
            if (rc != 0)
                return error_from_errno(errno);
        }
    }
    return write_stored_bits(host, fd, bits & (dir ? kStoredDirBits : kStoredFileBits));
}

struct Resolved {
    HostPath hp;
    struct stat st {};
    bool exists = false;
    bool dir = false;
};

bool ends_with_separator(std::wstring_view p) {
    return !p.empty() && (p.back() == L'\\' || p.back() == L'/');
}

DWORD missing_error(const Resolved& r) {
    return r.hp.parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD resolve(LPCWSTR path, Resolved& r, std::size_t limit = MAX_PATH) {
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (DWORD e = Machine::current().map(path, r.hp, limit))
        return e;
    if (r.hp.exists && ::stat(r.hp.host.c_str(), &r.st) == 0) {
        r.exists = true;
        r.dir = S_ISDIR(r.st.st_mode);
        // "file.txt\" names a folder that a file cannot be.
        if (!r.dir && ends_with_separator(path))
            return ERROR_INVALID_NAME;
    }
    return ERROR_SUCCESS;
}

class FileObject : public Object {
public:
    ~FileObject() override {
        if (delete_on_close) {
            struct stat now {};
            if (::stat(host.c_str(), &now) == 0 && now.st_ino == ino && now.st_dev == dev)
                dir ? ::rmdir(host.c_str()) : ::unlink(host.c_str());
        }
        if (fd >= 0)
            ::close(fd);
        lock.reset();
    }

    int fd = -1;
    bool dir = false;
    bool can_read = false;
    bool can_write = false;
    bool delete_on_close = false;
    dev_t dev = 0;
    ino_t ino = 0;
    fs::path host;
    std::unique_ptr<ShareLock> lock;
};

struct OpenResult {
    std::shared_ptr<FileObject> file;
    bool existed = false;
};

DWORD open_file(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                OpenResult& out) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING || (share & ~kAllShare))
        return ERROR_INVALID_PARAMETER;
    if (flags & FILE_FLAG_OVERLAPPED)
        return ERROR_NOT_SUPPORTED; // every handle of the layer is synchronous
    if (flags & FILE_FLAG_DELETE_ON_CLOSE)
        access |= DELETE;
    bool want_read =
        access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE);
    bool want_write = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
    bool append_only =
        (access & FILE_APPEND_DATA) && !(access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA));
    bool truncating = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (disposition == TRUNCATE_EXISTING && !want_write)
        return ERROR_INVALID_PARAMETER;

    Resolved r;
    if (DWORD e = resolve(path, r))
        return e;
    if (r.exists) {
        if (disposition == CREATE_NEW)
            return ERROR_FILE_EXISTS;
        if (r.dir) {
            if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || truncating)
                return ERROR_ACCESS_DENIED;
        } else {
            if ((want_write || truncating || (flags & FILE_FLAG_DELETE_ON_CLOSE)) &&
                is_read_only(r.hp.host, -1, r.st))
                return ERROR_ACCESS_DENIED;
            if (disposition == CREATE_ALWAYS) {
                // Replacing a hidden or system file must say so, or Windows refuses it.
                DWORD old = attributes_of(r.hp.host, -1, r.st);
                DWORD keep = old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
                if ((flags & keep) != keep)
                    return ERROR_ACCESS_DENIED;
            }
        }
    } else {
        if (!r.hp.parent_exists)
            return ERROR_PATH_NOT_FOUND;
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            return ERROR_FILE_NOT_FOUND;
        if (ends_with_separator(path))
            return ERROR_INVALID_NAME;
    }

    int mode = want_read && want_write ? O_RDWR : want_write ? O_WRONLY : O_RDONLY;
    if (append_only)
        mode |= O_APPEND;
    bool created = false;
    int fd = -1;
    if (r.exists) {
        fd = ::open(r.hp.host.c_str(), (r.dir ? O_RDONLY | O_DIRECTORY : mode) | O_CLOEXEC);
    } else {
        fd = ::open(r.hp.host.c_str(), mode | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            created = true;
            apply_inherited_security(r.hp.host, false);
        } else if (errno == EEXIST && disposition != CREATE_NEW) {
            fd = ::open(r.hp.host.c_str(), mode | O_CLOEXEC); // made meanwhile by another
        } else if (errno == EEXIST) {
            return ERROR_FILE_EXISTS;
        }
    }
    if (fd < 0)
        return error_from_errno(errno, !r.hp.parent_exists);

    auto file = std::make_shared<FileObject>();
    file->fd = fd;
    file->host = r.hp.host;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        DWORD e = error_from_errno(errno);
        if (created)
            ::unlink(r.hp.host.c_str());
        return e;
    }
    file->dev = st.st_dev;
    file->ino = st.st_ino;
    file->dir = S_ISDIR(st.st_mode);
    file->can_read = want_read;
    file->can_write = want_write;
    if (DWORD e = ShareLock::acquire(st, share_rights_of_access(access), share, file->lock)) {
        if (created)
            ::unlink(r.hp.host.c_str());
        return e;
    }
    if (!created && truncating && ::ftruncate(fd, 0) != 0) {
        // The descriptor may be read-only; the truncation is the disposition's, not the
        // caller's access.
        if (errno != EBADF && errno != EINVAL)
            return error_from_errno(errno);
        if (::truncate(r.hp.host.c_str(), 0) != 0)
            return error_from_errno(errno);
    }
    if (created || disposition == CREATE_ALWAYS) {
        // A new or replaced file takes the caller's attributes; the handle stays writable
        // even when they make the file read-only.
        DWORD attributes = (flags & kSettableBits) | FILE_ATTRIBUTE_ARCHIVE;
        if (DWORD e = apply_attributes(r.hp.host, fd, st, attributes)) {
            if (created) {
                file->lock.reset();
                ::unlink(r.hp.host.c_str());
            }
            return e;
        }
    }
    file->delete_on_close = (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    out.file = std::move(file);
    out.existed = !created;
    return ERROR_SUCCESS;
}

std::shared_ptr<FileObject> file_handle(HANDLE h) {
    auto f = lookup_handle_as<FileObject>(h);
    return f;
}

FILETIME filetime_of(const struct timespec& ts) {
    return filetime_from_unix(ts.tv_sec, ts.tv_nsec);
}

// Creation time from statx where the file system records it, else the change time.
FILETIME creation_time(int fd, const fs::path& host, const struct stat& st) {
    struct statx sx {};
    int rc = fd >= 0 ? ::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx)
                     : ::statx(AT_FDCWD, host.c_str(), 0, STATX_BTIME, &sx);
    if (rc == 0 && (sx.stx_mask & STATX_BTIME))
        return filetime_from_unix(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
    return filetime_of(st.st_ctim);
}

DWORD volume_serial(dev_t dev) {
    auto d = static_cast<std::uint64_t>(dev);
    return static_cast<DWORD>((d * 0x9E3779B97F4A7C15ull) >> 32);
}

// ---- searches --------------------------------------------------------------------------

struct FoundEntry {
    std::wstring name;
    DWORD attributes = 0;
    FILETIME created{}, accessed{}, written{};
    std::uint64_t size = 0;
};

class FindObject : public Object {
public:
    std::vector<FoundEntry> entries;
    std::size_t next = 0;
};

bool wildcard_match(std::wstring_view mask, std::wstring_view name) {
    std::size_t m = 0, n = 0, star = std::wstring_view::npos, mark = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == L'?' || upper_char(mask[m]) == upper_char(name[n]))) {
            ++m;
            ++n;
        } else if (m < mask.size() && mask[m] == L'*') {
            star = m++;
            mark = n;
        } else if (star != std::wstring_view::npos) {
            m = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == L'*')
        ++m;
    return m == mask.size();
}

FoundEntry entry_of(const fs::path& host, std::wstring name) {
    FoundEntry e;
    e.name = std::move(name);
    struct stat st {};
    if (::stat(host.c_str(), &st) != 0)
        return e;
    e.attributes = attributes_of(host, -1, st);
    e.created = creation_time(-1, host, st);
    e.accessed = filetime_of(st.st_atim);
    e.written = filetime_of(st.st_mtim);
    e.size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    return e;
}

void fill_find_data(const FoundEntry& e, WIN32_FIND_DATAW* data) {
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = e.attributes;
    data->ftCreationTime = e.created;
    data->ftLastAccessTime = e.accessed;
    data->ftLastWriteTime = e.written;
    data->nFileSizeHigh = static_cast<DWORD>(e.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(e.size);
    std::size_t n = std::min<std::size_t>(e.name.size(), MAX_PATH - 1);
    std::copy_n(e.name.begin(), n, data->cFileName);
    data->cFileName[n] = 0;
}

} // namespace

FILETIME filetime_from_unix(std::int64_t seconds, std::int64_t nanoseconds) {
    constexpr std::int64_t kEpochDifference = 11644473600; // 1601-01-01 to 1970-01-01
    std::uint64_t t = static_cast<std::uint64_t>(seconds + kEpochDifference) * 10000000ull +
                      static_cast<std::uint64_t>(nanoseconds / 100);
    return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

DWORD host_file_attributes(const fs::path& host) {
    struct stat st {};
    if (::stat(host.c_str(), &st) != 0)
        return INVALID_FILE_ATTRIBUTES;
    return attributes_of(host, -1, st);
}

// ---- folders ---------------------------------------------------------------------------

BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* /*security*/) {
    Resolved r;
    if (DWORD e = resolve(path, r, kDirectoryLimit))
        return fail(e);
    if (r.hp.is_root)
        return fail(ERROR_ACCESS_DENIED);
    if (r.exists)
        return fail(ERROR_ALREADY_EXISTS);
    if (!r.hp.parent_exists)
        return fail(ERROR_PATH_NOT_FOUND);
    if (::mkdir(r.hp.host.c_str(), 0777) != 0)
        return fail(error_from_errno(errno, true));
    apply_inherited_security(r.hp.host, true);
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
    Resolved r;
    if (DWORD e = resolve(path, r))
        return fail(e);
    if (!r.exists)
        return fail(missing_error(r));
    if (!r.dir)
        return fail(ERROR_DIRECTORY);
    if (r.hp.is_root || is_read_only(r.hp.host, -1, r.st))
        return fail(ERROR_ACCESS_DENIED);
    // The process's current folder is held open, without delete sharing.
    if (iequals(r.hp.full, Machine::current().current_directory()))
        return fail(ERROR_SHARING_VIOLATION);
    std::unique_ptr<ShareLock> lock;
    if (DWORD e = ShareLock::acquire(r.st, kShareDelete, kAllShare, lock))
        return fail(e);
    if (::rmdir(r.hp.host.c_str()) != 0) {
        int e = errno;
        return fail(e == EEXIST ? ERROR_DIR_NOT_EMPTY : error_from_errno(e));
    }
    return TRUE;
}

BOOL SetCurrentDirectoryW(LPCWSTR path) {
    Resolved r;
    if (DWORD e = resolve(path, r, MAX_PATH - 1))
        return fail(e);
    if (!r.exists)
        return fail(missing_error(r));
    if (!r.dir)
        return fail(ERROR_DIRECTORY);
    Machine::current().set_current_directory(r.hp.full);
    return TRUE;
}

DWORD GetCurrentDirectoryW(DWORD length, LPWSTR buffer) {
    std::wstring cwd = Machine::current().current_directory();
    if (!buffer || length <= cwd.size())
        return static_cast<DWORD>(cwd.size() + 1);
    std::copy(cwd.begin(), cwd.end(), buffer);
    buffer[cwd.size()] = 0;
    return static_cast<DWORD>(cwd.size());
}

DWORD GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer, LPWSTR* file_part) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring full;
    if (DWORD e = Machine::current().full_path(name, full)) {
        SetLastError(e);
        return 0;
    }
    if (ends_with_separator(name) && !ends_with_separator(full))
        full += L'\\';
    if (!buffer || length <= full.size())
        return static_cast<DWORD>(full.size() + 1);
    std::copy(full.begin(), full.end(), buffer);
    buffer[full.size()] = 0;
    if (file_part) {
        std::size_t cut = full.rfind(L'\\') + 1;
        *file_part = cut < full.size() ? buffer + cut : nullptr;
    }
    return static_cast<DWORD>(full.size());
}

// ---- files by name ---------------------------------------------------------------------

BOOL DeleteFileW(LPCWSTR path) {
    Resolved r;
    if (DWORD e = resolve(path, r))
        return fail(e);
    if (!r.exists)
        return fail(missing_error(r));
    if (r.dir || is_read_only(r.hp.host, -1, r.st))
        return fail(ERROR_ACCESS_DENIED);
    // Held until the name is gone, so no opener without delete sharing slips in between.
    std::unique_ptr<ShareLock> lock;
    if (DWORD e = ShareLock::acquire(r.st, kShareDelete, kAllShare, lock))
        return fail(e);
    if (::unlink(r.hp.host.c_str()) != 0)
        return fail(error_from_errno(errno));
    return TRUE;
}

BOOL CopyFileW(LPCWSTR existing, LPCWSTR new_name, BOOL fail_if_exists) {
    OpenResult src;
    if (DWORD e = open_file(existing, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            OPEN_EXISTING, 0, src))
        return fail(e);
    struct stat sst {};
    if (::fstat(src.file->fd, &sst) != 0)
        return fail(error_from_errno(errno));
    DWORD attributes = attributes_of(src.file->host, src.file->fd, sst);
    OpenResult dst;
    if (DWORD e = open_file(new_name, GENERIC_WRITE, 0, fail_if_exists ? CREATE_NEW : CREATE_ALWAYS,
                            attributes & kSettableBits, dst))
        return fail(e);
    std::vector<char> buf(1 << 16);
    DWORD error = ERROR_SUCCESS;
    for (;;) {
        ssize_t n = ::read(src.file->fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = error_from_errno(errno);
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w =
                ::write(dst.file->fd, buf.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                error = error_from_errno(errno);
                break;
            }
            done += w;
        }
        if (error)
            break;
    }
    if (!error) {
        // A copy keeps the original's last-write time, as on Windows.
        struct timespec times[2] = {{0, UTIME_NOW}, sst.st_mtim};
        if (::futimens(dst.file->fd, times) != 0)
            error = error_from_errno(errno);
    }
    if (error) {
        fs::path host = dst.file->host;
        dst.file.reset();
        ::unlink(host.c_str());
        return fail(error);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL MoveFileW(LPCWSTR existing, LPCWSTR new_name) {
    Resolved src, dst;
    if (DWORD e = resolve(existing, src))
        return fail(e);
    if (!src.exists)
        return fail(missing_error(src));
    if (DWORD e = resolve(new_name, dst))
        return fail(e);
    bool same = dst.exists && dst.st.st_ino == src.st.st_ino && dst.st.st_dev == src.st.st_dev;
    if (dst.exists && !same)
        return fail(ERROR_ALREADY_EXISTS);
    if (!dst.exists && !dst.hp.parent_exists)
        return fail(ERROR_PATH_NOT_FOUND);
    if (src.dir && upper_char(src.hp.full[0]) != upper_char(dst.hp.full[0]))
        return fail(ERROR_NOT_SAME_DEVICE);
    if (src.hp.is_root)
        return fail(ERROR_ACCESS_DENIED);
    std::unique_ptr<ShareLock> lock;
    if (DWORD e = ShareLock::acquire(src.st, kShareDelete, kAllShare, lock))
        return fail(e);
    // The new name as the caller spelt it (a rename may only change the case).
    std::wstring_view full = dst.hp.full;
    fs::path target = dst.hp.host.parent_path() / to_utf8(full.substr(full.rfind(L'\\') + 1));
    int rc = same ? ::rename(src.hp.host.c_str(), target.c_str())
                  : ::renameat2(AT_FDCWD, src.hp.host.c_str(), AT_FDCWD, target.c_str(),
                                RENAME_NOREPLACE);
    if (rc != 0 && !same && errno == EINVAL) {
        // A file system without RENAME_NOREPLACE: the check above has to do.
        rc = ::rename(src.hp.host.c_str(), target.c_str());
    }
    if (rc != 0) {
        int e = errno;
        return fail(e == EEXIST ? ERROR_ALREADY_EXISTS : error_from_errno(e, true));
    }
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
    Resolved r;
    if (DWORD e = resolve(path, r)) {
        SetLastError(e);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!r.exists) {
        SetLastError(missing_error(r));
        return INVALID_FILE_ATTRIBUTES;
    }
    return attributes_of(r.hp.host, -1, r.st);
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
    Resolved r;
    if (DWORD e = resolve(path, r))
        return fail(e);
    if (!r.exists)
        return fail(missing_error(r));
    if (DWORD e = apply_attributes(r.hp.host, -1, r.st, attributes))
        return fail(e);
    return TRUE;
}

// ---- temporary files -------------------------------------------------------------------

DWORD GetTempPathW(DWORD length, LPWSTR buffer) {
    Machine& m = Machine::current();
    std::wstring path = from_utf8(m.setting("user", "temp_path"));
    if (path.empty())
        path = m.user_profile() + L"\\AppData\\Local\\Temp";
    if (!ends_with_separator(path))
        path += L'\\';
    if (!buffer || length <= path.size())
        return static_cast<DWORD>(path.size() + 1);
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

UINT GetTempFileNameW(LPCWSTR path, LPCWSTR prefix, UINT unique, LPWSTR temp_file_name) {
    if (!path || !temp_file_name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring base = path;
    if (base.size() > MAX_PATH - 14) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    if (!base.empty() && !ends_with_separator(base))
        base += L'\\';
    if (prefix)
        base += std::wstring_view(prefix).substr(0, 3);
    auto name_for = [&](UINT n) {
        wchar_t hex[8];
        std::swprintf(hex, 8, L"%X", n);
        return base + hex + L".tmp";
    };
    auto give = [&](const std::wstring& name, UINT n) -> UINT {
        std::copy(name.begin(), name.end(), temp_file_name);
        temp_file_name[name.size()] = 0;
        return n;
    };
    unique &= 0xFFFF;
    if (unique != 0)
        return give(name_for(unique), unique);

    Resolved folder;
    DWORD e = resolve(path, folder);
    if (e || !folder.exists || !folder.dir) {
        SetLastError(ERROR_DIRECTORY);
        return 0;
    }
    // Start where the clock says, like Windows, so two processes rarely meet.
    static std::atomic<UINT> counter{static_cast<UINT>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid())};
    UINT start = counter.fetch_add(1) & 0xFFFF;
    for (UINT i = 0; i < 0x10000; ++i) {
        UINT n = (start + i) & 0xFFFF;
        if (n == 0)
            continue;
        std::wstring name = name_for(n);
        OpenResult made;
        e = open_file(name.c_str(), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, made);
        if (e == ERROR_SUCCESS) {
            counter.store(n + 1);
            SetLastError(ERROR_SUCCESS);
            return give(name, n);
        }
        if (e != ERROR_FILE_EXISTS && e != ERROR_ACCESS_DENIED) {
            SetLastError(e);
            return 0;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

// ---- handles ---------------------------------------------------------------------------

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* /*security*/,
                   DWORD disposition, DWORD flags, HANDLE /*template_file*/) {
    OpenResult r;
    if (DWORD e = open_file(path, access, share, disposition, flags, r)) {
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = insert_handle(r.file);
    bool reports_existing = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(r.existed && reports_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD to_read, DWORD* read, OVERLAPPED* overlapped) {
    auto f = file_handle(h);
    if (!f)
        return FALSE;
    if (!read && !overlapped)
        return fail(ERROR_NOACCESS);
    if (read)
        *read = 0;
    if (f->dir)
        return fail(ERROR_INVALID_FUNCTION);
    if (!f->can_read)
        return fail(ERROR_ACCESS_DENIED);
    if (!buffer && to_read)
        return fail(ERROR_NOACCESS);
    auto* out = static_cast<char*>(buffer);
    off_t at =
        overlapped
            ? static_cast<off_t>((std::uint64_t(overlapped->OffsetHigh) << 32) | overlapped->Offset)
            : -1;
    DWORD done = 0;
    while (done < to_read) {
        ssize_t n = at >= 0 ? ::pread(f->fd, out + done, to_read - done, at + done)
                            : ::read(f->fd, out + done, to_read - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (read)
                *read = done;
            return fail(error_from_errno(errno));
        }
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
    }
    if (at >= 0) {
        ::lseek(f->fd, at + done, SEEK_SET);
        overlapped->InternalHigh = done;
    }
    if (read)
        *read = done;
    return TRUE;
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD to_write, DWORD* written, OVERLAPPED* overlapped) {
    auto f = file_handle(h);
    if (!f)
        return FALSE;
    if (!written && !overlapped)
        return fail(ERROR_NOACCESS);
    if (written)
        *written = 0;
    if (f->dir)
        return fail(ERROR_INVALID_FUNCTION);
    if (!f->can_write)
        return fail(ERROR_ACCESS_DENIED);
    if (!buffer && to_write)
        return fail(ERROR_NOACCESS);
    const auto* in = static_cast<const char*>(buffer);
    off_t at =
        overlapped
            ? static_cast<off_t>((std::uint64_t(overlapped->OffsetHigh) << 32) | overlapped->Offset)
            : -1;
    DWORD done = 0;
    while (done < to_write) {
        ssize_t n = at >= 0 ? ::pwrite(f->fd, in + done, to_write - done, at + done)
                            : ::write(f->fd, in + done, to_write - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (written)
                *written = done;
            return fail(n == 0 ? ERROR_DISK_FULL : error_from_errno(errno));
        }
        done += static_cast<DWORD>(n);
    }
    if (at >= 0) {
        ::lseek(f->fd, at + done, SEEK_SET);
        overlapped->InternalHigh = done;
    }
    if (written)
        *written = done;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE h, LARGE_INTEGER distance, LARGE_INTEGER* new_position, DWORD method) {
    auto f = file_handle(h);
    if (!f)
        return FALSE;
    if (method > FILE_END)
        return fail(ERROR_INVALID_PARAMETER);
    off_t base = 0;
    if (method == FILE_CURRENT) {
        base = ::lseek(f->fd, 0, SEEK_CUR);
    } else if (method == FILE_END) {
        struct stat st {};
        if (::fstat(f->fd, &st) != 0)
            return fail(error_from_errno(errno));
        base = st.st_size;
    }
    if (base < 0)
        return fail(error_from_errno(errno));
    LONGLONG target = 0;
    if (__builtin_add_overflow(static_cast<LONGLONG>(base), distance.QuadPart, &target) ||
        target < 0)
        return fail(ERROR_NEGATIVE_SEEK);
    if (::lseek(f->fd, static_cast<off_t>(target), SEEK_SET) < 0)
        return fail(error_from_errno(errno));
    if (new_position)
        new_position->QuadPart = target;
    return TRUE;
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distance_high, DWORD method) {
    LARGE_INTEGER d{};
    if (distance_high)
        d.QuadPart =
            static_cast<LONGLONG>((std::uint64_t(static_cast<DWORD>(*distance_high)) << 32) |
                                  static_cast<DWORD>(distance));
    else
        d.QuadPart = distance;
    auto f = file_handle(h);
    if (!f)
        return INVALID_SET_FILE_POINTER;
    off_t old = ::lseek(f->fd, 0, SEEK_CUR);
    LARGE_INTEGER pos{};
    if (!SetFilePointerEx(h, d, &pos, method))
        return INVALID_SET_FILE_POINTER;
    if (!distance_high && pos.QuadPart > 0xFFFFFFFELL) {
        // The answer would not fit the return value: stay where we were.
        ::lseek(f->fd, old, SEEK_SET);
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (distance_high)
        *distance_high = static_cast<LONG>(pos.QuadPart >> 32);
    SetLastError(ERROR_SUCCESS); // tells a position ending in 0xFFFFFFFF from a failure
    return static_cast<DWORD>(pos.QuadPart);
}

BOOL GetFileSizeEx(HANDLE h, LARGE_INTEGER* size) {
    auto f = file_handle(h);
    if (!f)
        return FALSE;
    if (!size)
        return fail(ERROR_NOACCESS);
    struct stat st {};
    if (::fstat(f->fd, &st) != 0)
        return fail(error_from_errno(errno));
    size->QuadPart = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    return TRUE;
}

DWORD GetFileSize(HANDLE h, DWORD* size_high) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size))
        return INVALID_FILE_SIZE;
    if (size_high)
        *size_high = static_cast<DWORD>(size.QuadPart >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size.QuadPart);
}

BOOL SetEndOfFile(HANDLE h) {
    auto f = file_handle(h);
    if (!f)
        return FALSE;
    if (f->dir || !f->can_write)
        return fail(ERROR_ACCESS_DENIED);
    off_t at = ::lseek(f->fd, 0, SEEK_CUR);
    if (at < 0 || ::ftruncate(f->fd, at) != 0)
        return fail(error_from_errno(errno));
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE h) {
    auto f = file_handle(h);
    if (!f)
        return FALSE;
    if (!f->can_write)
        return fail(ERROR_ACCESS_DENIED);
    if (::fsync(f->fd) != 0)
        return fail(error_from_errno(errno));
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
    auto f = file_handle(h);
    if (!f)
        return FALSE;
    if (!info)
        return fail(ERROR_NOACCESS);
    struct stat st {};
    if (::fstat(f->fd, &st) != 0)
        return fail(error_from_errno(errno));
    *info = BY_HANDLE_FILE_INFORMATION{};
    info->dwFileAttributes = attributes_of(f->host, f->fd, st);
    info->ftCreationTime = creation_time(f->fd, f->host, st);
    info->ftLastAccessTime = filetime_of(st.st_atim);
    info->ftLastWriteTime = filetime_of(st.st_mtim);
    info->dwVolumeSerialNumber = volume_serial(st.st_dev);
    std::uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info->nFileSizeLow = static_cast<DWORD>(size);
    info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    auto ino = static_cast<std::uint64_t>(st.st_ino);
    info->nFileIndexHigh = static_cast<DWORD>(ino >> 32);
    info->nFileIndexLow = static_cast<DWORD>(ino);
    return TRUE;
}

// ---- searches --------------------------------------------------------------------------

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
    if (!pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring_view p = pattern;
    // "C:\dir\" asks for nothing inside the folder.
    if (p.empty() || ends_with_separator(p)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::size_t cut = p.find_last_of(L"\\/");
    std::wstring folder, mask;
    if (cut == std::wstring_view::npos) {
        bool drive = p.size() >= 2 && p[1] == L':';
        folder = drive ? std::wstring(p.substr(0, 2)) : std::wstring(L".");
        mask = p.substr(drive ? 2 : 0);
    } else {
        folder = p.substr(0, cut == 0 || (cut == 2 && p[1] == L':') ? cut + 1 : cut);
        mask = p.substr(cut + 1);
    }
    if (mask == L"*.*")
        mask = L"*";
    Resolved dir;
    DWORD e = resolve(folder.c_str(), dir);
    if (e || !dir.exists || !dir.dir) {
        SetLastError(e && e != ERROR_FILE_NOT_FOUND ? e : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto find = std::make_shared<FindObject>();
    if (!dir.hp.is_root) {
        // Windows lists the folder itself and its parent first.
        if (wildcard_match(mask, L"."))
            find->entries.push_back(entry_of(dir.hp.host, L"."));
        if (wildcard_match(mask, L".."))
            find->entries.push_back(entry_of(dir.hp.host.parent_path(), L".."));
    }
    std::vector<FoundEntry> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir.hp.host, ec), end; !ec && it != end; it.increment(ec)) {
        std::wstring name = from_utf8(it->path().filename().string());
        if (wildcard_match(mask, name))
            found.push_back(entry_of(it->path(), std::move(name)));
    }
    if (ec) {
        SetLastError(error_from_errno(ec.value(), true));
        return INVALID_HANDLE_VALUE;
    }
    std::sort(found.begin(), found.end(), [](const FoundEntry& a, const FoundEntry& b) {
        return upper(a.name) < upper(b.name);
    });
    for (auto& f : found)
        find->entries.push_back(std::move(f));
    if (find->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    fill_find_data(find->entries[0], data);
    find->next = 1;
    SetLastError(ERROR_SUCCESS);
    return insert_handle(std::move(find));
}

BOOL FindNextFileW(HANDLE h, WIN32_FIND_DATAW* data) {
    auto find = lookup_handle_as<FindObject>(h);
    if (!find)
        return FALSE;
    if (!data)
        return fail(ERROR_NOACCESS);
    if (find->next >= find->entries.size())
        return fail(ERROR_NO_MORE_FILES);
    fill_find_data(find->entries[find->next++], data);
    return TRUE;
}

BOOL FindClose(HANDLE h) {
    if (!lookup_handle_as<FindObject>(h))
        return FALSE;
    remove_handle(h);
    return TRUE;
}

} // namespace win32
