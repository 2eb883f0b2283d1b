// dvmachine reg: reads and changes the machine's registry, for people and for tests that
// prepare a machine. Works as the machine's owner: the user's token is not consulted.
#include "win32/machine.h"
#include "win32/registry.h"
#include "win32/registry_store.h"
#include "win32/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iostream>
#include <string>
#include <vector>

using namespace win32;

namespace {

int reg_usage() {
    std::cerr << "usage: dvmachine reg query KEY [VALUE]\n"
                 "       dvmachine reg set KEY VALUE TYPE DATA\n"
                 "       dvmachine reg delete KEY [VALUE]\n"
                 "       dvmachine reg export KEY FILE\n"
                 "KEY: HKLM\\..., HKCU\\..., HKCR\\..., HKU\\... (or the long root names);\n"
                 "an empty VALUE names the default value; TYPE: REG_SZ, REG_EXPAND_SZ,\n"
                 "REG_MULTI_SZ (items separated by \\0), REG_DWORD, REG_QWORD, REG_BINARY (hex),\n"
                 "REG_NONE (hex)\n";
    return 2;
}

struct TypeName {
    DWORD type;
    const char* name;
};
const TypeName kTypes[] = {{REG_NONE, "REG_NONE"},           {REG_SZ, "REG_SZ"},
                           {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
                           {REG_DWORD, "REG_DWORD"},         {REG_MULTI_SZ, "REG_MULTI_SZ"},
                           {REG_QWORD, "REG_QWORD"}};

std::string type_name(DWORD type) {
    for (const auto& t : kTypes)
        if (t.type == type)
            return t.name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", type);
    return buf;
}

int fail(const std::string& what, LSTATUS e) {
    std::cerr << "dvmachine: " << what << ": error " << e;
    if (e == 2)
        std::cerr << " (not found)";
    else if (e == ERROR_REGISTRY_CORRUPT)
        std::cerr << " (" << registry::last_hive_error() << ")";
    std::cerr << "\n";
    return 1;
}

bool open(const std::string& name, bool create, HKEY& key, LSTATUS& e) {
    HKEY root = nullptr;
    std::wstring sub;
    if (!registry::parse_key_name(from_utf8(name), root, sub)) {
        e = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (create)
        e = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr);
    else
        e = RegOpenKeyExW(root, sub.c_str(), 0, KEY_ALL_ACCESS, &key);
    return e == ERROR_SUCCESS;
}

std::string show_data(DWORD type, const std::vector<wchar_t>& buf, DWORD size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(buf.data());
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        return to_utf8(std::wstring(buf.data()));
    if (type == REG_MULTI_SZ) {
        std::string out;
        for (const wchar_t* p = buf.data(); *p; p += std::wcslen(p) + 1)
            out += (out.empty() ? "" : "\\0") + to_utf8(p);
        return out;
    }
    char tmp[32];
    if (type == REG_DWORD && size == 4) {
        std::snprintf(tmp, sizeof tmp, "0x%x", *reinterpret_cast<const DWORD*>(bytes));
        return tmp;
    }
    if (type == REG_QWORD && size == 8) {
        std::snprintf(tmp, sizeof tmp, "0x%llx",
                      static_cast<unsigned long long>(*reinterpret_cast<const ULONGLONG*>(bytes)));
        return tmp;
    }
    std::string out;
    for (DWORD i = 0; i < size; ++i) {
        std::snprintf(tmp, sizeof tmp, "%02X", bytes[i]);
        out += tmp;
    }
    return out;
}

// Prints one value as "    NAME    TYPE    DATA"; false when it cannot be read.
LSTATUS print_value(HKEY key, const std::wstring& name) {
    DWORD type = 0, size = 0;
    LSTATUS e = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    if (e)
        return e;
    // String sizes count two bytes per character; a zeroed tail terminates any string.
    std::vector<wchar_t> buf(size / 2 + size / 4 + 4, 0);
    e = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                         &size);
    if (e)
        return e;
    std::cout << "    " << (name.empty() ? "(Default)" : to_utf8(name)) << "    " << type_name(type)
              << "    " << show_data(type, buf, size) << "\n";
    return ERROR_SUCCESS;
}

int cmd_query(const std::string& key_name, const std::string* value) {
    HKEY key = nullptr;
    LSTATUS e = 0;
    if (!open(key_name, false, key, e))
        return fail(key_name, e);
    std::wstring full;
    registry::key_name(key, full);
    std::cout << to_utf8(full) << "\n";
    int rc = 0;
    if (value) {
        if ((e = print_value(key, from_utf8(*value))))
            rc = fail(key_name + " " + *value, e);
    } else {
        std::vector<wchar_t> name(16384);
        for (DWORD i = 0;; ++i) {
            DWORD chars = static_cast<DWORD>(name.size());
            if (RegEnumValueW(key, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr))
                break;
            print_value(key, std::wstring(name.data(), chars));
        }
        bool first = true;
        for (DWORD i = 0;; ++i) {
            DWORD chars = static_cast<DWORD>(name.size());
            if (RegEnumKeyExW(key, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr))
                break;
            if (first)
                std::cout << "\n";
            first = false;
            std::cout << to_utf8(full) << "\\" << to_utf8(std::wstring(name.data(), chars)) << "\n";
        }
    }
    RegCloseKey(key);
    return rc;
}

bool parse_hex(const std::string& s, std::string& out) {
    if (s.size() % 2)
        return false;
    for (std::size_t i = 0; i < s.size(); i += 2) {
        char* end = nullptr;
        std::string two = s.substr(i, 2);
        long b = std::strtol(two.c_str(), &end, 16);
        if (*end)
            return false;
        out.push_back(static_cast<char>(b));
    }
    return true;
}

int cmd_set(const std::string& key_name, const std::string& value, const std::string& type_text,
            const std::string& data) {
    DWORD type = 0xFFFFFFFFu;
    for (const auto& t : kTypes)
        if (type_text == t.name)
            type = t.type;
    if (type == 0xFFFFFFFFu)
        return reg_usage();
    std::string bytes;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        std::wstring text = from_utf8(data);
        if (type == REG_MULTI_SZ) {
            for (std::size_t at; (at = text.find(L"\\0")) != std::wstring::npos;)
                text.replace(at, 2, 1, L'\0');
            if (!text.empty())
                text.push_back(L'\0');
        }
        text.push_back(L'\0');
        auto size = reg_string_bytes(text) - 2; // the counted text already ends in its zero
        HKEY key = nullptr;
        LSTATUS e = 0;
        if (!open(key_name, true, key, e))
            return fail(key_name, e);
        e = RegSetValueExW(key, from_utf8(value).c_str(), 0, type,
                           reinterpret_cast<const BYTE*>(text.data()), size);
        RegCloseKey(key);
        return e ? fail(key_name + " " + value, e) : 0;
    }
    if (type == REG_DWORD || type == REG_QWORD) {
        char* end = nullptr;
        unsigned long long v = std::strtoull(data.c_str(), &end, 0);
        if (data.empty() || *end || (type == REG_DWORD && v > 0xFFFFFFFFull))
            return reg_usage();
        bytes.assign(reinterpret_cast<const char*>(&v), type == REG_DWORD ? 4 : 8);
    } else if (!parse_hex(data, bytes)) {
        return reg_usage();
    }
    HKEY key = nullptr;
    LSTATUS e = 0;
    if (!open(key_name, true, key, e))
        return fail(key_name, e);
    e = RegSetValueExW(key, from_utf8(value).c_str(), 0, type,
                       reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    return e ? fail(key_name + " " + value, e) : 0;
}

int cmd_delete(const std::string& key_name, const std::string* value) {
    HKEY root = nullptr;
    std::wstring sub;
    if (!registry::parse_key_name(from_utf8(key_name), root, sub))
        return fail(key_name, ERROR_INVALID_PARAMETER);
    if (!value) {
        LSTATUS e = SHDeleteKeyW(root, sub.c_str());
        return e ? fail(key_name, e) : 0;
    }
    HKEY key = nullptr;
    LSTATUS e = 0;
    if (!open(key_name, false, key, e))
        return fail(key_name, e);
    e = RegDeleteValueW(key, from_utf8(*value).c_str());
    RegCloseKey(key);
    return e ? fail(key_name + " " + *value, e) : 0;
}

int cmd_export(const std::string& key_name, const std::string& file) {
    HKEY key = nullptr;
    LSTATUS e = 0;
    if (!open(key_name, false, key, e))
        return fail(key_name, e);
    std::string text;
    e = registry::export_key(key, text);
    RegCloseKey(key);
    if (e)
        return fail(key_name, e);
    int err = 0;
    if (!write_file_atomic(file, text, &err)) {
        std::cerr << "dvmachine: cannot write " << file << ": " << std::strerror(err) << "\n";
        return 1;
    }
    return 0;
}

} // namespace

// args[0] is "reg".
int reg_command(const std::vector<std::string>& args) {
    registry::bypass_security(true);
    Machine::current();
    const std::size_t n = args.size();
    if (n >= 3 && n <= 4 && args[1] == "query")
        return cmd_query(args[2], n == 4 ? &args[3] : nullptr);
    if (n == 6 && args[1] == "set")
        return cmd_set(args[2], args[3], args[4], args[5]);
    if (n >= 3 && n <= 4 && args[1] == "delete")
        return cmd_delete(args[2], n == 4 ? &args[3] : nullptr);
    if (n == 4 && args[1] == "export")
        return cmd_export(args[2], args[3]);
    return reg_usage();
}
