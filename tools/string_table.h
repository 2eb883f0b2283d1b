// Reader of the installer's string-table sources (res/strings/<language>.txt), shared by the
// resource compiler and the checks of the translations.
//
// A source is UTF-8, one line per item:
//   ; comment                    (first character ';'; blank lines are skipped too)
//   @langid 0x0407               (LANGID the table is stored under)
//   @offset 2000                 (the language's text offset: string id = base + offset)
//   1000<TAB>text                (base number, one TAB, the text to the end of the line)
// The text is kept exactly as written, blanks included; `\r`, `\n`, `\t` and `\\` are its only
// escapes. "#" is an ordinary text here: it is the mark of an untranslated entry, which the
// installer's lookup recognises at run time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <optional>
#include <string_view>

namespace strtab {

inline constexpr std::uint32_t first_base = 1000;
inline constexpr std::uint32_t last_base = 1131;

struct Table {
    std::uint16_t langid = 0;
    std::uint32_t offset = 0;
    std::map<std::uint32_t, std::wstring> texts; // base number -> text, escapes resolved
};

// Parses one source. On failure returns false and sets `error` to "line N: reason"; `table` is
// then unspecified. Refused: invalid UTF-8, a raw carriage return (a CRLF file would otherwise
// put an invisible CR at the end of every text), a missing or repeated header, a base number
// outside 1000..1131 or given twice, a string id past 65535, an empty text, an unknown escape.
bool parse(std::string_view source, Table& table, std::string& error);

// Resolves the escapes of our text formats (\r \n \t \\); nullopt on an unknown or
// unfinished one. The resource compiler reads its version strings with it too.
std::optional<std::string> unescape(std::string_view s);

// Reads and parses the file at a host path; `error` is prefixed with the path.
bool load_file(const std::string& host_path, Table& table, std::string& error);

} // namespace strtab
