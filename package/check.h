// The verification pass over a package: decompress the whole bzip2 stream into nothing, so
// that a damaged package is found before anything is written.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <system_error>

namespace dv {

struct package_check {
    std::error_code code;         // empty when the stream is sound
    std::string reason;           // what was wrong, for people
    std::uint64_t compressed = 0; // bytes read from the source
    std::uint64_t archive = 0;    // bytes the stream decompresses to
    std::string header;           // the archive's first bytes, up to its header size

    explicit operator bool() const { return !code; }
};

// Reads `source` to its end (the caller rewinds it). A corrupt or truncated stream gives
// compress_error::bzip2_error, an empty one compress_error::unexpected_error, a read failure
// the stream error. Memory stays bounded: only the header is kept.
package_check check_package(std::istream& source);

} // namespace dv
