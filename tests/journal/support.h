// Helpers of the journal tests: files and keys of the machine, and a snapshot of the whole
// machine (drives and registry) to tell whether a rollback left it exactly as it was.
#pragma once

#include "win32/types.h"

#include <map>
#include <string>
#include <vector>

namespace jtest {

// Writes a file of the machine (folders made on the host), with the given attributes.
void put_file(const std::wstring& path, std::string_view bytes, win32::DWORD attributes = 0);
// The file's bytes, or "<missing>".
std::string file_bytes(const std::wstring& path);
win32::DWORD attributes(const std::wstring& path);
bool exists(const std::wstring& path);

// "dv*.tmp" files in the user's temporary folder.
std::vector<std::wstring> backup_files();

// Keys and values under HKEY_LOCAL_MACHINE.
win32::HKEY create_key(const std::wstring& sub);
void set_string(win32::HKEY key, const wchar_t* name, const std::wstring& text);
void set_dword(win32::HKEY key, const wchar_t* name, win32::DWORD value);
// Every key, value, type and data below HKEY_LOCAL_MACHINE\sub as text; "<missing>" when the
// key does not exist.
std::string dump_key(const std::wstring& sub);

// Every file and folder of the machine's drives with its bytes and attributes, and the bytes
// of every registry hive.
struct Snapshot {
    std::map<std::string, std::string> entries;
    bool operator==(const Snapshot&) const = default;
};
Snapshot snapshot();
// What differs, one line per entry, for a test's failure message.
std::string diff(const Snapshot& before, const Snapshot& after);

} // namespace jtest
