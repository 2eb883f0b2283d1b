// rescomp: the resource compiler of the build.
//
//   rescomp compile SCRIPT OUTPUT [-D NAME=VALUE]... [--depfile FILE]
//       reads a resource script and writes the resource directory it describes
//   rescomp attach FILE DIRECTORY
//       appends a directory to a program or module (replacing one attached before)
//   rescomp list FILE
//       prints the resources of a program, a module, a directory or a PE file
//
// The script format is described in docs/architecture.md ("Resources").
#include "tools/string_table.h"
#include "win32/resformat.h"
#include "win32/resource.h"
#include "win32/text.h"
#include "win32/version.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using win32::DWORD;
using win32::WORD;
using win32::resformat::get16;
using win32::resformat::get32;

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Key {
    bool is_string = false;
    std::uint16_t id = 0;
    std::wstring name;
    bool operator<(const Key& o) const {
        if (is_string != o.is_string)
            return !is_string; // numbers first
        return is_string ? win32::upper(name) < win32::upper(o.name) : id < o.id;
    }
};

struct Resource {
    Key type, name;
    std::uint16_t language = 0;
    std::string data;
};

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in)
        throw Failure("cannot read " + p.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const fs::path& p, const std::string& bytes) {
    fs::path tmp = p;
    tmp += ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            throw Failure("cannot write " + tmp.string());
    }
    fs::rename(tmp, p);
}

void put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
void put64(std::string& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v));
    put32(out, static_cast<std::uint32_t>(v >> 32));
}

std::uint32_t number(const std::string& text, const std::string& what) {
    std::size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || v > 0xFFFFFFFFul)
        throw Failure("not a number for " + what + ": " + text);
    return static_cast<std::uint32_t>(v);
}

// ---- script
// --------------------------------------------------------------------------------------

struct Token {
    std::string text;
    bool quoted = false;
};

std::vector<Token> tokens(const std::string& line) {
    std::vector<Token> out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        Token t;
        if (line[i] == '"') {
            auto close = line.find('"', i + 1);
            if (close == std::string::npos)
                throw Failure("unterminated quote");
            t.text = line.substr(i + 1, close - i - 1);
            t.quoted = true;
            i = close + 1;
        } else {
            auto end = line.find_first_of(" \t", i);
            t.text = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
            i = end == std::string::npos ? line.size() : end;
        }
        out.push_back(t);
    }
    return out;
}

std::string substitute(const std::string& line, const std::map<std::string, std::string>& defines) {
    std::string out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line.compare(i, 2, "${") == 0) {
            auto close = line.find('}', i);
            if (close == std::string::npos)
                throw Failure("unterminated ${");
            std::string name = line.substr(i + 2, close - i - 2);
            auto it = defines.find(name);
            if (it == defines.end())
                throw Failure("${" + name + "} is not defined (pass -D " + name + "=...)");
            out += it->second;
            i = close + 1;
        } else {
            out.push_back(line[i++]);
        }
    }
    return out;
}

Key type_key(const Token& t) {
    static const std::map<std::string, std::uint16_t> names = {
        {"RT_CURSOR", 1},        {"RT_BITMAP", 2},      {"RT_ICON", 3},     {"RT_MENU", 4},
        {"RT_DIALOG", 5},        {"RT_STRING", 6},      {"RT_RCDATA", 10},  {"RT_MESSAGETABLE", 11},
        {"RT_GROUP_CURSOR", 12}, {"RT_GROUP_ICON", 14}, {"RT_VERSION", 16}, {"RT_MANIFEST", 24},
    };
    Key k;
    if (t.quoted) {
        k.is_string = true;
        k.name = win32::from_utf8(t.text);
        return k;
    }
    if (auto it = names.find(t.text); it != names.end()) {
        k.id = it->second;
        return k;
    }
    std::uint32_t v = number(t.text, "a type or name");
    if (v == 0 || v > 0xFFFF)
        throw Failure("a resource number is 1 to 65535: " + t.text);
    k.id = static_cast<std::uint16_t>(v);
    return k;
}

std::uint16_t language(const Token& t) {
    std::uint32_t v = number(t.text, "a language");
    if (v > 0xFFFF)
        throw Failure("a language is a 16-bit LANGID: " + t.text);
    return static_cast<std::uint16_t>(v);
}

