// CRC-32 as zlib and PNG compute it: polynomial 0x04C11DB7 bit-reflected, register started
// at 0xFFFFFFFF and inverted at the end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dv {

// Continues a CRC over more bytes: start with crc = 0, feed the data in any number of pieces,
// the result after the last piece is the CRC of all of it.
std::uint32_t crc32_update(std::uint32_t crc, const void* data, std::size_t size);

inline std::uint32_t crc32(const void* data, std::size_t size) {
    return crc32_update(0, data, size);
}

} // namespace dv
