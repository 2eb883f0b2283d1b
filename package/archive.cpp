#include "package/archive.h"

#include "package/errors.h"
#include "win32/text.h"

#include <charconv>
#include <cstring>
#include <system_error>

namespace dv {
namespace {

constexpr const char* kind_names[] = {"language_library", "main_program", "uninstaller",
                                      "shared_data",      "sample",       "redistributable"};

void put_le(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t get_le(const char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

[[noreturn]] void malformed() {
    throw std::system_error(make_error_code(compress_error::unexpected_error),
                            "package index does not match its header size");
}

class reader {
public:
    explicit reader(std::span<const char> bytes) : bytes_(bytes) {}
    std::uint64_t number(int width) {
        need(static_cast<std::uint64_t>(width));
        std::uint64_t v = get_le(bytes_.data() + at_, width);
        at_ += static_cast<std::size_t>(width);
        return v;
    }
    std::wstring text() {
        std::uint64_t units = number(4);
        need(units * 2);
        std::wstring s =
            win32::from_utf16le(bytes_.data() + at_, static_cast<std::size_t>(units * 2));
        at_ += static_cast<std::size_t>(units * 2);
        return s;
    }
    std::size_t left() const { return bytes_.size() - at_; }

private:
    // Every length is checked against what is there before anything is allocated for it.
    void need(std::uint64_t n) const {
        if (n > left())
            malformed();
    }
    std::span<const char> bytes_;
    std::size_t at_ = 0;
};

} // namespace

std::string entry_kind_name(std::uint32_t kind) {
    if (kind < std::size(kind_names))
        return kind_names[kind];
    return std::to_string(kind);
}

std::optional<std::uint32_t> parse_entry_kind(std::string_view text) {
    for (std::uint32_t k = 0; k < std::size(kind_names); ++k)
        if (text == kind_names[k])
            return k;
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::wstring file_name_of(std::wstring_view path) {
    std::size_t cut = path.find_last_of(L"\\/");
    return std::wstring(cut == std::wstring_view::npos ? path : path.substr(cut + 1));
}

std::uint64_t entry_index_size(const package_entry& e) {
    return entry_fixed_size +
           2 * (win32::to_utf16(e.source).size() + win32::to_utf16(e.destination).size());
}

std::string encode_index(const std::vector<package_entry>& entries) {
    std::uint64_t header_size = archive_fixed_header;
    for (const auto& e : entries)
        header_size += entry_index_size(e);
    std::string out;
    out.reserve(static_cast<std::size_t>(header_size));
    put_le(out, header_size, 8);
    put_le(out, entries.size(), 4);
    for (const auto& e : entries) {
        for (const std::wstring* s : {&e.source, &e.destination}) {
            put_le(out, win32::to_utf16(*s).size(), 4);
            win32::append_utf16le(out, *s);
        }
        put_le(out, e.kind, 4);
        put_le(out, e.size, 8);
        put_le(out, e.crc, 4);
    }
    return out;
}

std::uint64_t decode_header_size(const char* first8) {
    return get_le(first8, 8);
}

std::vector<package_entry> decode_index(std::span<const char> header) {
    reader in(header);
    in.number(8); // header_size, known to the caller
    std::uint64_t count = in.number(4);
    std::vector<package_entry> entries;
    // The count is untrusted: never reserve more than the bytes could hold.
    entries.reserve(
        static_cast<std::size_t>(std::min<std::uint64_t>(count, in.left() / entry_fixed_size)));
    for (std::uint64_t i = 0; i < count; ++i) {
        package_entry e;
        e.source = in.text();
        e.destination = in.text();
        e.kind = static_cast<std::uint32_t>(in.number(4));
        e.size = in.number(8);
        e.crc = static_cast<std::uint32_t>(in.number(4));
        entries.push_back(std::move(e));
    }
    // Bytes left between the index and the data would be read as nothing by a reader that
    // trusts header_size, and as data by one that trusts the entries: refuse both readings.
    if (in.left() != 0)
        malformed();
    return entries;
}

} // namespace dv
