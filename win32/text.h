// Text conversions that never depend on the C or C++ global locale (the program changes
// those on purpose): UTF-8 for host paths, UTF-16LE for the file formats that store it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace win32 {

std::string to_utf8(std::wstring_view text);
std::wstring from_utf8(std::string_view text);

// UTF-16 code units of `text` (surrogate pairs for characters above U+FFFF).
std::u16string to_utf16(std::wstring_view text);
std::wstring from_utf16(std::u16string_view text);

// Little-endian byte form, as files store it.
void append_utf16le(std::string& out, std::wstring_view text);
std::wstring from_utf16le(const void* data, std::size_t bytes);

// Case-insensitive comparison as Windows file names and registry keys use it
// (per character upper-casing, independent of the locale).
wchar_t upper_char(wchar_t c);
std::wstring upper(std::wstring_view text);
bool iequals(std::wstring_view a, std::wstring_view b);

// ASCII-only helpers for config files.
std::string trim(std::string_view text);

} // namespace win32
