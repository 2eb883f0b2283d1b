#include "win32/filestream.h"

#include "win32/error.h"
#include "win32/handles.h"

#include <algorithm>
#include <cerrno>
#include <string>

namespace win32 {

namespace {
constexpr std::size_t kBufferSize = 4096;
thread_local DWORD t_doserrno = 0;
} // namespace

DWORD& crt_doserrno() {
    return t_doserrno;
}

int errno_from_error(DWORD code) {
    switch (code) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
        return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_WRITE_PROTECT:
    case ERROR_CANNOT_MAKE:
        return EACCES;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_BROKEN_PIPE:
        return EPIPE;
    case ERROR_NEGATIVE_SEEK:
        return EINVAL;
    default:
        return EINVAL;
    }
}

void set_crt_error(DWORD code) {
    t_doserrno = code;
    errno = errno_from_error(code);
}

handle_streambuf::handle_streambuf() = default;

handle_streambuf::~handle_streambuf() {
    close();
}

void handle_streambuf::record(DWORD code) {
    error_ = code;
    set_crt_error(code);
}

handle_streambuf* handle_streambuf::open(std::wstring_view path, std::ios_base::openmode mode,
                                         DWORD share) {
    using std::ios_base;
    if (is_open())
        return nullptr;
    error_ = 0;
    ios_base::openmode kind =
        mode & (ios_base::in | ios_base::out | ios_base::app | ios_base::trunc);
    DWORD access = 0, disposition = 0;
    if (kind == ios_base::out || kind == (ios_base::out | ios_base::trunc)) {
        access = GENERIC_WRITE, disposition = CREATE_ALWAYS;
    } else if (kind == ios_base::app || kind == (ios_base::out | ios_base::app)) {
        access = FILE_APPEND_DATA, disposition = OPEN_ALWAYS;
    } else if (kind == ios_base::in) {
        access = GENERIC_READ, disposition = OPEN_EXISTING;
    } else if (kind == (ios_base::in | ios_base::out)) {
        access = GENERIC_READ | GENERIC_WRITE, disposition = OPEN_EXISTING;
    } else if (kind == (ios_base::in | ios_base::out | ios_base::trunc)) {
        access = GENERIC_READ | GENERIC_WRITE, disposition = CREATE_ALWAYS;
    } else if (kind == (ios_base::in | ios_base::app) ||
               kind == (ios_base::in | ios_base::out | ios_base::app)) {
        access = GENERIC_READ | FILE_APPEND_DATA, disposition = OPEN_ALWAYS;
    }
    if (disposition == 0 || !(mode & ios_base::binary)) {
        record(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::wstring p(path);
    HANDLE h =
        CreateFileW(p.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        record(GetLastError());
        return nullptr;
    }
    handle_ = h;
    mode_ = mode;
    buffer_.resize(kBufferSize);
    setg(nullptr, nullptr, nullptr);
    setp(nullptr, nullptr);
    if (mode & ios_base::ate) {
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(h, zero, nullptr, FILE_END)) {
            record(GetLastError());
            CloseHandle(h);
            handle_ = INVALID_HANDLE_VALUE;
            return nullptr;
        }
    }
    return this;
}

handle_streambuf* handle_streambuf::close() {
    if (!is_open())
        return nullptr;
    bool ok = flush_put();
    if (!CloseHandle(handle_)) {
        record(GetLastError());
        ok = false;
    }
    handle_ = INVALID_HANDLE_VALUE;
    setg(nullptr, nullptr, nullptr);
    setp(nullptr, nullptr);
    return ok ? this : nullptr;
}

bool handle_streambuf::flush_put() {
    if (!pbase() || pptr() == pbase())
        return true;
    DWORD count = static_cast<DWORD>(pptr() - pbase());
    DWORD written = 0;
    bool ok = WriteFile(handle_, pbase(), count, &written, nullptr) && written == count;
    if (!ok)
        record(GetLastError() ? GetLastError() : ERROR_WRITE_FAULT);
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return ok;
}

// The handle has read ahead of what the stream consumed: move it back so that the next
// write lands where the reader stopped.
bool handle_streambuf::drop_get() {
    if (!eback())
        return true;
    LARGE_INTEGER back{};
    back.QuadPart = -(egptr() - gptr());
    setg(nullptr, nullptr, nullptr);
    if (back.QuadPart != 0 && !SetFilePointerEx(handle_, back, nullptr, FILE_CURRENT)) {
        record(GetLastError());
        return false;
    }
    return true;
}

handle_streambuf::int_type handle_streambuf::underflow() {
    if (!is_open() || !(mode_ & std::ios_base::in))
        return traits_type::eof();
    if (gptr() && gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    if (pbase()) {
        if (!flush_put())
            return traits_type::eof();
        setp(nullptr, nullptr);
    }
    DWORD read = 0;
    if (!ReadFile(handle_, buffer_.data(), static_cast<DWORD>(buffer_.size()), &read, nullptr)) {
        record(GetLastError());
        return traits_type::eof();
    }
    if (read == 0) {
        setg(nullptr, nullptr, nullptr);
        return traits_type::eof();
    }
    setg(buffer_.data(), buffer_.data(), buffer_.data() + read);
    return traits_type::to_int_type(*gptr());
}

handle_streambuf::int_type handle_streambuf::overflow(int_type c) {
    if (!is_open() || !(mode_ & (std::ios_base::out | std::ios_base::app)))
        return traits_type::eof();
    if (!drop_get())
        return traits_type::eof();
    if (!pbase())
        setp(buffer_.data(), buffer_.data() + buffer_.size());
    else if (!flush_put())
        return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

std::streamsize handle_streambuf::xsputn(const char* s, std::streamsize n) {
    if (n < static_cast<std::streamsize>(buffer_.size()))
        return std::streambuf::xsputn(s, n);
    // Large blocks go straight to the handle.
    if (!is_open() || !(mode_ & (std::ios_base::out | std::ios_base::app)) || !drop_get() ||
        !flush_put())
        return 0;
    std::streamsize done = 0;
    while (done < n) {
        DWORD chunk = static_cast<DWORD>(std::min<std::streamsize>(n - done, 1 << 30));
        DWORD written = 0;
        if (!WriteFile(handle_, s + done, chunk, &written, nullptr)) {
            record(GetLastError());
            return done + written;
        }
        done += written;
    }
    return done;
}

int handle_streambuf::sync() {
    if (!is_open())
        return -1;
    return flush_put() && drop_get() ? 0 : -1;
}

handle_streambuf::pos_type handle_streambuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                                     std::ios_base::openmode) {
    if (!is_open() || !flush_put())
        return pos_type(off_type(-1));
    LARGE_INTEGER distance{};
    distance.QuadPart = off;
    if (dir == std::ios_base::cur && eback())
        distance.QuadPart -= egptr() - gptr(); // the handle is ahead of the reader
    setg(nullptr, nullptr, nullptr);
    DWORD method = dir == std::ios_base::beg   ? FILE_BEGIN
                   : dir == std::ios_base::cur ? FILE_CURRENT
                                               : FILE_END;
    LARGE_INTEGER now{};
    if (!SetFilePointerEx(handle_, distance, &now, method)) {
        record(GetLastError());
        return pos_type(off_type(-1));
    }
    return pos_type(now.QuadPart);
}

handle_streambuf::pos_type handle_streambuf::seekpos(pos_type pos, std::ios_base::openmode which) {
    return seekoff(off_type(pos), std::ios_base::beg, which);
}

file_stream::file_stream() : std::iostream(nullptr) {
    init(&buffer_);
}

file_stream::file_stream(std::wstring_view path, std::ios_base::openmode mode, DWORD share)
    : file_stream() {
    open(path, mode, share);
}

void file_stream::open(std::wstring_view path, std::ios_base::openmode mode, DWORD share) {
    if (buffer_.open(path, mode, share))
        clear();
    else
        setstate(std::ios_base::failbit);
}

void file_stream::close() {
    if (!buffer_.close())
        setstate(std::ios_base::failbit);
}

} // namespace win32
