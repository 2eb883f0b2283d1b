#include "win32/module.h"
#include "win32/resource.h"

#include "win32/error.h"
#include "win32/machine.h"
#include "win32/registry.h"
#include "win32/security.h"
#include "win32/sysinfo.h"
#include "win32/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <span>
#include <sys/stat.h>

#ifndef DV_ADVAPI32_MODULE
#define DV_ADVAPI32_MODULE ""
#endif

namespace fs = std::filesystem;

namespace win32 {

namespace {

struct Export {
    const char* name;
    void* function;
};

template <class F> void* fn(F* f) {
    return reinterpret_cast<void*>(f);
}

// The tables are built on first use, not by a static initialiser: programs reach advapi32.dll
// from their own static initialisation (the instance counter's secure semaphore), which may
// run before this file's initialisers.

// What the project's advapi32.dll forwards to, by the names it exports.
std::span<const Export> advapi32_exports() {
    static const Export table[] = {
        {"AccessCheck", fn(&AccessCheck)},
        {"AddAccessAllowedAce", fn(&AddAccessAllowedAce)},
        {"AddAccessAllowedAceEx", fn(&AddAccessAllowedAceEx)},
        {"AddAccessDeniedAce", fn(&AddAccessDeniedAce)},
        {"AddAce", fn(&AddAce)},
        {"AdjustTokenPrivileges", fn(&AdjustTokenPrivileges)},
        {"AllocateAndInitializeSid", fn(&AllocateAndInitializeSid)},
        {"CheckTokenMembership", fn(&CheckTokenMembership)},
        {"EqualSid", fn(&EqualSid)},
        {"FreeSid", fn(&FreeSid)},
        {"GetAce", fn(&GetAce)},
        {"GetAclInformation", fn(&GetAclInformation)},
        {"GetFileSecurityW", fn(&GetFileSecurityW)},
        {"GetLengthSid", fn(&GetLengthSid)},
        {"GetSecurityDescriptorControl", fn(&GetSecurityDescriptorControl)},
        {"GetSecurityDescriptorDacl", fn(&GetSecurityDescriptorDacl)},
        {"GetSecurityDescriptorLength", fn(&GetSecurityDescriptorLength)},
        {"GetSecurityDescriptorOwner", fn(&GetSecurityDescriptorOwner)},
        {"ImpersonateSelf", fn(&ImpersonateSelf)},
        {"InitializeAcl", fn(&InitializeAcl)},
        {"InitializeSecurityDescriptor", fn(&InitializeSecurityDescriptor)},
        {"IsValidAcl", fn(&IsValidAcl)},
        {"IsValidSecurityDescriptor", fn(&IsValidSecurityDescriptor)},
        {"IsValidSid", fn(&IsValidSid)},
        {"LookupPrivilegeValueW", fn(&LookupPrivilegeValueW)},
        {"MapGenericMask", fn(&MapGenericMask)},
        {"OpenProcessToken", fn(&OpenProcessToken)},
        {"OpenThreadToken", fn(&OpenThreadToken)},
        {"RegCloseKey", fn(&RegCloseKey)},
        {"RegCreateKeyExW", fn(&RegCreateKeyExW)},
        {"RegDeleteKeyW", fn(&RegDeleteKeyW)},
        {"RegDeleteValueW", fn(&RegDeleteValueW)},
        {"RegEnumKeyExW", fn(&RegEnumKeyExW)},
        {"RegEnumValueW", fn(&RegEnumValueW)},
        {"RegOpenKeyExW", fn(&RegOpenKeyExW)},
        {"RegQueryInfoKeyW", fn(&RegQueryInfoKeyW)},
        {"RegQueryValueExW", fn(&RegQueryValueExW)},
        {"RegRestoreKeyW", fn(&RegRestoreKeyW)},
        {"RegSaveKeyW", fn(&RegSaveKeyW)},
        {"RegSetValueExW", fn(&RegSetValueExW)},
        {"RevertToSelf", fn(&RevertToSelf)},
        {"SetFileSecurityW", fn(&SetFileSecurityW)},
        {"SetSecurityDescriptorControl", fn(&SetSecurityDescriptorControl)},
        {"SetSecurityDescriptorDacl", fn(&SetSecurityDescriptorDacl)},
        {"SetSecurityDescriptorGroup", fn(&SetSecurityDescriptorGroup)},
        {"SetSecurityDescriptorOwner", fn(&SetSecurityDescriptorOwner)},
    };
    return table;
}

// The built-in kernel32: always loaded, as on Windows; what programs look up in it at run time.
std::span<const Export> kernel32_exports() {
    static const Export table[] = {
        {"FreeLibrary", fn(&FreeLibrary)},
        {"GetModuleFileNameW", fn(&GetModuleFileNameW)},
        {"GetModuleHandleW", fn(&GetModuleHandleW)},
        {"GetProcAddress", fn(&GetProcAddress)},
        {"GetSystemDirectoryW", fn(&GetSystemDirectoryW)},
        {"GetSystemWindowsDirectoryW", fn(&GetSystemWindowsDirectoryW)},
        {"GetWindowsDirectoryW", fn(&GetWindowsDirectoryW)},
        {"LoadLibraryExW", fn(&LoadLibraryExW)},
        {"LoadLibraryW", fn(&LoadLibraryW)},
    };
    return table;
}

// Handed to a module that exports DvModuleAttach: how it reaches the layer of this program.
extern "C" void* dv_layer_export(const char* name) {
    if (!name)
        return nullptr;
    for (const auto& e : advapi32_exports())
        if (std::strcmp(e.name, name) == 0)
            return e.function;
    return nullptr;
}

struct Module {
    void* dl = nullptr; // dlopen handle; null for a module loaded as data
    fs::path host;
    std::wstring win; // the Windows path it was loaded from
    fs::path machine; // the machine it was loaded from
    int refs = 0;
};

struct BuiltinModule {
    const wchar_t* name;
    std::span<const Export> (*exports)();
};
const BuiltinModule kKernel32Module{L"kernel32.dll", kernel32_exports};

std::recursive_mutex g_mutex;
std::map<HMODULE, Module>& modules() {
    static auto* m = new std::map<HMODULE, Module>;
    return *m;
}

HMODULE builtin_handle(const BuiltinModule& b) {
    return reinterpret_cast<HMODULE>(const_cast<BuiltinModule*>(&b));
}

HMODULE program_handle() {
    static void* self = ::dlopen(nullptr, RTLD_NOW);
    return static_cast<HMODULE>(self);
}

fs::path program_host_path() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec);
}