// Text with the escapes of our text formats: \r \n \t \\.
std::wstring unescape(const std::string& text) {
    auto out = strtab::unescape(text);
    if (!out)
        throw Failure("unknown or unfinished escape in \"" + text + "\"");
    return win32::from_utf8(*out);
}

class Compiler {
public:
    Compiler(std::map<std::string, std::string> defines) : defines_(std::move(defines)) {}

    void script(const fs::path& path) {
        inputs_.insert(fs::absolute(path).string());
        std::istringstream in(read_file(path));
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            try {
                statement(path.parent_path(), line);
            } catch (const Failure& f) {
                throw Failure(path.string() + ":" + std::to_string(number) + ": " + f.what());
            }
        }
    }

    std::string directory() const;
    const std::set<std::string>& inputs() const { return inputs_; }

private:
    fs::path file(const fs::path& base, const std::string& name) {
        fs::path p = fs::path(name).is_absolute() ? fs::path(name) : base / name;
        inputs_.insert(fs::absolute(p).string());
        return p;
    }

    void add(Resource r) {
        for (const auto& o : resources_)
            if (!(o.type < r.type) && !(r.type < o.type) && !(o.name < r.name) &&
                !(r.name < o.name) && o.language == r.language)
                throw Failure("a resource of this type, name and language is already given");
        resources_.push_back(std::move(r));
    }

    void statement(const fs::path& base, const std::string& raw) {
        std::string line = raw;
        if (!line.empty() && line.back() == '\r')
            throw Failure("carriage return in the script (save it with LF line ends)");
        auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == ';')
            return;
        auto t = tokens(substitute(line, defines_));
        const std::string& kind = t[0].text;
        auto need = [&](std::size_t n, const char* usage) {
            if (t.size() != n)
                throw Failure(std::string("usage: ") + usage);
        };
        if (kind == "strings") {
            if (t.size() < 2)
                throw Failure("usage: strings FILE...");
            for (std::size_t i = 1; i < t.size(); ++i)
                strings(file(base, t[i].text));
        } else if (kind == "version") {
            if (t.size() != 2 && t.size() != 3)
                throw Failure("usage: version FILE [LANGUAGE]");
            version(file(base, t[1].text),
                    t.size() == 3 ? std::optional<std::uint16_t>(language(t[2])) : std::nullopt);
        } else if (kind == "data") {
            need(5, "data TYPE NAME LANGUAGE FILE");
            add({type_key(t[1]), type_key(t[2]), language(t[3]), read_file(file(base, t[4].text))});
        } else if (kind == "bitmap") {
            need(4, "bitmap NAME LANGUAGE FILE");
            std::string bmp = read_file(file(base, t[3].text));
            if (bmp.size() < 14 + 40 || bmp[0] != 'B' || bmp[1] != 'M')
                throw Failure(t[3].text + " is not a BMP file");
            add({Key{false, 2, {}}, type_key(t[1]), language(t[2]), bmp.substr(14)});
        } else if (kind == "icon") {
            need(4, "icon NAME LANGUAGE FILE");
            icon(type_key(t[1]), language(t[2]), read_file(file(base, t[3].text)), t[3].text);
        } else {
            throw Failure("unknown statement: " + kind);
        }
    }

    void strings(const fs::path& path) {
        strtab::Table table;
        std::string error;
        if (!strtab::load_file(path.string(), table, error))
            throw Failure(error);
        // Sixteen strings per block, block id = string id / 16 + 1; absent ones are empty.
        std::map<std::uint32_t, std::map<std::uint32_t, std::wstring>> blocks;
        for (const auto& [base, text] : table.texts) {
            std::uint32_t id = base + table.offset;
            blocks[id / 16 + 1][id % 16] = text;
        }
        for (const auto& [block, entries] : blocks) {
            std::string data;
            for (std::uint32_t k = 0; k < 16; ++k) {
                auto it = entries.find(k);
                std::u16string units =
                    it == entries.end() ? std::u16string() : win32::to_utf16(it->second);
                if (units.size() > 0xFFFF)
                    throw Failure("a string is too long");
                put16(data, static_cast<std::uint32_t>(units.size()));
                for (char16_t u : units)
                    put16(data, u);
            }
            add({Key{false, 6, {}}, Key{false, static_cast<std::uint16_t>(block), {}}, table.langid,
                 data});
        }
    }

    void version(const fs::path& path, std::optional<std::uint16_t> lang) {
        win32::VersionDescription d;
        bool file_version = false;
        std::istringstream in(read_file(path));
        std::string line;
        int number = 0;
        win32::VersionDescription::Table* table = nullptr;
        auto quad = [](const std::string& text, DWORD& ms, DWORD& ls) {
            std::string s = text;
            std::replace(s.begin(), s.end(), ',', '.');
            std::istringstream parts(s);
            std::string part;
            std::vector<std::uint32_t> v;
            while (std::getline(parts, part, '.'))
                v.push_back(::number(part, "a version"));
            if (v.size() != 4 ||
                std::any_of(v.begin(), v.end(), [](std::uint32_t x) { return x > 0xFFFF; }))
                throw Failure("a version is four numbers up to 65535: " + text);
            ms = (v[0] << 16) | v[1];
            ls = (v[2] << 16) | v[3];
        };
        while (std::getline(in, line)) {
            ++number;
            try {
                if (!line.empty() && line.back() == '\r')
                    throw Failure("carriage return in the file (save it with LF line ends)");
                line = substitute(line, defines_);
                auto first = line.find_first_not_of(" \t");
                if (first == std::string::npos || line[first] == ';')
                    continue;
                auto tab = line.find('\t');
                if (tab != std::string::npos && first == 0 && line.find(' ') > tab) {
                    if (!table)
                        throw Failure("a string outside a BLOCK");
                    table->strings.emplace_back(win32::from_utf8(line.substr(0, tab)),
                                                unescape(line.substr(tab + 1)));
                    continue;
                }
                auto t = tokens(line);
                const std::string& k = t[0].text;
                auto value = [&] {
                    if (t.size() != 2)
                        throw Failure("usage: " + k + " VALUE");
                    return t[1].text;
                };
                if (k == "FILEVERSION") {
                    quad(value(), d.file_version_ms, d.file_version_ls);
                    file_version = true;
                } else if (k == "PRODUCTVERSION") {
                    quad(value(), d.product_version_ms, d.product_version_ls);
                } else if (k == "FILEFLAGSMASK") {
                    d.flags_mask = ::number(value(), k);
                } else if (k == "FILEFLAGS") {
                    d.flags = ::number(value(), k);
                } else if (k == "FILEOS") {
                    d.os = ::number(value(), k);
                } else if (k == "FILETYPE") {
                    d.type = ::number(value(), k);
                } else if (k == "FILESUBTYPE") {
                    d.subtype = ::number(value(), k);
                } else if (k == "BLOCK") {
                    std::string key = value();
                    if (key.size() != 8 ||
                        key.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                        throw Failure(
                            "a BLOCK is named by 8 hexadecimal digits (language, code page)");
                    d.tables.push_back({win32::from_utf8(key), {}});
                    table = &d.tables.back();
                } else if (k == "TRANSLATION") {
                    if (t.size() != 3)
                        throw Failure("usage: TRANSLATION LANGUAGE CODEPAGE");
                    std::uint32_t l = ::number(t[1].text, k), cp = ::number(t[2].text, k);
                    if (l > 0xFFFF || cp > 0xFFFF)
                        throw Failure("TRANSLATION takes two 16-bit numbers");
                    d.translations.emplace_back(static_cast<WORD>(l), static_cast<WORD>(cp));
                } else {
                    throw Failure("unknown line: " + k);
                }
            } catch (const Failure& f) {
                throw Failure(path.string() + ":" + std::to_string(number) + ": " + f.what());
            }
        }
        if (!file_version)
            throw Failure(path.string() + ": FILEVERSION is missing");
        if (!d.product_version_ms && !d.product_version_ls) {
            d.product_version_ms = d.file_version_ms;
            d.product_version_ls = d.file_version_ls;
        }
        if (d.translations.empty())
            for (const auto& tb : d.tables) {
                unsigned long v = std::stoul(win32::to_utf8(tb.key), nullptr, 16);
                d.translations.emplace_back(static_cast<WORD>(v >> 16),
                                            static_cast<WORD>(v & 0xFFFF));
            }
        std::uint16_t l = lang                     ? *lang
                          : d.translations.empty() ? 0x0409
                                                   : d.translations.front().first;
        add({Key{false, 16, {}}, Key{false, 1, {}}, l, win32::build_version_block(d)});
    }

    void icon(const Key& name, std::uint16_t lang, const std::string& ico,
              const std::string& what) {
        auto b = reinterpret_cast<const unsigned char*>(ico.data());
        if (ico.size() < 6 || get16(b) != 0 || get16(b + 2) != 1)
            throw Failure(what + " is not an icon file");
        std::size_t count = get16(b + 4);
        if (count == 0 || ico.size() < 6 + count * 16)
            throw Failure(what + " has no images");
        std::string group;
        put16(group, 0);
        put16(group, 1);
        put16(group, static_cast<std::uint32_t>(count));
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned char* e = b + 6 + i * 16;
            std::uint32_t size = get32(e + 8), at = get32(e + 12);
            if (at > ico.size() || size > ico.size() - at)
                throw Failure(what + ": image " + std::to_string(i) + " lies outside the file");
            std::uint16_t id = ++icon_ids_;
            group.append(reinterpret_cast<const char*>(e), 12); // width .. bytes in resource
            put16(group, id);
            add({Key{false, 3, {}}, Key{false, id, {}}, lang, ico.substr(at, size)});
        }
        add({Key{false, 14, {}}, name, lang, group});
    }

    std::map<std::string, std::string> defines_;
    std::vector<Resource> resources_;
    std::set<std::string> inputs_;
    std::uint16_t icon_ids_ = 0;
};

