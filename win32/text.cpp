#include "win32/text.h"

#include <unicode/uchar.h>

namespace win32 {

std::string to_utf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<std::uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::wstring from_utf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        std::uint32_t c = 0;
        int extra = 0;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else {
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (!ok) {
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(c));
        i += extra + 1;
    }
    return out;
}

std::u16string to_utf16(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<std::uint32_t>(wc);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else if (c > 0x10FFFF) {
            out.push_back(u'\xFFFD');
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::wstring from_utf16(std::u16string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            std::uint32_t c = 0x10000 + ((static_cast<std::uint32_t>(u) - 0xD800) << 10) +
                              (static_cast<std::uint32_t>(text[i + 1]) - 0xDC00);
            out.push_back(static_cast<wchar_t>(c));
            ++i;
        } else {
            // A lone surrogate is kept as its code unit, as Windows keeps it.
            out.push_back(static_cast<wchar_t>(u));
        }
    }
    return out;
}

void append_utf16le(std::string& out, std::wstring_view text) {
    for (char16_t u : to_utf16(text)) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
}

std::wstring from_utf16le(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::u16string units;
    units.reserve(bytes / 2);
    for (std::size_t i = 0; i + 1 < bytes; i += 2)
        units.push_back(static_cast<char16_t>(p[i] | (p[i + 1] << 8)));
    return from_utf16(units);
}

wchar_t upper_char(wchar_t c) {
    auto cp = static_cast<UChar32>(c);
    if (cp < 0x80)
        return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
    return static_cast<wchar_t>(u_toupper(cp));
}

std::wstring upper(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out)
        c = upper_char(c);
    return out;
}

bool iequals(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && upper_char(a[i]) != upper_char(b[i]))
            return false;
    return true;
}

std::string trim(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t' || text[b] == '\r' || text[b] == '\n'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r' ||
                     text[e - 1] == '\n'))
        --e;
    return std::string(text.substr(b, e - b));
}

} // namespace win32