std::wstring file_name_of(std::wstring_view path) {
    auto sep = path.find_last_of(L"\\/");
    return std::wstring(sep == std::wstring_view::npos ? path : path.substr(sep + 1));
}

std::wstring folder_of(std::wstring_view path) {
    auto sep = path.find_last_of(L'\\');
    return sep == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, sep));
}

// Windows adds ".dll" to a name without extension; a trailing dot says "no extension".
std::wstring with_default_extension(std::wstring name) {
    std::wstring file = file_name_of(name);
    if (!file.empty() && file.back() == L'.') {
        name.pop_back();
        return name;
    }
    if (file.find(L'.') == std::wstring::npos)
        name += L".dll";
    return name;
}

bool is_known_dll(std::wstring_view name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs", 0,
                      KEY_READ, &key) != 0)
        return false;
    bool known = false;
    wchar_t value_name[256];
    wchar_t data[260];
    for (DWORD i = 0; !known; ++i) {
        DWORD chars = 256, size = sizeof(data) / 2, type = 0;
        if (RegEnumValueW(key, i, value_name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(data),
                          &size) == ERROR_NO_MORE_ITEMS)
            break;
        known = type == REG_SZ && iequals(std::wstring(data), name);
    }
    RegCloseKey(key);
    return known;
}

bool read_file(const fs::path& p, std::string& out) {
    return read_whole_file(p, out);
}

