// The extraction engine: decompresses the package in one streaming pass, parses its index,
// writes every file to its target, reads it back to verify its CRC-32, and reports each step
// to the caller's callback, whose answers can skip a file or cancel the whole run.
#pragma once

#include "dv/memstream.h"
#include "package/archive.h"
#include "package/tokens.h"
#include "win32/filestream.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <variant>

namespace dv {

// One event of an extraction, handed to the callback by value.
struct notification {
    struct start {};
    struct finish {
        std::uint64_t compressed; // bytes read from the package stream
        std::uint64_t total;      // archive length
    };
    struct file_begin {
        const package_entry& entry; // its data starts now
    };
    struct file_end {
        const package_entry& entry; // written and verified
    };
    struct progress {
        std::uint64_t position; // archive bytes consumed, header included
        std::uint64_t total;
    };
    struct error {
        std::error_code code;
        std::wstring path; // may be empty
    };

    // The callback's answer. Any value but cancel and skip proceeds; skip counts only as the
    // answer to file_begin.
    enum result : int { proceed = 0, cancel = 1, skip = 2 };

    std::variant<start, finish, file_begin, file_end, progress, error> event;

    std::size_t index() const { return event.index(); }
    template <class T> const T* get() const { return std::get_if<T>(&event); }
};

using extract_callback = std::function<notification::result(notification)>;

// A failure of the file system: the Windows error (system category) and the path it concerns.
class file_error : public std::system_error {
public:
    file_error(std::error_code code, std::wstring path, const char* what)
        : std::system_error(code, what), path_(std::move(path)) {}
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

// The delay between attempts when a file being read back is held by another process
// (1 second; tests shorten it).
void set_sharing_retry_delay(std::chrono::milliseconds delay);
std::chrono::milliseconds sharing_retry_delay();

// CRC-32 of a file's bytes on disk, read allowing other readers only. A sharing violation is
// retried three times. Throws file_error (or std::ios_base::failure) when it cannot be read.
std::uint32_t file_crc32(const std::wstring& path);

// Opens an entry's target for writing with no sharing, creating missing folders and making an
// existing read-only file writable first. Throws file_error.
std::unique_ptr<win32::file_stream> open_output_file(const std::wstring& path);

// The error the C runtime recorded for the last stream operation: the Windows code, and the
// errno value beside it.
struct runtime_error_state {
    unsigned long os_error = 0;
    int errno_value = 0;
    static runtime_error_state now();
};

// Throws the failure of a stream operation on `path` as the runtime recorded it: a
// file_error with the Windows code (system category), else with errno (generic category),
// else a plain stream failure.
[[noreturn]] void raise_stream_failure(const std::wstring& path, const char* what);
[[noreturn]] void raise_stream_failure(runtime_error_state state, const std::wstring& path,
                                       const char* what);

// The engine's output device: takes the decompressed archive in pieces of any size, and
// accepts fewer bytes than offered whenever the offer crosses the end of the current region
// (the header length, the index, an entry); the rest must be offered again.
class package_sink {
public:
    package_sink(path_table paths, extract_callback callback);
    ~package_sink();
    package_sink(const package_sink&) = delete;
    package_sink& operator=(const package_sink&) = delete;

    // Returns the number of bytes accepted. Throws on failure; from then on the sink is
    // aborted and accepts and discards everything.
    std::streamsize write(const char* bytes, std::streamsize count);

    bool aborted() const { return aborted_; }
    bool file_open() const { return file_open_; }
    std::uint64_t header_size() const { return header_size_; }
    std::uint64_t position() const { return position_; }
    std::uint64_t total() const { return total_; }
    std::uint32_t current_index() const { return index_; }
    const std::vector<package_entry>& entries() const { return entries_; }
    // The entry whose data is current (only while file_open()).
    const package_entry& current_entry() const { return entries_[index_ - 1]; }
    // The first failure that left write(), if any.
    std::exception_ptr failure() const { return failure_; }

private:
    std::streamsize write_header(const char* bytes, std::streamsize count);
    std::streamsize write_data(const char* bytes, std::streamsize count);
    void read_index();
    void begin_entry();
    void end_entry();
    void settle_empty_entries();
    notification::result notify(notification n);

    path_table paths_;
    extract_callback callback_;
    std::vector<package_entry> entries_;
    std::uint64_t header_size_ = 0;
    std::uint64_t position_ = 0;
    std::uint64_t total_ = 0;
    std::unique_ptr<memstream> header_;
    std::unique_ptr<win32::file_stream> file_;
    std::uint32_t index_ = 0;
    bool file_open_ = false;
    std::uint64_t remaining_ = 0;
    bool skip_ = false;
    bool aborted_ = false;
    std::exception_ptr failure_;
};

// Extracts a package (one bzip2 stream) read from `source`. True when the whole archive was
// processed and every written file verified; false after a failure, which the callback has
// then seen as exactly one notification::error. An empty callback is refused (false,
// ERROR_INVALID_PARAMETER) since failures could not be reported.
bool extract_package(std::istream& source, const path_table& paths, extract_callback callback);

// The same run over an archive that is not compressed, fed to the sink in pieces of
// `chunk` bytes (the fuzzer and the tests drive the sink this way).
bool extract_archive(std::istream& archive, const path_table& paths, extract_callback callback,
                     std::size_t chunk = 4096);

// The code an error event carries for a failure, and the path the failure itself names.
struct failure_info {
    std::error_code code;
    std::wstring path;
};
failure_info describe_failure(std::exception_ptr failure);

} // namespace dv
