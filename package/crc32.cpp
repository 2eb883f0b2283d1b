#include "package/crc32.h"

#include <array>
#include <cstring>

namespace dv {
namespace {

// Eight tables, so that eight bytes are folded per step (the read-back of every written file
// runs through here, so it must keep pace with the disk).
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t i = 0; i < 256; ++i)
        for (std::size_t k = 1; k < 8; ++k)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr auto tables = make_tables();

} // namespace

std::uint32_t crc32_update(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t c = ~crc;
    while (size >= 8) {
        // Assembled byte by byte: independent of the host's byte order and alignment.
        std::uint32_t lo = c ^ (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
        c = tables[7][lo & 0xFF] ^ tables[6][(lo >> 8) & 0xFF] ^ tables[5][(lo >> 16) & 0xFF] ^
            tables[4][lo >> 24] ^ tables[3][p[4]] ^ tables[2][p[5]] ^ tables[1][p[6]] ^
            tables[0][p[7]];
        p += 8;
        size -= 8;
    }
    while (size--)
        c = tables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

} // namespace dv
