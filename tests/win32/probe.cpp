// A separate process for tests that must see the machine as another program sees it.
//   win32_probe query KEY VALUE   prints "type=T size=S data=HEX" (HEX: the bytes as Windows
//                                 stores them); exits with the error code.
//   win32_probe sd PATH           prints the HEX of the file's owner and DACL descriptor.
//   win32_probe load NAME FLAGS   LoadLibraryExW; prints the loaded module's file name.
//   win32_probe proc NAME ENTRY   GetProcAddress in a module loaded from System32; prints
//                                 "found" or "error=N".
#include "win32/registry_store.h"
#include "win32/windows.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace win32;

namespace {

std::string hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

int query(const std::wstring& key_name, const std::wstring& value) {
    HKEY root = nullptr;
    std::wstring sub;
    if (!registry::parse_key_name(key_name, root, sub))
        return 87;
    HKEY key = nullptr;
    if (LSTATUS e = RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &key))
        return e;
    DWORD type = 0, size = 0;
    LSTATUS e = RegQueryValueExW(key, value.c_str(), nullptr, &type, nullptr, &size);
    std::vector<wchar_t> buf(size / 2 + 1); // by the Windows count: size / 2 characters
    if (!e)
        e = RegQueryValueExW(key, value.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(buf.data()), &size);
    RegCloseKey(key);
    if (e)
        return e;
    std::string bytes;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        append_utf16le(bytes, std::wstring_view(buf.data(), buf.size()));
        bytes.resize(size);
    } else {
        bytes.assign(reinterpret_cast<const char*>(buf.data()), size);
    }
    std::printf("type=%u size=%u data=%s\n", type, size, hex(bytes).c_str());
    return 0;
}

int security(const std::wstring& path) {
    DWORD needed = 0;
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (GetFileSecurityW(path.c_str(), what, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return static_cast<int>(GetLastError());
    std::string sd(needed, '\0');
    if (!GetFileSecurityW(path.c_str(), what, sd.data(), needed, &needed))
        return static_cast<int>(GetLastError());
    std::printf("%s\n", hex(sd).c_str());
    return 0;
}

int load(const std::wstring& name, const std::string& flags) {
    HMODULE h = LoadLibraryExW(name.c_str(), nullptr, std::strtoul(flags.c_str(), nullptr, 0));
    if (!h)
        return static_cast<int>(GetLastError());
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(h, path, MAX_PATH);
    std::printf("%s\n", to_utf8(path).c_str());
    return 0;
}

int proc(const std::wstring& name, const std::string& entry) {
    HMODULE h = LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!h)
        return static_cast<int>(GetLastError());
    if (GetProcAddress(h, entry.c_str()))
        std::printf("found\n");
    else
        std::printf("error=%u\n", GetLastError());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(from_utf8(argv[i]));
    if (args.size() == 3 && args[0] == L"query")
        return query(args[1], args[2]);
    if (args.size() == 2 && args[0] == L"sd")
        return security(args[1]);
    if (args.size() == 3 && args[0] == L"load")
        return load(args[1], argv[3]);
    if (args.size() == 3 && args[0] == L"proc")
        return proc(args[1], argv[3]);
    std::fprintf(
        stderr,
        "usage: win32_probe query KEY VALUE | sd PATH | load NAME FLAGS | proc NAME ENTRY\n");
    return 2;
}
