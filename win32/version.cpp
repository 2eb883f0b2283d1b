// The buffer GetFileVersionInfoW fills holds the raw block first, as Windows' does, so that
// "\" and "\VarFileInfo\Translation" point into it. Strings are UTF-16 there while this
// system's wide characters are 32-bit, so a table follows the block with each text value
// converted, and VerQueryValueW hands out those:
//
//   [raw VS_VERSIONINFO][pad to 4]["DVW1"][u32 node count]
//   [u32 offset, u32 characters with the null][per node, in pre-order][wide strings]
#include "win32/version.h"

#include "win32/error.h"
#include "win32/machine.h"
#include "win32/module.h"
#include "win32/resformat.h"
#include "win32/resource.h"
#include "win32/text.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace win32 {

using resformat::get16;
using resformat::get32;

namespace {

constexpr char kWideMagic[4] = {'D', 'V', 'W', '1'};
constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxNodes = 4096;

std::size_t align4(std::size_t v) {
    return (v + 3) & ~std::size_t{3};
}

struct Node {
    std::size_t at = 0, end = 0;
    std::wstring key;
    WORD type = 0;
    std::size_t value_at = 0, value_bytes = 0;
    std::size_t children_at = 0;
    int depth = 0;
};

// One node of the block at `at`, within [0, limit).
bool parse_node(const BYTE* b, std::size_t limit, std::size_t at, Node& n) {
    if (at > limit || limit - at < 6)
        return false;
    std::size_t length = get16(b + at);
    if (length < 6 || length > limit - at)
        return false;
    n.at = at;
    n.end = at + length;
    std::size_t value_length = get16(b + at + 2);
    n.type = get16(b + at + 4);
    std::size_t p = at + 6;
    std::u16string key;
    for (;;) {
        if (n.end - p < 2)
            return false;
        char16_t c = static_cast<char16_t>(get16(b + p));
        p += 2;
        if (!c)
            break;
        key.push_back(c);
    }
    n.key = from_utf16(key);
    n.value_at = std::min(align4(p), n.end);
    n.value_bytes = n.type == 1 ? value_length * 2 : value_length;
    if (n.value_bytes > n.end - n.value_at) {
        // Some writers count a text's length in bytes: keep what the node holds.
        if (n.type != 1)
            return false;
        n.value_bytes = n.end - n.value_at;
    }
    n.children_at = std::min(align4(n.value_at + n.value_bytes), n.end);
    return true;
}

// Every node of a block in pre-order; false when the block does not hold together.
bool parse_tree(const BYTE* b, std::size_t size, std::vector<Node>& out) {
    out.clear();
    Node root;
    if (!parse_node(b, size, 0, root) || !iequals(root.key, L"VS_VERSION_INFO"))
        return false;
    std::vector<Node> todo{root};
    while (!todo.empty()) {
        Node n = todo.back();
        todo.pop_back();
        if (out.size() >= kMaxNodes)
            return false;
        out.push_back(n);
        std::vector<Node> children;
        for (std::size_t c = n.children_at; c < n.end && n.end - c >= 6;) {
            Node child;
            if (!parse_node(b, n.end, c, child))
                break; // padding or damage at the end of a list ends the list
            child.depth = n.depth + 1;
            if (child.depth <= kMaxDepth)
                children.push_back(child);
            c = align4(child.end);
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            todo.push_back(*it);
    }
    return true;
}

std::wstring text_value(const BYTE* b, const Node& n) {
    std::u16string s;
    for (std::size_t p = n.value_at; p + 1 < n.value_at + n.value_bytes; p += 2) {
        char16_t c = static_cast<char16_t>(get16(b + p));
        if (!c)
            break;
        s.push_back(c);
    }
    return from_utf16(s);
}

bool has_text(const Node& n) {
    return n.type == 1 && n.value_bytes > 0;
}

struct Layout {
    std::size_t raw = 0;     // bytes of the raw block
    std::size_t table = 0;   // offset of the wide table
    std::size_t strings = 0; // offset of the first wide string
    std::size_t total = 0;
};

Layout layout_of(const BYTE* b, const std::vector<Node>& nodes) {
    Layout l;
    l.raw = nodes.front().end;
    l.table = align4(l.raw);
    l.strings = l.table + 8 + nodes.size() * 8;
    l.total = l.strings;
    for (const auto& n : nodes)
        if (has_text(n))
            l.total += (text_value(b, n).size() + 1) * sizeof(wchar_t);
    return l;
}

void put32(BYTE* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<BYTE>(v >> (8 * i));
}

// ---- writing ---------------------------------------------------------------------------------

void append16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void append32(std::string& out, std::uint32_t v) {
    append16(out, v & 0xFFFF);
    append16(out, v >> 16);
}
void pad4(std::string& out) {
    while (out.size() % 4)
        out.push_back('\0');
}

// A node without trailing padding; `value_length` as the header counts it.
std::string node(const std::wstring& key, WORD type, const std::string& value,
                 std::size_t value_length, const std::vector<std::string>& children) {
    std::string out(6, '\0');
    append_utf16le(out, key);
    append16(out, 0);
    pad4(out);
    out += value;
    for (const auto& c : children) {
        pad4(out);
        out += c;
    }
    out[0] = static_cast<char>(out.size() & 0xFF);
    out[1] = static_cast<char>((out.size() >> 8) & 0xFF);
    out[2] = static_cast<char>(value_length & 0xFF);
    out[3] = static_cast<char>((value_length >> 8) & 0xFF);
    out[4] = static_cast<char>(type & 0xFF);
    out[5] = static_cast<char>(type >> 8);
    return out;
}

// ---- the Windows side
// -------------------------------------------------------------------------------

// The version block of a file given by its Windows path.
std::shared_ptr<ResourceImage> version_block(LPCWSTR file, const BYTE*& data, std::size_t& size,
                                             DWORD& error) {
    if (!file || !*file) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    Machine& m = Machine::current();
    HostPath hp;
    // The running program is readable by the name GetModuleFileNameW gives it, also when it
    // lives outside the machine (the "Z:" of a program run from the build tree).
    if (!iequals(file, program_windows_path()) || !module_host_path(nullptr, hp.host)) {
        std::wstring full;
        if ((error = m.full_path(file, full)) || (error = m.map(full, hp)))
            return nullptr;
        if (!hp.exists) {
            error = hp.parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
            return nullptr;
        }
    }
    auto image = ResourceImage::open(hp.host, error);
    if (!image)
        return nullptr;
    const ResourceImage::Entry* found = nullptr;
    for (const auto& e : image->entries())
        if (!e.type.is_string && e.type.id == RT_VERSION_ID) {
            found = image->find(e.type, e.name, 0, true, error);
            break;
        }
    if (!found) {
        error = ERROR_RESOURCE_TYPE_NOT_FOUND;
        return nullptr;
    }
    data = found->data;
    size = found->size;
    return image;
}

} // namespace

std::string build_version_block(const VersionDescription& d) {
    std::string fixed;
    for (DWORD v : {VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, d.file_version_ms, d.file_version_ls,
                    d.product_version_ms, d.product_version_ls, d.flags_mask, d.flags, d.os, d.type,
                    d.subtype, DWORD{0}, DWORD{0}})
        append32(fixed, v);
    std::vector<std::string> tables;
    for (const auto& t : d.tables) {
        std::vector<std::string> strings;
        for (const auto& [key, value] : t.strings) {
            std::string v;
            append_utf16le(v, value);
            append16(v, 0);
            strings.push_back(node(key, 1, v, v.size() / 2, {}));
        }
        tables.push_back(node(t.key, 1, "", 0, strings));
    }
    std::vector<std::string> children;
    if (!tables.empty())
        children.push_back(node(L"StringFileInfo", 1, "", 0, tables));
    if (!d.translations.empty()) {
        std::string pairs;
        for (auto [language, code_page] : d.translations) {
            append16(pairs, language);
            append16(pairs, code_page);
        }
        children.push_back(
            node(L"VarFileInfo", 1, "", 0, {node(L"Translation", 0, pairs, pairs.size(), {})}));
    }
    return node(L"VS_VERSION_INFO", 0, fixed, fixed.size(), children);
}

DWORD version_buffer_size(const BYTE* block, std::size_t size) {
    std::vector<Node> nodes;
    if (!parse_tree(block, size, nodes))
        return 0;
    Layout l = layout_of(block, nodes);
    return l.total > 0xFFFFFFF0u ? 0 : static_cast<DWORD>(l.total);
}

bool fill_version_buffer(const BYTE* block, std::size_t size, BYTE* buffer,
                         std::size_t buffer_size) {
    std::vector<Node> nodes;
    if (!parse_tree(block, size, nodes))
        return false;
    Layout l = layout_of(block, nodes);
    if (buffer_size < l.total)
        return false;
    std::memset(buffer, 0, l.total);
    std::memcpy(buffer, block, l.raw);
    std::memcpy(buffer + l.table, kWideMagic, 4);
    put32(buffer + l.table + 4, static_cast<std::uint32_t>(nodes.size()));
    std::size_t at = l.strings;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (!has_text(nodes[i]))
            continue;
        std::wstring text = text_value(block, nodes[i]);
        put32(buffer + l.table + 8 + i * 8, static_cast<std::uint32_t>(at));
        put32(buffer + l.table + 12 + i * 8, static_cast<std::uint32_t>(text.size() + 1));
        std::memcpy(buffer + at, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        at += (text.size() + 1) * sizeof(wchar_t);
    }
    return true;
}

DWORD GetFileVersionInfoSizeW(LPCWSTR file, DWORD* handle) {
    if (handle)
        *handle = 0;
    const BYTE* data = nullptr;
    std::size_t size = 0;
    DWORD error = 0;
    auto image = version_block(file, data, size, error);
    if (!image) {
        SetLastError(error);
        return 0;
    }
    DWORD n = version_buffer_size(data, size);
    SetLastError(n ? ERROR_SUCCESS : ERROR_INVALID_DATA);
    return n;
}

BOOL GetFileVersionInfoW(LPCWSTR file, DWORD, DWORD size, LPVOID out) {
    if (!out)
        return fail(ERROR_INVALID_PARAMETER);
    const BYTE* data = nullptr;
    std::size_t block_size = 0;
    DWORD error = 0;
    auto image = version_block(file, data, block_size, error);
    if (!image)
        return fail(error);
    DWORD needed = version_buffer_size(data, block_size);
    if (!needed)
        return fail(ERROR_INVALID_DATA);
    if (size < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    fill_version_buffer(data, block_size, static_cast<BYTE*>(out), size);
    return TRUE;
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, UINT* length) {
    if (!block || !sub_block || !buffer || !length)
        return fail(ERROR_INVALID_PARAMETER);
    const auto* b = static_cast<const BYTE*>(block);
    // The raw block says how long it is; the wide table right after it says how many nodes.
    std::size_t raw = get16(b);
    std::vector<Node> nodes;
    if (!parse_tree(b, raw, nodes))
        return fail(ERROR_INVALID_DATA);
    std::size_t table = align4(raw);
    bool wide = std::memcmp(b + table, kWideMagic, 4) == 0 && get32(b + table + 4) == nodes.size();

    std::size_t current = 0; // index into nodes
    std::wstring_view path(sub_block);
    while (!path.empty()) {
        auto start = path.find_first_not_of(L'\\');
        if (start == std::wstring_view::npos)
            break;
        path.remove_prefix(start);
        auto end = path.find(L'\\');
        std::wstring_view part = path.substr(0, end);
        path.remove_prefix(end == std::wstring_view::npos ? path.size() : end);
        std::size_t found = 0;
        for (std::size_t i = current + 1; i < nodes.size() && nodes[i].depth > nodes[current].depth;
             ++i)
            if (nodes[i].depth == nodes[current].depth + 1 && iequals(nodes[i].key, part)) {
                found = i;
                break;
            }
        if (!found)
            return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
        current = found;
    }
    const Node& n = nodes[current];
    if (n.value_bytes == 0)
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    if (n.type == 1) {
        if (!wide)
            return fail(ERROR_INVALID_DATA);
        std::uint32_t at = get32(b + table + 8 + current * 8);
        *buffer = const_cast<BYTE*>(b + at);
        *length = get32(b + table + 12 + current * 8);
        return TRUE;
    }
    *buffer = const_cast<BYTE*>(b + n.value_at);
    *length = static_cast<UINT>(n.value_bytes);
    return TRUE;
}

} // namespace win32
