#include "tests/journal/support.h"

#include "tests/support/temp_machine.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/registry.h"
#include "win32/text.h"

#include <gtest/gtest.h>

using namespace win32;
namespace fs = std::filesystem;

namespace jtest {

namespace {

fs::path host_of(const std::wstring& path) {
    HostPath hp;
    if (Machine::current().map(path, hp, 32768) != 0)
        throw std::runtime_error("unmappable path");
    return hp.host;
}

} // namespace

void put_file(const std::wstring& path, std::string_view bytes, DWORD attrs) {
    fs::create_directories(host_of(path).parent_path());
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << to_utf8(path) << " error " << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(h);
    if (attrs) {
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), attrs));
    }
}

std::string file_bytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

DWORD attributes(const std::wstring& path) {
    return GetFileAttributesW(path.c_str());
}

bool exists(const std::wstring& path) {
    return attributes(path) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> backup_files() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((std::wstring(temp) + L"dv*.tmp").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return out;
    do
        out.push_back(std::wstring(temp) + data.cFileName);
    while (FindNextFileW(find, &data));
    FindClose(find);
    return out;
}

HKEY create_key(const std::wstring& sub) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

void set_string(HKEY key, const wchar_t* name, const std::wstring& text) {
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             reg_string_bytes(text)),
              ERROR_SUCCESS);
}

void set_dword(HKEY key, const wchar_t* name, DWORD value) {
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
}

namespace {

void dump(HKEY key, const std::wstring& name, std::string& out) {
    out += "[" + to_utf8(name) + "]\n";
    for (DWORD i = 0;; ++i) {
        wchar_t value[16384];
        DWORD chars = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, i, value, &chars, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        // String data counts two bytes per character but holds wchar_t in memory.
        std::vector<BYTE> data(size * 2 + 8);
        chars = 16384;
        DWORD got = size;
        RegEnumValueW(key, i, value, &chars, nullptr, &type, data.data(), &got);
        out += "  " + to_utf8(std::wstring(value, chars)) + " type " + std::to_string(type) +
               " size " + std::to_string(got) + " =";
        if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
            out += " " + to_utf8(std::wstring_view(reinterpret_cast<const wchar_t*>(data.data()),
                                                   got / 2));
        else
            for (DWORD b = 0; b < got; ++b)
                out += " " + std::to_string(data[b]);
        out += "\n";
    }
    for (DWORD i = 0;; ++i) {
        wchar_t sub[256];
        DWORD chars = 256;
        if (RegEnumKeyExW(key, i, sub, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, sub, 0, KEY_READ, &child) == ERROR_SUCCESS) {
            dump(child, name + L"\\" + sub, out);
            RegCloseKey(child);
        }
    }
}

} // namespace

std::string dump_key(const std::wstring& sub) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<missing>";
    std::string out;
    dump(key, sub, out);
    RegCloseKey(key);
    return out;
}

Snapshot snapshot() {
    Snapshot s;
    const fs::path root = Machine::current().root();
    for (const char* top : {"drive_c", "registry"}) {
        fs::path base = root / top;
        if (!fs::exists(base))
            continue;
        for (auto it = fs::recursive_directory_iterator(base);
             it != fs::recursive_directory_iterator(); ++it) {
            std::string name = fs::relative(it->path(), root).string();
            // The hives' lock files carry nothing.
            if (it->path().extension() == ".lock")
                continue;
            std::string value = "attributes " + std::to_string(host_file_attributes(it->path()));
            if (it->is_regular_file())
                value += " bytes " + dvtest::read_host_file(it->path());
            s.entries[name] = value;
        }
    }
    return s;
}

std::string diff(const Snapshot& before, const Snapshot& after) {
    std::string out;
    for (const auto& [name, value] : before.entries) {
        auto it = after.entries.find(name);
        if (it == after.entries.end())
            out += "gone: " + name + "\n";
        else if (it->second != value)
            out += "changed: " + name + "\n";
    }
    for (const auto& [name, value] : after.entries)
        if (!before.entries.count(name))
            out += "new: " + name + "\n";
    return out;
}

} // namespace jtest
