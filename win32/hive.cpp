#include "win32/hive.h"

#include "win32/registry.h"
#include "win32/text.h"

#include <algorithm>
#include <cstdio>

namespace win32::hive {

namespace {

constexpr std::wstring_view kHeader = L"Windows Registry Editor Version 5.00";

const wchar_t* const kRoots[] = {L"HKEY_LOCAL_MACHINE", L"HKEY_CURRENT_USER", L"HKEY_USERS",
                                 L"HKEY_CLASSES_ROOT"};

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring_view ltrim(std::wstring_view s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::wstring_view rtrim(std::wstring_view s) {
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

int hex_digit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// 1 to 8 hex digits; false for anything else.
bool parse_hex_number(std::wstring_view s, DWORD& out) {
    if (s.empty() || s.size() > 8)
        return false;
    out = 0;
    for (wchar_t c : s) {
        int d = hex_digit(c);
        if (d < 0)
            return false;
        out = (out << 4) | static_cast<DWORD>(d);
    }
    return true;
}

// A quoted string at the start of `s`; `s` is left after the closing quote.
bool parse_quoted(std::wstring_view& s, std::wstring& out, std::string& why) {
    if (s.empty() || s.front() != L'"') {
        why = "expected a quoted string";
        return false;
    }
    out.clear();
    std::size_t i = 1;
    for (; i < s.size(); ++i) {
        wchar_t c = s[i];
        if (c == L'"')
            break;
        if (c == L'\\') {
            if (i + 1 >= s.size() || (s[i + 1] != L'\\' && s[i + 1] != L'"')) {
                why = "bad escape in a quoted string (only \\\\ and \\\" are allowed)";
                return false;
            }
            c = s[++i];
        }
        out.push_back(c);
    }
    if (i >= s.size()) {
        why = "missing closing quote";
        return false;
    }
    s.remove_prefix(i + 1);
    return true;
}

bool parse_hex_bytes(std::wstring_view s, std::string& out, std::string& why) {
    out.clear();
    s = rtrim(ltrim(s));
    if (s.empty())
        return true;
    std::size_t pos = 0;
    while (true) {
        auto comma = s.find(L',', pos);
        std::wstring_view tok =
            rtrim(ltrim(s.substr(pos, comma == std::wstring_view::npos ? s.npos : comma - pos)));
        DWORD b = 0;
        if (tok.size() > 2 || !parse_hex_number(tok, b)) {
            why = "bad byte in hex data";
            return false;
        }
        out.push_back(static_cast<char>(b));
        if (comma == std::wstring_view::npos)
            return true;
        pos = comma + 1;
    }
}

std::wstring escape(std::wstring_view s) {
    std::wstring out;
    out.reserve(s.size() + 2);
    for (wchar_t c : s) {
        if (c == L'\\' || c == L'"')
            out.push_back(L'\\');
        out.push_back(c);
    }
    return out;
}

// Whether REG_SZ data can be written in its quoted form and read back to the same bytes.
bool quotable_string(const std::string& data, std::wstring& text) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    std::u16string units;
    for (std::size_t i = 0; i < data.size(); i += 2)
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                              (static_cast<unsigned char>(data[i + 1]) << 8)));
    if (units.back() != 0)
        return false;
    units.pop_back();
    for (char16_t u : units)
        if (u == 0 || u == u'\r' || u == u'\n')
            return false;
    text = from_utf16(units);
    return true;
}

void append_hex(std::wstring& out, std::wstring_view prefix, const std::string& data) {
    static const wchar_t digits[] = L"0123456789abcdef";
    out += prefix;
    std::size_t column = prefix.size();
    for (std::size_t i = 0; i < data.size(); ++i) {
        // Lines stay within 80 columns, continued with a backslash as the export format does.
        if (column + 3 > 78 && i > 0) {
            out += L"\\\r\n  ";
            column = 2;
        }
        auto b = static_cast<unsigned char>(data[i]);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
        column += 2;
        if (i + 1 < data.size()) {
            out.push_back(L',');
            ++column;
        }
    }
    out += L"\r\n";
}

void write_value(std::wstring& out, const Value& v) {
    std::wstring line = v.name.empty() ? std::wstring(L"@=") : L"\"" + escape(v.name) + L"\"=";
    std::wstring text;
    if (v.type == REG_SZ && quotable_string(v.data, text)) {
        out += line + L"\"" + escape(text) + L"\"\r\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d = 0;
        for (int i = 3; i >= 0; --i)
            d = (d << 8) | static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
        wchar_t buf[16];
        std::swprintf(buf, 16, L"dword:%08x", d);
        out += line + buf + L"\r\n";
        return;
    }
    if (v.type == REG_BINARY) {
        append_hex(out, line + L"hex:", v.data);
        return;
    }
    wchar_t buf[24];
    std::swprintf(buf, 24, L"hex(%x):", v.type);
    append_hex(out, line + buf, v.data);
}

void write_key(std::wstring& out, const Key& key, const std::wstring& path) {
    out += L"\r\n[" + path + L"]\r\n";
    for (const auto& v : key.values())
        write_value(out, v);
    for (const auto& [upper_name, sub] : key.subkeys())
        write_key(out, *sub, path + L"\\" + sub->name());
}

bool same_name(std::wstring_view a, std::wstring_view b) {
    return iequals(a, b);
}

} // namespace