// Brings the machine's copy of advapi32.dll in line with the removed-exports switch.
void sync_system_advapi32(const fs::path& target) {
    std::string pristine;
    if (!read_file(built_advapi32_path(), pristine))
        return; // no build at hand: the machine's copy stays as it is
    std::vector<std::string> removed =
        Machine::current().setting_list("switches", "removed_advapi32_exports");
    std::string wanted = pristine, error;
    if (!removed.empty() && !strip_exports(wanted, removed, error)) {
        std::fprintf(stderr, "advapi32.dll: %s\n", error.c_str());
        return;
    }
    std::string current;
    if (read_file(target, current) && current == wanted)
        return;
    if (write_file_atomic(target, wanted))
        ::chmod(target.c_str(), 0755);
}

bool is_elf(const fs::path& p) {
    FILE* f = std::fopen(p.c_str(), "rb");
    if (!f)
        return false;
    char magic[4] = {};
    bool ok = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic,
                                                             "\x7F"
                                                             "ELF",
                                                             4) == 0;
    std::fclose(f);
    return ok;
}

HMODULE find_loaded(std::wstring_view name, bool by_path) {
    // A process that changes machines (tests do) does not find the modules of the last one.
    const fs::path& machine = Machine::current().root();
    for (auto& [h, m] : modules())
        if (m.machine == machine &&
            (by_path ? iequals(m.win, name) : iequals(file_name_of(m.win), name)))
            return h;
    if (!by_path && iequals(name, kKernel32Module.name))
        return builtin_handle(kKernel32Module);
    return nullptr;
}

