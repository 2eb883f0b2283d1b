// The package archive: an 8-byte header length, the entry count, the index of entries, then
// the data of every entry back to back. Little-endian, no alignment gaps; strings are
// UTF-16LE counted in code units. Read front to back in one pass.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dv {

// One index entry. While the index is read `destination` holds the folder template; the
// engine then replaces it with the entry's full target path.
struct package_entry {
    std::wstring source;      // build-side path; only its file name is used
    std::wstring destination; // folder template, then target path
    std::uint32_t kind = 0;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};

// What the installation does with an entry; the engine only carries the number.
enum class entry_kind : std::uint32_t {
    language_library = 0,
    main_program = 1,
    uninstaller = 2,
    shared_data = 3,
    sample = 4,
    redistributable = 5,
};

constexpr std::uint64_t archive_fixed_header = 12; // header_size field + entry_count
constexpr std::uint64_t entry_fixed_size = 24;     // the entry's fields besides its strings
// An index beyond this is taken for a damaged header rather than collected in memory.
constexpr std::uint64_t max_header_size = 64ull << 20;

// The name of a kind ("sample") or its number as text when it has none.
std::string entry_kind_name(std::uint32_t kind);
// A kind from its name or number; nothing for anything else.
std::optional<std::uint32_t> parse_entry_kind(std::string_view text);

// The last element of a path; backslash and slash both separate.
std::wstring file_name_of(std::wstring_view path);

// Bytes the entry takes in the index.
std::uint64_t entry_index_size(const package_entry& e);

// Serialises header and index for these entries (their sizes and CRCs already known).
std::string encode_index(const std::vector<package_entry>& entries);

// Reads the little-endian header_size from the first 8 bytes.
std::uint64_t decode_header_size(const char* first8);

// Parses a complete header (exactly header_size bytes). Throws std::system_error with
// compress_error::unexpected_error when the index does not fit header_size exactly.
std::vector<package_entry> decode_index(std::span<const char> header);

} // namespace dv