Key* Key::find(std::wstring_view name) {
    auto it = subkeys_.find(upper(name));
    return it == subkeys_.end() ? nullptr : it->second.get();
}

const Key* Key::find(std::wstring_view name) const {
    auto it = subkeys_.find(upper(name));
    return it == subkeys_.end() ? nullptr : it->second.get();
}

Key& Key::add(std::wstring_view name) {
    auto& slot = subkeys_[upper(name)];
    if (!slot)
        slot = std::make_unique<Key>(std::wstring(name));
    return *slot;
}

bool Key::remove(std::wstring_view name) {
    return subkeys_.erase(upper(name)) > 0;
}

Value* Key::value(std::wstring_view name) {
    for (auto& v : values_)
        if (same_name(v.name, name))
            return &v;
    return nullptr;
}

const Value* Key::value(std::wstring_view name) const {
    for (const auto& v : values_)
        if (same_name(v.name, name))
            return &v;
    return nullptr;
}

void Key::set_value(Value v) {
    if (Value* old = value(v.name)) {
        // The stored name keeps its first spelling, as Windows keeps it.
        old->type = v.type;
        old->data = std::move(v.data);
        return;
    }
    values_.push_back(std::move(v));
}

bool Key::remove_value(std::wstring_view name) {
    auto it = std::find_if(values_.begin(), values_.end(),
                           [&](const Value& v) { return same_name(v.name, name); });
    if (it == values_.end())
        return false;
    values_.erase(it);
    return true;
}

void Key::replace_content(Key&& other) {
    values_ = std::move(other.values_);
    subkeys_ = std::move(other.subkeys_);
}

std::unique_ptr<Key> Key::clone() const {
    auto copy = std::make_unique<Key>(name_);
    copy->values_ = values_;
    for (const auto& [k, sub] : subkeys_)
        copy->subkeys_.emplace(k, sub->clone());
    return copy;
}

std::size_t Key::depth() const {
    std::size_t d = 0;
    for (const auto& [k, sub] : subkeys_)
        d = std::max(d, sub->depth() + 1);
    return d;
}

std::wstring canonical_root_name(std::wstring_view name) {
    for (const wchar_t* r : kRoots)
        if (iequals(name, r))
            return r;
    return {};
}

bool storable_key_name(std::wstring_view name) {
    if (name.empty() || name.size() > kMaxKeyNameLength)
        return false;
    return std::none_of(name.begin(), name.end(),
                        [](wchar_t c) { return c == L'\\' || c == L'\r' || c == L'\n' || c == 0; });
}

bool storable_value_name(std::wstring_view name) {
    if (name.size() > kMaxValueNameLength)
        return false;
    return std::none_of(name.begin(), name.end(),
                        [](wchar_t c) { return c == L'\r' || c == L'\n' || c == 0; });
}

std::string ParseError::text() const {
    return file + ":" + std::to_string(line) + ": " + message;
}

