// The engine's side of the file system: opening each entry's target and reading it back.
#include "package/crc32.h"
#include "package/errors.h"
#include "package/extract.h"
#include "win32/error.h"
#include "win32/files.h"
#include "win32/filestream.h"

#include <atomic>
#include <cerrno>
#include <thread>

namespace dv {
namespace {

std::atomic<std::int64_t> retry_delay_ms{1000};

constexpr int sharing_retries = 3;

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Where the folders of a path begin: after "C:\" or the "\\server\share\" of a UNC path.
std::size_t first_folder_at(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':')
        return path.size() >= 3 && is_separator(path[2]) ? 3 : 2;
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        std::size_t server_end = path.find_first_of(L"\\/", 2);
        if (server_end == std::wstring::npos)
            return path.size();
        std::size_t share_end = path.find_first_of(L"\\/", server_end + 1);
        return share_end == std::wstring::npos ? path.size() : share_end + 1;
    }
    return is_separator(path[0]) ? 1 : 0;
}

bool is_folder(const std::wstring& path) {
    win32::DWORD attributes = win32::GetFileAttributesW(path.c_str());
    return attributes != win32::INVALID_FILE_ATTRIBUTES &&
           (attributes & win32::FILE_ATTRIBUTE_DIRECTORY);
}

[[noreturn]] void raise_file_error(win32::DWORD code, const std::wstring& path, const char* what) {
    throw file_error(system_error_code(code), path, what);
}

// The folder and every missing ancestor, outermost first.
void create_folder_chain(const std::wstring& folder) {
    std::size_t at = first_folder_at(folder);
    while (at < folder.size()) {
        std::size_t end = folder.find_first_of(L"\\/", at);
        if (end == std::wstring::npos)
            end = folder.size();
        if (end > at) {
            std::wstring step = folder.substr(0, end);
            if (!win32::CreateDirectoryW(step.c_str(), nullptr)) {
                win32::DWORD code = win32::GetLastError();
                if (code != win32::ERROR_ALREADY_EXISTS || !is_folder(step))
                    raise_file_error(code, step, "cannot create folder");
            }
        }
        at = end + 1;
    }
}

void clear_runtime_error() {
    win32::crt_doserrno() = 0;
    errno = 0;
}

} // namespace

void set_sharing_retry_delay(std::chrono::milliseconds delay) {
    retry_delay_ms = delay.count();
}

std::chrono::milliseconds sharing_retry_delay() {
    return std::chrono::milliseconds(retry_delay_ms.load());
}

runtime_error_state runtime_error_state::now() {
    return {win32::crt_doserrno(), errno};
}

void raise_stream_failure(const std::wstring& path, const char* what) {
    raise_stream_failure(runtime_error_state::now(), path, what);
}

void raise_stream_failure(runtime_error_state state, const std::wstring& path, const char* what) {
    win32::DWORD os = state.os_error;
    int runtime = state.errno_value;
    if (os != 0)
        throw file_error(system_error_code(os), path, what);
    if (runtime != 0)
        throw file_error(std::error_code(runtime, std::generic_category()), path, what);
    throw std::ios_base::failure(what);
}

// The common case, a new file in an existing folder, costs one open. Only when that open
// fails does the engine look why: a read-only file is made writable, a missing folder chain
// is created, and the open is tried once more. The result is the same as checking first.
std::unique_ptr<win32::file_stream> open_output_file(const std::wstring& path) {
    auto open = [&path] {
        clear_runtime_error();
        // Nobody else may read or write the file while it is being written.
        return std::make_unique<win32::file_stream>(
            path, std::ios_base::out | std::ios_base::trunc | std::ios_base::binary, 0);
    };
    auto file = open();
    if (file->is_open())
        return file;
    runtime_error_state failure = runtime_error_state::now();
    if (failure.os_error == win32::ERROR_ACCESS_DENIED) {
        win32::DWORD attributes = win32::GetFileAttributesW(path.c_str());
        if (attributes == win32::INVALID_FILE_ATTRIBUTES ||
            !(attributes & win32::FILE_ATTRIBUTE_READONLY))
            raise_stream_failure(failure, path, "cannot create the file");
        if (!win32::SetFileAttributesW(path.c_str(), attributes & ~win32::FILE_ATTRIBUTE_READONLY))
            raise_file_error(win32::GetLastError(), path, "cannot make the file writable");
    } else if (failure.os_error == win32::ERROR_PATH_NOT_FOUND) {
        std::size_t cut = path.find_last_of(L"\\/");
        if (cut == std::wstring::npos || cut < first_folder_at(path))
            raise_stream_failure(failure, path, "cannot create the file");
        create_folder_chain(path.substr(0, cut));
    } else {
        raise_stream_failure(failure, path, "cannot create the file");
    }
    file = open();
    if (!file->is_open())
        raise_stream_failure(path, "cannot create the file");
    return file;
}

std::uint32_t file_crc32(const std::wstring& path) {
    for (int attempt = 0;; ++attempt) {
        clear_runtime_error();
        std::uint32_t crc = 0;
        runtime_error_state failure{};
        {
            // Others may read the file meanwhile, but not change it.
            win32::file_stream in(path, std::ios_base::in | std::ios_base::binary,
                                  win32::FILE_SHARE_READ);
            if (in.is_open()) {
                char buffer[4096];
                while (in.read(buffer, sizeof buffer), in.gcount() > 0)
                    crc = crc32_update(crc, buffer, static_cast<std::size_t>(in.gcount()));
                if (in.eof() && !in.bad() && win32::crt_doserrno() == 0)
                    return crc;
            }
            failure = runtime_error_state::now();
        }
        if (failure.os_error == win32::ERROR_SHARING_VIOLATION && attempt < sharing_retries) {
            std::this_thread::sleep_for(sharing_retry_delay());
            continue;
        }
        raise_stream_failure(failure, path, "cannot read the file back");
    }
}

} // namespace dv