std::string Compiler::directory() const {
    std::vector<const Resource*> sorted;
    for (const auto& r : resources_)
        sorted.push_back(&r);
    std::sort(sorted.begin(), sorted.end(), [](const Resource* a, const Resource* b) {
        if (a->type < b->type || b->type < a->type)
            return a->type < b->type;
        if (a->name < b->name || b->name < a->name)
            return a->name < b->name;
        return a->language < b->language;
    });
    using namespace win32::resformat;
    std::string names;
    auto key = [&](const Key& k) -> std::uint32_t {
        if (!k.is_string)
            return k.id;
        std::uint32_t at = static_cast<std::uint32_t>(names.size());
        std::u16string units = win32::to_utf16(k.name);
        put16(names, static_cast<std::uint32_t>(units.size()));
        for (char16_t u : units)
            put16(names, u);
        return kStringFlag | at;
    };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> keys;
    for (const auto* r : sorted)
        keys.emplace_back(key(r->type), key(r->name));
    std::size_t entries_at = kHeaderSize;
    std::size_t names_at = entries_at + sorted.size() * kEntrySize;
    std::size_t data_at =
        (names_at + names.size() + kDataAlignment - 1) / kDataAlignment * kDataAlignment;

    std::string out(kMagic, 8);
    put32(out, static_cast<std::uint32_t>(sorted.size()));
    put32(out, static_cast<std::uint32_t>(entries_at));
    put32(out, static_cast<std::uint32_t>(names_at));
    put32(out, static_cast<std::uint32_t>(names.size()));
    put32(out, 0);
    put32(out, 0);
    std::size_t at = data_at;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        put32(out, keys[i].first);
        put32(out, keys[i].second);
        put16(out, sorted[i]->language);
        put16(out, 0);
        put32(out, 0);
        put64(out, at);
        put64(out, sorted[i]->data.size());
        at = (at + sorted[i]->data.size() + kDataAlignment - 1) / kDataAlignment * kDataAlignment;
    }
    out += names;
    for (const auto* r : sorted) {
        out.resize((out.size() + kDataAlignment - 1) / kDataAlignment * kDataAlignment, '\0');
        out += r->data;
    }
    return out;
}

