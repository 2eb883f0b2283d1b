// The resource directory the build appends to our programs and modules. All numbers are
// little-endian; offsets count from the start of the directory.
//
//   header   "DVRSRC1\0", u32 entry count, u32 entries offset, u32 names offset,
//            u32 names size, u32 0, u32 0                                      (32 bytes)
//   entries  u32 type, u32 name, u16 language, u16 0, u32 0, u64 data offset,
//            u64 data size                                                     (32 bytes each)
//            a type or name with the top bit set is a string: the low bits are its offset in
//            the names, where it is stored as u16 length and that many UTF-16LE units
//   names, then the data of each resource aligned to 16 bytes
//
// After the directory, at the very end of the file, a trailer tells where it lies:
//   "DVRSEND\0", u64 offset of the directory in the file, u64 its size, u64 0  (32 bytes)
#pragma once

#include <cstddef>
#include <cstdint>

namespace win32::resformat {

inline constexpr char kMagic[8] = {'D', 'V', 'R', 'S', 'R', 'C', '1', '\0'};
inline constexpr char kTrailerMagic[8] = {'D', 'V', 'R', 'S', 'E', 'N', 'D', '\0'};
inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kEntrySize = 32;
inline constexpr std::size_t kTrailerSize = 32;
inline constexpr std::size_t kDataAlignment = 16;
inline constexpr std::uint32_t kStringFlag = 0x80000000u;

inline std::uint16_t get16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t get64(const unsigned char* p) {
    return static_cast<std::uint64_t>(get32(p)) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}

} // namespace win32::resformat
