// Error codes of the package engine: its own `compress` category, and the text form the
// installer shows for a code of any category.
#pragma once

#include <string>
#include <system_error>

namespace dv {

enum class compress_error {
    invalid_checksum = 3,     // a written file reads back with another CRC-32
    package_check_failed = 4, // the verification pass over the package failed
    interrupted = 5,          // the caller cancelled
    bzip2_error = 6,          // corrupt or truncated compressed data
    unexpected_error = 7,     // malformed archive, missing shell folder, uncoded failure
};

// The one process-wide category object, named "compress".
const std::error_category& compress_category() noexcept;

std::error_code make_error_code(compress_error e) noexcept;

// The code as the installer shows it: "1:%08X" for a Windows system error, "2:%08X" for a C
// runtime errno, the bare number for the compress category, and "7" for anything else.
std::wstring error_code_text(const std::error_code& code);

// A Windows error code (a GetLastError value) as an error_code of the system category.
std::error_code system_error_code(unsigned long windows_code) noexcept;

} // namespace dv

template <> struct std::is_error_code_enum<dv::compress_error> : std::true_type {};