std::string depfile_escape(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '#' || c == '\\')
            out.push_back('\\');
        if (c == '$')
            out.push_back('$');
        out.push_back(c);
    }
    return out;
}

int compile(const std::vector<std::string>& args) {
    if (args.size() < 3)
        throw Failure("usage: rescomp compile SCRIPT OUTPUT [-D NAME=VALUE]... [--depfile FILE]");
    std::map<std::string, std::string> defines;
    std::string depfile;
    for (std::size_t i = 3; i < args.size(); ++i) {
        if (args[i] == "-D" && i + 1 < args.size()) {
            auto eq = args[++i].find('=');
            if (eq == std::string::npos)
                throw Failure("-D takes NAME=VALUE");
            defines[args[i].substr(0, eq)] = args[i].substr(eq + 1);
        } else if (args[i] == "--depfile" && i + 1 < args.size()) {
            depfile = args[++i];
        } else {
            throw Failure("unknown argument " + args[i]);
        }
    }
    Compiler c(defines);
    c.script(args[1]);
    write_file(args[2], c.directory());
    if (!depfile.empty()) {
        std::string deps = depfile_escape(fs::absolute(args[2]).string()) + ":";
        for (const auto& in : c.inputs())
            deps += " " + depfile_escape(in);
        write_file(depfile, deps + "\n");
    }
    return 0;
}