bool parse(std::string_view bytes, std::string_view file_name, Document& doc, ParseError& err) {
    err = ParseError{std::string(file_name), 0, {}};
    auto fail = [&](std::size_t line, std::string message) {
        err.line = line;
        err.message = std::move(message);
        return false;
    };
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE)
        return fail(1, "not UTF-16LE text with a byte-order mark");
    if (bytes.size() % 2 != 0)
        return fail(1, "odd number of bytes in UTF-16LE text");
    std::wstring text = from_utf16le(bytes.data() + 2, bytes.size() - 2);

    std::vector<std::wstring_view> lines;
    for (std::size_t pos = 0; pos <= text.size();) {
        auto nl = text.find(L'\n', pos);
        std::wstring_view line(text.data() + pos, (nl == text.npos ? text.size() : nl) - pos);
        if (!line.empty() && line.back() == L'\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (nl == text.npos)
            break;
        pos = nl + 1;
    }

    std::size_t i = 0;
    while (i < lines.size() && rtrim(ltrim(lines[i])).empty())
        ++i;
    if (i == lines.size() || rtrim(ltrim(lines[i])) != kHeader)
        return fail(i + 1, "missing the header line \"Windows Registry Editor Version 5.00\"");
    ++i;

    Key* current = nullptr;
    for (; i < lines.size(); ++i) {
        const std::size_t line_no = i + 1;
        std::wstring_view line = rtrim(ltrim(lines[i]));
        if (line.empty() || line.front() == L';')
            continue;
        if (line.front() == L'[') {
            if (line.back() != L']')
                return fail(line_no, "a key line must end with ']'");
            std::wstring_view inner = line.substr(1, line.size() - 2);
            if (!inner.empty() && inner.front() == L'-')
                return fail(line_no, "key deletions are not allowed here");
            std::vector<std::wstring> path;
            std::size_t pos = 0;
            while (true) {
                auto sep = inner.find(L'\\', pos);
                std::wstring_view part =
                    inner.substr(pos, sep == inner.npos ? inner.npos : sep - pos);
                if (part.empty())
                    return fail(line_no, "empty key name in path");
                if (path.empty()) {
                    std::wstring root = canonical_root_name(part);
                    if (root.empty())
                        return fail(line_no, "unknown root key \"" + to_utf8(part) + "\"");
                    path.push_back(root);
                } else {
                    if (part.size() > kMaxKeyNameLength)
                        return fail(line_no, "key name longer than 255 characters");
                    path.emplace_back(part);
                }
                if (path.size() > kMaxDepth + 1)
                    return fail(line_no, "keys nested deeper than 512 levels");
                if (sep == inner.npos)
                    break;
                pos = sep + 1;
            }
            if (doc.first_section.empty()) {
                doc.first_section = path;
            } else {
                bool under = path.size() >= doc.first_section.size();
                for (std::size_t k = 0; under && k < doc.first_section.size(); ++k)
                    under = iequals(path[k], doc.first_section[k]);
                doc.all_under_first = doc.all_under_first && under;
            }
            current = &doc.top;
            for (const auto& part : path)
                current = &current->add(part);
            continue;
        }
        if (!current)
            return fail(line_no, "a value before the first key");

        Value v;
        std::wstring_view rest = line;
        std::string why;
        if (rest.front() == L'@') {
            rest.remove_prefix(1);
        } else {
            if (!parse_quoted(rest, v.name, why))
                return fail(line_no, "value name: " + why);
            if (v.name.empty())
                return fail(line_no, "empty value name (the default value is written @)");
            if (v.name.size() > kMaxValueNameLength)
                return fail(line_no, "value name longer than 16383 characters");
        }
        if (rest.empty() || rest.front() != L'=')
            return fail(line_no, "expected '=' after the value name");
        rest.remove_prefix(1);
        if (rest.empty())
            return fail(line_no, "missing value data");
        if (rest.front() == L'-')
            return fail(line_no, "value deletions are not allowed here");
        if (rest.front() == L'"') {
            std::wstring s;
            if (!parse_quoted(rest, s, why))
                return fail(line_no, "string data: " + why);
            if (!rtrim(rest).empty())
                return fail(line_no, "text after the closing quote");
            v.type = REG_SZ;
            append_utf16le(v.data, s);
            v.data.append(2, '\0');
        } else if (rest.starts_with(L"dword:")) {
            DWORD d = 0;
            if (!parse_hex_number(rest.substr(6), d))
                return fail(line_no, "dword data must be 1 to 8 hex digits");
            v.type = REG_DWORD;
            for (int k = 0; k < 4; ++k)
                v.data.push_back(static_cast<char>((d >> (8 * k)) & 0xFF));
        } else if (rest.starts_with(L"hex")) {
            rest.remove_prefix(3);
            v.type = REG_BINARY;
            if (!rest.empty() && rest.front() == L'(') {
                auto close = rest.find(L')');
                if (close == rest.npos || !parse_hex_number(rest.substr(1, close - 1), v.type))
                    return fail(line_no, "bad type in hex(...)");
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != L':')
                return fail(line_no, "expected ':' after hex");
            rest.remove_prefix(1);
            // Long data continues on the next lines, each line but the last ending in '\'.
            std::wstring joined;
            std::wstring_view part = rtrim(rest);
            while (!part.empty() && part.back() == L'\\') {
                joined += part.substr(0, part.size() - 1);
                if (++i >= lines.size())
                    return fail(line_no, "hex data continued past the end of the file");
                part = rtrim(ltrim(lines[i]));
            }
            joined += part;
            if (!parse_hex_bytes(joined, v.data, why))
                return fail(line_no, why);
        } else {
            return fail(line_no, "unknown kind of value data");
        }
        current->set_value(std::move(v));
    }
    if (doc.first_section.empty())
        return fail(lines.size(), "no key in the file");
    return true;
}

std::string serialize(const Key& key, std::wstring_view path) {
    std::wstring text(kHeader);
    text += L"\r\n";
    write_key(text, key, std::wstring(path));
    text += L"\r\n";
    std::string out("\xFF\xFE", 2);
    append_utf16le(out, text);
    return out;
}

} // namespace win32::hive
