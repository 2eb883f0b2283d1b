// The small INI dialect of machine.ini: [section] lines, key=value lines, ';' and '#'
// comments. Section and key names compare case-insensitively; order is kept on rewrite.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace win32 {

class IniFile {
public:
    // Throws std::runtime_error naming the line for a line that is neither of the three kinds.
    static IniFile parse(std::string_view text, std::string_view file_name = "machine.ini");

    bool has(std::string_view section, std::string_view key) const;
    std::string get(std::string_view section, std::string_view key,
                    std::string_view fallback = "") const;
    void set(std::string_view section, std::string_view key, std::string_view value);
    bool erase(std::string_view section, std::string_view key);
    std::string serialize() const;

private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> values;
    };
    Section* find(std::string_view section);
    const Section* find(std::string_view section) const;
    std::vector<Section> sections_;
};

} // namespace win32
