// A separate process for tests that must see the machine as another program sees it.
//   win32_probe query KEY VALUE   prints "type=T size=S data=HEX" (HEX: the bytes as Windows
//                                 stores them); exits with the error code.
#include "win32/registry.h"
#include "win32/registry_store.h"
#include "win32/text.h"

#include <cstdio>
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

} // namespace

int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(from_utf8(argv[i]));
    if (args.size() == 3 && args[0] == L"query")
        return query(args[1], args[2]);
    std::fprintf(stderr, "usage: win32_probe query KEY VALUE\n");
    return 2;
}
