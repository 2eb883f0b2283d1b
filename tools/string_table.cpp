#include "tools/string_table.h"

#include "win32/text.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>

namespace strtab {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. The decoder of the
// win32 layer substitutes U+FFFD instead, which would hide a damaged file.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        int extra = 0;
        std::uint32_t c = 0;
        std::uint32_t min = 0;
        if ((b & 0xE0) == 0xC0) {
            extra = 1, c = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, c = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, c = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= s.size())
            return false;
        for (int k = 1; k <= extra; ++k) {
            auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (t & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

template <typename T> std::optional<T> number(std::string_view s, int base) {
    T value{};
    if (s.empty())
        return std::nullopt;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (ec != std::errc{} || end != s.data() + s.size())
        return std::nullopt;
    return value;
}

bool blank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

} // namespace

std::optional<std::string> unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out.push_back(s[i]);
            continue;
        }
        if (++i == s.size())
            return std::nullopt;
        switch (s[i]) {
        case 'r':
            out.push_back('\r');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 't':
            out.push_back('\t');
            break;
        case '\\':
            out.push_back('\\');
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

bool parse(std::string_view source, Table& table, std::string& error) {
    table = Table{};
    if (source.starts_with("\xEF\xBB\xBF"))
        source.remove_prefix(3);
    bool have_langid = false;
    bool have_offset = false;
    std::size_t line_no = 0;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(line_no) + ": " + why;
        return false;
    };

    while (!source.empty()) {
        ++line_no;
        std::size_t eol = source.find('\n');
        std::string_view line = source.substr(0, eol);
        source.remove_prefix(eol == std::string_view::npos ? source.size() : eol + 1);

        if (line.find('\r') != std::string_view::npos)
            return fail("carriage return in the line (write \\r in a text)");
        if (!valid_utf8(line))
            return fail("invalid UTF-8");
        if (blank(line) || line.front() == ';')
            continue;

        if (line.front() == '@') {
            std::size_t sp = line.find(' ');
            std::string_view key = line.substr(0, sp);
            std::string_view value =
                sp == std::string_view::npos ? std::string_view{} : line.substr(sp + 1);
            if (key == "@langid") {
                if (have_langid)
                    return fail("@langid given twice");
                std::optional<std::uint16_t> v;
                if (value.size() > 2 && value.size() <= 6 && value.starts_with("0x"))
                    v = number<std::uint16_t>(value.substr(2), 16);
                if (!v || *v == 0)
                    return fail("@langid needs a LANGID written 0xNNNN");
                table.langid = *v;
                have_langid = true;
            } else if (key == "@offset") {
                if (have_offset)
                    return fail("@offset given twice");
                auto v = number<std::uint32_t>(value, 10);
                if (!v)
                    return fail("@offset needs a decimal number");
                if (*v + last_base > 0xFFFF)
                    return fail("@offset puts string ids past 65535");
                table.offset = *v;
                have_offset = true;
            } else {
                return fail("unknown header " + std::string(key));
            }
            continue;
        }

        std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos)
            return fail("expected a base number, a TAB and a text");
        auto base = number<std::uint32_t>(line.substr(0, tab), 10);
        if (!base || *base < first_base || *base > last_base)
            return fail("base number must be 1000 to 1131");
        auto text = unescape(line.substr(tab + 1));
        if (!text)
            return fail("unknown escape (only \\r \\n \\t \\\\)");
        if (text->empty())
            return fail("empty text (write # for an untranslated one)");
        if (!table.texts.emplace(*base, win32::from_utf8(*text)).second)
            return fail("base number " + std::to_string(*base) + " given twice");
    }

    if (!have_langid || !have_offset) {
        ++line_no;
        return fail(have_langid ? "@offset missing" : "@langid missing");
    }
    return true;
}

bool load_file(const std::string& host_path, Table& table, std::string& error) {
    std::ifstream in(host_path, std::ios::binary);
    if (!in) {
        error = host_path + ": cannot be opened";
        return false;
    }
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        error = host_path + ": read error";
        return false;
    }
    if (!parse(content, table, error)) {
        error = host_path + ": " + error;
        return false;
    }
    return true;
}

} // namespace strtab