int attach(const std::vector<std::string>& args) {
    if (args.size() != 3)
        throw Failure("usage: rescomp attach FILE DIRECTORY");
    using namespace win32::resformat;
    std::string file = read_file(args[1]);
    std::string dir = read_file(args[2]);
    if (dir.size() < kHeaderSize || dir.compare(0, 8, std::string(kMagic, 8)) != 0)
        throw Failure(args[2] + " is not a resource directory");
    // A directory attached before goes: the trailer remembers the size the file had.
    if (file.size() >= kTrailerSize &&
        file.compare(file.size() - kTrailerSize, 8, std::string(kTrailerMagic, 8)) == 0) {
        auto original = win32::resformat::get64(
            reinterpret_cast<const unsigned char*>(file.data()) + file.size() - 8);
        if (original > file.size())
            throw Failure(args[1] + " has a damaged resource trailer");
        file.resize(static_cast<std::size_t>(original));
    }
    std::uint64_t original = file.size();
    file.resize((file.size() + kDataAlignment - 1) / kDataAlignment * kDataAlignment, '\0');
    std::uint64_t at = file.size();
    file += dir;
    file.append(kTrailerMagic, 8);
    put64(file, at);
    put64(file, dir.size());
    put64(file, original);
    auto perms = fs::status(args[1]).permissions();
    write_file(args[1], file);
    fs::permissions(args[1], perms);
    return 0;
}

int list(const std::vector<std::string>& args) {
    if (args.size() != 2)
        throw Failure("usage: rescomp list FILE");
    std::string bytes = read_file(args[1]);
    // A bare directory is listed as if it were attached to an empty file.
    if (bytes.compare(0, 8, std::string(win32::resformat::kMagic, 8)) == 0) {
        std::uint64_t size = bytes.size();
        bytes.append(win32::resformat::kTrailerMagic, 8);
        put64(bytes, 0);
        put64(bytes, size);
        put64(bytes, 0);
    }
    win32::DWORD error = 0;
    auto image = win32::ResourceImage::parse(reinterpret_cast<const win32::BYTE*>(bytes.data()),
                                             bytes.size(), error);
    if (!image)
        throw Failure(args[1] + ": no resources (error " + std::to_string(error) + ")");
    for (const auto& e : image->entries()) {
        char lang[8];
        std::snprintf(lang, sizeof lang, "0x%04X", e.language);
        std::cout << "type " << e.type.text() << "  name " << e.name.text() << "  language " << lang
                  << "  " << e.size << " bytes\n";
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (!args.empty() && args[0] == "compile")
            return compile(args);
        if (!args.empty() && args[0] == "attach")
            return attach(args);
        if (!args.empty() && args[0] == "list")
            return list(args);
        std::cerr << "usage: rescomp compile SCRIPT OUTPUT [-D NAME=VALUE]... [--depfile FILE]\n"
                     "       rescomp attach FILE DIRECTORY\n"
                     "       rescomp list FILE\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "rescomp: " << e.what() << "\n";
        return 1;
    }
}
