// C++ streams over file HANDLEs, so that stream code opens files under the same share-mode
// rules as CreateFileW (a writer that shares nothing keeps every other opener out; a reader
// that lets others read refuses writers). Failures are recorded the way the Windows C
// runtime records them: the Windows code in crt_doserrno() and the matching errno value.
#pragma once

#include "win32/files.h"
#include "win32/types.h"

#include <ios>
#include <istream>
#include <streambuf>
#include <string_view>
#include <vector>

namespace win32 {

// The runtime's last operating-system error of this thread (0 when none was recorded). The
// program clears it (and errno) before a stream operation whose failure it wants to explain.
DWORD& crt_doserrno();
// The errno value the runtime gives a Windows code (EACCES for a sharing violation, ...).
int errno_from_error(DWORD code);
// Records a failure: crt_doserrno() = code and errno = errno_from_error(code).
void set_crt_error(DWORD code);

class handle_streambuf : public std::streambuf {
public:
    handle_streambuf();
    ~handle_streambuf() override;
    handle_streambuf(const handle_streambuf&) = delete;
    handle_streambuf& operator=(const handle_streambuf&) = delete;

    // Opens a file of the machine. `mode` must hold std::ios::binary (the layer never
    // translates line ends) and one of the standard combinations: in (open existing), out or
    // out|trunc (create or truncate), app or out|app (append, create if missing), in|out,
    // in|out|trunc, in|app or in|out|app; ate seeks to the end once open. `share` is a
    // FILE_SHARE_* mask. Returns this, or null with the failure recorded.
    handle_streambuf* open(std::wstring_view path, std::ios_base::openmode mode,
                           DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE);
    // Writes what is buffered and closes the handle. Null when either failed.
    handle_streambuf* close();
    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return handle_; }
    // The Windows code of the last failure of this buffer (0 when none).
    DWORD last_error() const { return error_; }

protected:
    int_type underflow() override;
    int_type overflow(int_type c) override;
    int sync() override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

private:
    bool flush_put();
    bool drop_get();
    void record(DWORD code);

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::ios_base::openmode mode_{};
    std::vector<char> buffer_;
    DWORD error_ = 0;
};

// An input and output stream over a handle_streambuf (the counterpart of a file stream with
// a share-mode argument).
class file_stream : public std::iostream {
public:
    file_stream();
    file_stream(std::wstring_view path, std::ios_base::openmode mode,
                DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE);
    // Sets failbit when the file cannot be opened (the buffer's last_error() says why).
    void open(std::wstring_view path, std::ios_base::openmode mode,
              DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE);
    // Sets failbit when what was buffered cannot be written or the handle cannot be closed.
    void close();
    bool is_open() const { return buffer_.is_open(); }
    handle_streambuf* rdbuf() const { return const_cast<handle_streambuf*>(&buffer_); }

private:
    handle_streambuf buffer_;
};

} // namespace win32
