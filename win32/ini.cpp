#include "win32/ini.h"

#include "win32/text.h"

#include <algorithm>
#include <stdexcept>

namespace win32 {

namespace {
bool iequal_ascii(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lx = (x >= 'A' && x <= 'Z') ? x + 32 : x;
               auto ly = (y >= 'A' && y <= 'Z') ? y + 32 : y;
               return lx == ly;
           });
}
} // namespace

IniFile IniFile::parse(std::string_view text, std::string_view file_name) {
    IniFile ini;
    Section* current = nullptr;
    std::size_t line_no = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string line = trim(text.substr(pos, end - pos));
        ++line_no;
        pos = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                throw std::runtime_error(std::string(file_name) + ":" + std::to_string(line_no) +
                                         ": unterminated section name");
            std::string name = trim(std::string_view(line).substr(1, line.size() - 2));
            current = ini.find(name);
            if (!current) {
                ini.sections_.push_back({name, {}});
                current = &ini.sections_.back();
            }
            continue;
        }
        auto eq = line.find('=');
        if (eq == std::string::npos || !current)
            throw std::runtime_error(
                std::string(file_name) + ":" + std::to_string(line_no) +
                (current ? ": expected key=value" : ": value outside a section"));
        ini.set(current->name, trim(std::string_view(line).substr(0, eq)),
                trim(std::string_view(line).substr(eq + 1)));
        current = ini.find(current->name);
    }
    return ini;
}

IniFile::Section* IniFile::find(std::string_view section) {
    for (auto& s : sections_)
        if (iequal_ascii(s.name, section))
            return &s;
    return nullptr;
}

const IniFile::Section* IniFile::find(std::string_view section) const {
    return const_cast<IniFile*>(this)->find(section);
}

bool IniFile::has(std::string_view section, std::string_view key) const {
    if (const Section* s = find(section))
        for (const auto& [k, v] : s->values)
            if (iequal_ascii(k, key))
                return true;
    return false;
}

std::string IniFile::get(std::string_view section, std::string_view key,
                         std::string_view fallback) const {
    if (const Section* s = find(section))
        for (const auto& [k, v] : s->values)
            if (iequal_ascii(k, key))
                return v;
    return std::string(fallback);
}

void IniFile::set(std::string_view section, std::string_view key, std::string_view value) {
    Section* s = find(section);
    if (!s) {
        sections_.push_back({std::string(section), {}});
        s = &sections_.back();
    }
    for (auto& [k, v] : s->values)
        if (iequal_ascii(k, key)) {
            v = value;
            return;
        }
    s->values.emplace_back(key, value);
}

bool IniFile::erase(std::string_view section, std::string_view key) {
    if (Section* s = find(section))
        for (auto it = s->values.begin(); it != s->values.end(); ++it)
            if (iequal_ascii(it->first, key)) {
                s->values.erase(it);
                return true;
            }
    return false;
}

std::string IniFile::serialize() const {
    std::string out;
    for (const auto& s : sections_) {
        if (!out.empty())
            out += '\n';
        out += '[' + s.name + "]\n";
        for (const auto& [k, v] : s.values)
            out += k + '=' + v + '\n';
    }
    return out;
}

} // namespace win32