// Loads the module at a Windows path already known to exist.
HMODULE load_file(const HostPath& hp, DWORD flags) {
    if (HMODULE h = find_loaded(hp.full, true)) {
        if (auto it = modules().find(h); it != modules().end())
            ++it->second.refs;
        return h;
    }
    HostPath sys;
    if (Machine::current().map(L"C:\\Windows\\System32\\advapi32.dll", sys) == 0 &&
        sys.host == hp.host)
        sync_system_advapi32(hp.host);
    if (!is_elf(hp.host)) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    Module m;
    m.host = hp.host;
    m.win = hp.full;
    m.machine = Machine::current().root();
    m.refs = 1;
    HMODULE h;
    if (flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                 LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {
        // Resources only: no code is mapped, so the handle is a record of ours (odd, as the
        // handles of data files are on Windows).
        auto* marker = new char[2];
        h = reinterpret_cast<HMODULE>(reinterpret_cast<std::uintptr_t>(marker) | 1);
    } else {
        m.dl = ::dlopen(hp.host.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m.dl) {
            std::fprintf(stderr, "LoadLibrary %s: %s\n", to_utf8(hp.full).c_str(), ::dlerror());
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        h = static_cast<HMODULE>(m.dl);
        if (auto it = modules().find(h); it != modules().end()) {
            ++it->second.refs; // the same file under another name
            return h;
        }
        using Attach = void (*)(void* (*)(const char*));
        if (auto attach = reinterpret_cast<Attach>(::dlsym(m.dl, "DvModuleAttach")))
            attach(&dv_layer_export);
    }
    modules().emplace(h, std::move(m));
    return h;
}

} // namespace

HMODULE LoadLibraryW(LPCWSTR name) {
    return LoadLibraryExW(name, nullptr, 0);
}

HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
    constexpr DWORD kKnown = DONT_RESOLVE_DLL_REFERENCES | LOAD_LIBRARY_AS_DATAFILE |
                             LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_IGNORE_CODE_AUTHZ_LEVEL |
                             LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                             LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                             LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                             LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    constexpr DWORD kSearch = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                              LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                              LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (!name || !*name || file || (flags & ~kKnown) ||
        ((flags & LOAD_WITH_ALTERED_SEARCH_PATH) && (flags & kSearch))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard lock(g_mutex);
    Machine& m = Machine::current();
    std::wstring wanted = with_default_extension(name);
    const bool is_path = wanted.find_first_of(L"\\/") != std::wstring::npos;
    if (is_path) {
        HostPath hp;
        if (DWORD e = m.map(wanted, hp)) {
            SetLastError(e == ERROR_PATH_NOT_FOUND ? ERROR_MOD_NOT_FOUND : e);
            return nullptr;
        }
        if (!hp.exists) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        return load_file(hp, flags);
    }
    if ((flags & LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR)) {
        SetLastError(ERROR_INVALID_PARAMETER); // only meaningful with a full path
        return nullptr;
    }
    if (HMODULE h = find_loaded(wanted, false)) {
        if (auto it = modules().find(h); it != modules().end())
            ++it->second.refs;
        return h;
    }
    const std::wstring system = m.windows_dir() + L"\\System32";
    const std::wstring program = program_windows_path();
    const std::wstring app = program.starts_with(L"Z:") ? std::wstring() : folder_of(program);
    std::vector<std::wstring> folders;
    if (is_known_dll(wanted)) {
        folders = {system};
    } else if (flags & kSearch) {
        if ((flags & (LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) &&
            !app.empty())
            folders.push_back(app);
        if (flags & (LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
            folders.push_back(system);
    } else {
        if (!app.empty())
            folders.push_back(app);
        folders.push_back(system);
        folders.push_back(m.windows_dir());
        folders.push_back(m.current_directory());
    }
    for (const auto& folder : folders) {
        HostPath hp;
        if (m.map(folder + L"\\" + wanted, hp) == 0 && hp.exists)
            return load_file(hp, flags);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE GetModuleHandleW(LPCWSTR name) {
    if (!name)
        return program_handle();
    std::lock_guard lock(g_mutex);
    std::wstring wanted = with_default_extension(name);
    bool is_path = wanted.find_first_of(L"\\/") != std::wstring::npos;
    if (is_path) {
        std::wstring full;
        if (Machine::current().full_path(wanted, full) == 0)
            wanted = full;
    }
    if (HMODULE h = find_loaded(wanted, is_path))
        return h;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    std::wstring path;
    {
        std::lock_guard lock(g_mutex);
        if (!module || module == program_handle()) {
            path = program_windows_path();
        } else if (module == builtin_handle(kKernel32Module)) {
            path = Machine::current().windows_dir() + L"\\System32\\kernel32.dll";
        } else if (auto it = modules().find(module); it != modules().end()) {
            path = it->second.win;
        } else {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
    }
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() + 1 > size) {
        std::memcpy(buffer, path.data(), (size - 1) * sizeof(wchar_t));
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    if (reinterpret_cast<std::uintptr_t>(name) <= 0xFFFF) {
        SetLastError(ERROR_PROC_NOT_FOUND); // entry points are found by name only
        return nullptr;
    }
    std::lock_guard lock(g_mutex);
    if (module == builtin_handle(kKernel32Module)) {
        for (const auto& e : kKernel32Module.exports())
            if (std::strcmp(e.name, name) == 0)
                return reinterpret_cast<FARPROC>(e.function);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* dl = nullptr;
    if (!module || module == program_handle()) {
        dl = program_handle();
    } else if (auto it = modules().find(module); it != modules().end() && it->second.dl) {
        dl = it->second.dl;
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* p = ::dlsym(dl, name);
    if (!p) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(p);
}

BOOL FreeLibrary(HMODULE module) {
    std::lock_guard lock(g_mutex);
    if (module == program_handle() || module == builtin_handle(kKernel32Module))
        return TRUE;
    auto it = modules().find(module);
    if (it == modules().end())
        return fail(ERROR_INVALID_HANDLE);
    if (--it->second.refs > 0)
        return TRUE;
    forget_module_resources(module); // its resource pointers end with it, as on Windows
    if (it->second.dl)
        ::dlclose(it->second.dl);
    else
        delete[] reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(module) &
                                         ~std::uintptr_t{1});
    modules().erase(it);
    return TRUE;
}

bool module_host_path(HMODULE module, fs::path& out) {
    if (!module || module == program_handle()) {
        out = program_host_path();
        return !out.empty();
    }
    std::lock_guard lock(g_mutex);
    auto it = modules().find(module);
    if (it == modules().end())
        return false;
    out = it->second.host;
    return true;
}

std::wstring program_windows_path() {
    fs::path host = program_host_path();
    std::wstring win;
    if (Machine::current().to_windows(host, win))
        return win;
    win = L"Z:" + from_utf8(host.string());
    for (auto& c : win)
        if (c == L'/')
            c = L'\\';
    return win;
}

fs::path built_advapi32_path() {
    if (const char* env = std::getenv("DV_ADVAPI32"); env && *env)
        return env;
    return DV_ADVAPI32_MODULE;
}

const std::vector<std::string>& advapi32_export_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& e : advapi32_exports())
            v.push_back(e.name);
        return v;
    }();
    return names;
}

bool install_system_modules(const fs::path& machine_root, std::string* error) {
    fs::path from = built_advapi32_path();
    fs::path to = machine_root / "drive_c" / "Windows" / "System32" / "advapi32.dll";
    std::string bytes;
    if (from.empty() || !read_file(from, bytes)) {
        if (error)
            *error = "cannot read the built advapi32.dll at \"" + from.string() +
                     "\" (set DV_ADVAPI32 to where it is)";
        return false;
    }
    int e = 0;
    if (!write_file_atomic(to, bytes, &e)) {
        if (error)
            *error = "cannot write " + to.string() + ": " + std::strerror(e);
        return false;
    }
    ::chmod(to.c_str(), 0755);
    return true;
}

bool strip_exports(std::string& elf, const std::vector<std::string>& names, std::string& error) {
    auto u16 = [&](std::size_t at) {
        std::uint16_t v;
        std::memcpy(&v, elf.data() + at, 2);
        return v;
    };
    auto u32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, elf.data() + at, 4);
        return v;
    };
    auto u64 = [&](std::size_t at) {
        std::uint64_t v;
        std::memcpy(&v, elf.data() + at, 8);
        return v;
    };
    if (elf.size() < 64 ||
        elf.compare(0, 4,
                    "\x7F"
                    "ELF") != 0 ||
        elf[4] != 2 || elf[5] != 1) {
        error = "not a 64-bit little-endian ELF file";
        return false;
    }
    std::uint64_t shoff = u64(0x28);
    std::uint16_t shentsize = u16(0x3A), shnum = u16(0x3C);
    if (shentsize != 64 || shoff > elf.size() || shnum > (elf.size() - shoff) / 64) {
        error = "bad section headers";
        return false;
    }
    std::uint64_t symoff = 0, symsize = 0, stroff = 0, strsize = 0;
    for (std::uint16_t i = 0; i < shnum; ++i) {
        std::size_t sh = shoff + 64u * i;
        if (u32(sh + 4) != 11) // SHT_DYNSYM
            continue;
        symoff = u64(sh + 24);
        symsize = u64(sh + 32);
        std::uint32_t link = u32(sh + 40);
        if (link >= shnum)
            break;
        std::size_t str = shoff + 64u * link;
        stroff = u64(str + 24);
        strsize = u64(str + 32);
    }
    if (!symsize || symoff > elf.size() || symsize > elf.size() - symoff || stroff > elf.size() ||
        strsize > elf.size() - stroff) {
        error = "no dynamic symbol table";
        return false;
    }
    struct Sym {
        std::uint32_t name;
        std::size_t length;
        bool defined;
    };
    std::vector<Sym> syms;
    for (std::size_t at = symoff; at + 24 <= symoff + symsize; at += 24) {
        std::uint32_t n = u32(at);
        if (n >= strsize)
            continue;
        const char* s = elf.data() + stroff + n;
        syms.push_back({n, ::strnlen(s, strsize - n), u16(at + 6) != 0});
    }
    for (const auto& wanted : names) {
        const Sym* hit = nullptr;
        for (const auto& s : syms)
            if (s.defined && s.length == wanted.size() &&
                elf.compare(stroff + s.name, s.length, wanted) == 0)
                hit = &s;
        if (!hit) {
            error = "\"" + wanted + "\" is not an entry point of the module";
            return false;
        }
        // The first letter changes, so the lookup by name fails; a string shared with the end
        // of another name would change that name too, so such a layout is refused.
        for (const auto& s : syms)
            if (s.name < hit->name && s.name + s.length > hit->name) {
                error = "\"" + wanted + "\" shares its text with another symbol";
                return false;
            }
        elf[stroff + hit->name] = '~';
    }
    return true;
}

} // namespace win32
