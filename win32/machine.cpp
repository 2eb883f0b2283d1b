#include "win32/machine.h"

#include "win32/module.h"
#include "win32/security.h"
#include "win32/text.h"
#include "win32/token.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unicode/uloc.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace win32 {

namespace {

std::mutex g_current_mutex;
std::unique_ptr<Machine> g_current;

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string host_user() {
    std::string user = env("USER");
    if (user.empty()) {
        if (passwd* pw = getpwuid(getuid()))
            user = pw->pw_name;
    }
    if (user.empty() || is_invalid_name(from_utf8(user)))
        user = "User";
    return user;
}

// The user's language as Windows would number it, from the host's LANG.
DWORD host_lcid() {
    std::string lang = env("LC_ALL");
    if (lang.empty())
        lang = env("LANG");
    auto cut = lang.find_first_of(".@");
    if (cut != std::string::npos)
        lang.resize(cut);
    if (lang.empty() || lang == "C" || lang == "POSIX")
        return 0x0409;
    std::uint32_t lcid = uloc_getLCID(lang.c_str());
    return lcid ? lcid : 0x0409;
}

bool host_has_sse2() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("sse2");
#else
    return false;
#endif
}

std::string hex4(DWORD v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", v);
    return buf;
}

// The folders a fresh Windows has, relative to C:\. "<user>" is replaced by the user name.
const char* const kStandardTree[] = {
    "Windows",
    "Windows\\System32",
    "Windows\\Temp",
    "Program Files",
    "Program Files\\Common Files",
    "ProgramData",
    "ProgramData\\Microsoft\\Windows\\Start Menu\\Programs",
    "Users\\Public\\Desktop",
    "Users\\Public\\Documents",
    "Users\\<user>\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
    "Users\\<user>\\AppData\\Local\\Temp",
    "Users\\<user>\\Desktop",
    "Users\\<user>\\Documents",
};

struct ShellFolder {
    int csidl;
    const char* name;    // the switch name in machine.ini
    const wchar_t* path; // relative to C:\, "<user>" for the profile folder name
};

const ShellFolder kShellFolders[] = {
    {CSIDL_PROGRAMS, "programs",
     L"Users\\<user>\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"},
    {CSIDL_PERSONAL, "personal", L"Users\\<user>\\Documents"},
    {CSIDL_STARTMENU, "startmenu",
     L"Users\\<user>\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu"},
    {CSIDL_DESKTOPDIRECTORY, "desktopdirectory", L"Users\\<user>\\Desktop"},
    {CSIDL_COMMON_STARTMENU, "common_startmenu", L"ProgramData\\Microsoft\\Windows\\Start Menu"},
    {CSIDL_COMMON_PROGRAMS, "common_programs",
     L"ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"},
    {CSIDL_COMMON_DESKTOPDIRECTORY, "common_desktopdirectory", L"Users\\Public\\Desktop"},
    {CSIDL_APPDATA, "appdata", L"Users\\<user>\\AppData\\Roaming"},
    {CSIDL_LOCAL_APPDATA, "local_appdata", L"Users\\<user>\\AppData\\Local"},
    {CSIDL_COMMON_APPDATA, "common_appdata", L"ProgramData"},
    {CSIDL_WINDOWS, "windows", L"Windows"},
    {CSIDL_SYSTEM, "system", L"Windows\\System32"},
    {CSIDL_PROGRAM_FILES, "program_files", L"Program Files"},
    {CSIDL_PROGRAM_FILES_COMMON, "program_files_common", L"Program Files\\Common Files"},
    {CSIDL_COMMON_DOCUMENTS, "common_documents", L"Users\\Public\\Documents"},
};

const ShellFolder* find_shell_folder(int csidl) {
    for (const auto& f : kShellFolders)
        if (f.csidl == (csidl & ~CSIDL_FLAG_MASK))
            return &f;
    return nullptr;
}

std::wstring replace_user(std::wstring_view path, std::wstring_view user) {
    std::wstring out(path);
    auto at = out.find(L"<user>");
    if (at != std::wstring::npos)
        out.replace(at, 6, user);
    return out;
}

std::string default_config() {
    IniFile ini;
    ini.set("windows", "major", "10");
    ini.set("windows", "minor", "0");
    ini.set("windows", "build", "19045");
    ini.set("windows", "service_pack_major", "0");
    ini.set("windows", "service_pack_minor", "0");
    ini.set("windows", "platform_id", "2");
    ini.set("windows", "csd_version", "");
    ini.set("processor", "sse2", host_has_sse2() ? "1" : "0");
    ini.set("user", "name", host_user());
    DWORD lcid = host_lcid();
    ini.set("user", "langid", hex4(lcid & 0xFFFF));
    ini.set("user", "lcid", hex4(lcid));
    ini.set("system", "ansi_code_page", "1252");
    ini.set("system", "drives", "C");
    ini.set("switches", "removed_shell_folders", "");
    for (const auto& [key, value] : default_token_settings())
        ini.set("token", key, value);
    return "; The emulated Windows machine. Edit with care; `dvmachine show` prints it.\n" +
           ini.serialize();
}

} // namespace

bool is_invalid_name(std::wstring_view name) {
    for (wchar_t c : name) {
        if (c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'/' || c == L'\\' ||
            c == L'|' || c == L'?' || c == L'*')
            return true;
    }
    // Device names refer to devices in every folder, whatever the extension.
    std::wstring base = upper(name.substr(0, name.find(L'.')));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    static const wchar_t* const devices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const auto* d : devices)
        if (base == d)
            return true;
    if (base.size() == 4 && (base.starts_with(L"COM") || base.starts_with(L"LPT")) &&
        base[3] >= L'1' && base[3] <= L'9')
        return true;
    return false;
}

bool write_file_atomic(const fs::path& path, std::string_view bytes, int* host_errno) {
    fs::path tmp = path;
    tmp += ".tmp" + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    auto fail = [&](int e) {
        if (host_errno)
            *host_errno = e;
        if (fd >= 0)
            ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    };
    if (fd < 0)
        return fail(errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(fd) != 0) {
        fd = -1;
        return fail(errno);
    }
    fd = -1;
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        return fail(errno);
    // The rename itself becomes durable with the folder.
    int dfd = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool read_whole_file(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return !in.bad();
}

fs::path Machine::default_root() {
    std::string dv = env("DV_MACHINE");
    if (!dv.empty())
        return fs::path(dv);
    std::string xdg = env("XDG_DATA_HOME");
    if (!xdg.empty())
        return fs::path(xdg) / "marquetta-machine";
    std::string home = env("HOME");
    if (home.empty())
        if (passwd* pw = getpwuid(getuid()))
            home = pw->pw_dir;
    return fs::path(home) / ".local" / "share" / "marquetta-machine";
}

bool Machine::create(const fs::path& root, std::string* error) {
    std::error_code ec;
    if (fs::exists(root / "machine.ini", ec))
        return true;
    fs::create_directories(root, ec);
    if (ec) {
        if (error)
            *error = "cannot create machine folder " + root.string() + ": " + ec.message();
        return false;
    }
    std::string ini_text = default_config();
    IniFile ini = IniFile::parse(ini_text);
    std::string user = ini.get("user", "name");
    for (const char* rel : kStandardTree) {
        std::string r = rel;
        auto at = r.find("<user>");
        if (at != std::string::npos)
            r.replace(at, 6, user);
        for (auto& c : r)
            if (c == '\\')
                c = '/';
        fs::create_directories(root / "drive_c" / r, ec);
        if (ec) {
            if (error)
                *error = "cannot create " + (root / "drive_c" / r).string() + ": " + ec.message();
            return false;
        }
    }
    // The system's own modules and the folders' access lists belong to a fresh Windows. A
    // machine without advapi32.dll still works for everything else; the program then meets
    // the missing module as it would on Windows.
    std::string module_error;
    if (!install_system_modules(root, &module_error))
        std::fprintf(stderr, "machine: %s\n", module_error.c_str());
    apply_default_folder_security(root, user, ini.get("token", "user_sid"));
    // machine.ini comes last: its presence marks a complete machine.
    int e = 0;
    if (!write_file_atomic(root / "machine.ini", ini_text, &e)) {
        if (error)
            *error = "cannot write " + (root / "machine.ini").string() + ": " + std::strerror(e);
        return false;
    }
    return true;
}

Machine::Machine(fs::path root) : root_(std::move(root)) {
    std::string cwd = env("DV_CWD");
    cwd_ = cwd.empty() ? std::wstring(L"C:\\") : from_utf8(cwd);
}

Machine& Machine::current() {
    std::lock_guard lock(g_current_mutex);
    if (!g_current) {
        fs::path root = default_root();
        std::string error;
        if (!create(root, &error))
            throw std::runtime_error(error);
        g_current.reset(new Machine(root));
    }
    return *g_current;
}

Machine& Machine::use(const fs::path& root) {
    std::lock_guard lock(g_current_mutex);
    std::string error;
    fs::path abs = fs::absolute(root);
    if (!create(abs, &error))
        throw std::runtime_error(error);
    ::setenv("DV_MACHINE", abs.c_str(), 1);
    g_current.reset(new Machine(abs));
    return *g_current;
}

fs::path Machine::state_dir(std::string_view name) const {
    fs::path dir = root_ / std::string(name);
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir;
}

void Machine::load_config() const {
    fs::path file = root_ / "machine.ini";
    std::error_code ec;
    auto t = fs::last_write_time(file, ec);
    if (ec || (t == config_time_ && config_time_ != fs::file_time_type{}))
        return;
    std::string text;
    if (!read_whole_file(file, text))
        return;
    config_ = IniFile::parse(text, file.string());
    config_time_ = t;
}

std::string Machine::setting(std::string_view section, std::string_view key,
                             std::string_view fallback) const {
    std::lock_guard lock(mutex_);
    load_config();
    return config_.get(section, key, fallback);
}

DWORD Machine::setting_number(std::string_view section, std::string_view key,
                              DWORD fallback) const {
    std::string v = setting(section, key);
    if (v.empty())
        return fallback;
    char* end = nullptr;
    unsigned long n = std::strtoul(v.c_str(), &end, 0);
    return (end && *end == 0) ? static_cast<DWORD>(n) : fallback;
}

bool Machine::setting_bool(std::string_view section, std::string_view key, bool fallback) const {
    std::string v = setting(section, key);
    if (v == "1" || v == "true" || v == "yes")
        return true;
    if (v == "0" || v == "false" || v == "no")
        return false;
    return fallback;
}

std::vector<std::string> Machine::setting_list(std::string_view section,
                                               std::string_view key) const {
    std::vector<std::string> items;
    std::string v = setting(section, key);
    std::size_t pos = 0;
    while (pos <= v.size()) {
        auto comma = v.find(',', pos);
        if (comma == std::string::npos)
            comma = v.size();
        std::string item = trim(std::string_view(v).substr(pos, comma - pos));
        if (!item.empty())
            items.push_back(item);
        pos = comma + 1;
    }
    return items;
}

void Machine::set_setting(std::string_view section, std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex_);
    load_config();
    config_.set(section, key, value);
    write_file_atomic(root_ / "machine.ini", config_.serialize());
    config_time_ = {};
}

std::vector<wchar_t> Machine::drives() const {
    std::vector<wchar_t> out{L'C'};
    for (const auto& d : setting_list("system", "drives")) {
        wchar_t c = upper_char(static_cast<wchar_t>(d[0]));
        if (d.size() <= 2 && c >= L'A' && c <= L'Z' && c != L'C')
            out.push_back(c);
    }
    return out;
}

std::wstring Machine::user_name() const {
    return from_utf8(setting("user", "name", "User"));
}
std::wstring Machine::windows_dir() const {
    return L"C:\\Windows";
}
std::wstring Machine::user_profile() const {
    return L"C:\\Users\\" + user_name();
}

std::wstring Machine::shell_folder(int csidl) const {
    const ShellFolder* f = find_shell_folder(csidl);
    if (!f)
        return {};
    return L"C:\\" + replace_user(f->path, user_name());
}

bool Machine::shell_folder_removed(int csidl) const {
    const ShellFolder* f = find_shell_folder(csidl);
    if (!f)
        return true;
    for (const auto& item : setting_list("switches", "removed_shell_folders")) {
        if (item == f->name)
            return true;
        char* end = nullptr;
        long n = std::strtol(item.c_str(), &end, 0);
        if (end && *end == 0 && n == f->csidl)
            return true;
    }
    return false;
}

std::wstring Machine::current_directory() const {
    std::lock_guard lock(mutex_);
    return cwd_;
}

void Machine::set_current_directory(std::wstring_view full) {
    std::lock_guard lock(mutex_);
    cwd_ = full;
}

DWORD Machine::full_path(std::wstring_view in, std::wstring& out) const {
    std::wstring p(in);
    for (auto& c : p)
        if (c == L'/')
            c = L'\\';
    if (p.starts_with(L"\\\\?\\") || p.starts_with(L"\\\\.\\"))
        p.erase(0, 4);
    if (p.empty())
        return ERROR_PATH_NOT_FOUND;
    if (p.starts_with(L"\\\\"))
        return ERROR_BAD_NETPATH;
    std::wstring cwd = current_directory();
    wchar_t drive;
    std::wstring rest;
    if (p.size() >= 2 && p[1] == L':') {
        drive = upper_char(p[0]);
        if (drive < L'A' || drive > L'Z')
            return ERROR_INVALID_NAME;
        rest = p.substr(2);
        if (rest.empty() || rest[0] != L'\\') {
            // "D:name" is relative to that drive's current folder; only the process's current
            // drive has one here, other drives start at their root.
            if (upper_char(cwd[0]) == drive)
                rest = cwd.substr(2) + L"\\" + rest;
            else
                rest = L"\\" + rest;
        }
    } else if (p[0] == L'\\') {
        drive = upper_char(cwd[0]);
        rest = p;
    } else {
        drive = upper_char(cwd[0]);
        rest = cwd.substr(2) + L"\\" + p;
    }
    std::vector<std::wstring> parts;
    std::size_t pos = 0;
    while (pos <= rest.size()) {
        auto sep = rest.find(L'\\', pos);
        if (sep == std::wstring::npos)
            sep = rest.size();
        std::wstring part = rest.substr(pos, sep - pos);
        pos = sep + 1;
        if (part.empty() || part == L".")
            continue;
        if (part == L"..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        while (!part.empty() && (part.back() == L'.' || part.back() == L' '))
            part.pop_back();
        if (part.empty())
            continue;
        if (is_invalid_name(part))
            return ERROR_INVALID_NAME;
        parts.push_back(std::move(part));
    }
    out.assign(1, drive);
    out += L":\\";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += L'\\';
        out += parts[i];
    }
    return ERROR_SUCCESS;
}

DWORD Machine::map(std::wstring_view win_path, HostPath& out, std::size_t limit) const {
    out = HostPath{};
    std::wstring full;
    if (DWORD e = full_path(win_path, full))
        return e;
    if (full.size() >= limit)
        return ERROR_FILENAME_EXCED_RANGE;
    wchar_t drive = full[0];
    bool known = false;
    for (wchar_t d : drives())
        known |= d == drive;
    if (!known)
        return ERROR_PATH_NOT_FOUND;
    std::string dir = "drive_";
    dir += static_cast<char>(drive - L'A' + 'a');
    fs::path host = root_ / dir;
    out.full = full;
    out.is_root = full.size() == 3;
    struct stat st {};
    bool base_is_dir = ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (!base_is_dir)
        return ERROR_PATH_NOT_FOUND;
    if (out.is_root) {
        out.host = host;
        out.exists = true;
        out.parent_exists = true;
        return ERROR_SUCCESS;
    }
    std::wstring_view rest = std::wstring_view(full).substr(3);
    bool resolving = true;
    std::size_t pos = 0;
    while (true) {
        auto sep = rest.find(L'\\', pos);
        bool last = sep == std::wstring_view::npos;
        std::wstring_view part = rest.substr(pos, last ? std::wstring_view::npos : sep - pos);
        std::string name = to_utf8(part);
        if (resolving) {
            fs::path candidate = host / name;
            struct stat cst {};
            if (::lstat(candidate.c_str(), &cst) != 0) {
                // Not under this spelling: look for the same name in another case.
                std::error_code ec;
                bool found = false;
                for (fs::directory_iterator it(host, ec), end; !ec && it != end; it.increment(ec)) {
                    std::wstring entry = from_utf8(it->path().filename().string());
                    if (iequals(entry, part)) {
                        candidate = it->path();
                        found = true;
                        break;
                    }
                }
                if (!found) {
                    resolving = false;
                    if (last)
                        out.parent_exists = true;
                }
            }
            host = candidate;
            if (resolving && !last) {
                struct stat dst {};
                if (::stat(host.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode))
                    resolving = false; // a file in the middle of the path
            }
            if (resolving && last) {
                out.exists = true;
                out.parent_exists = true;
            }
        } else {
            host /= name;
        }
        if (last)
            break;
        pos = sep + 1;
    }
    out.host = host;
    return ERROR_SUCCESS;
}

bool Machine::to_windows(const fs::path& host, std::wstring& out) const {
    fs::path rel = host.lexically_normal().lexically_relative(root_.lexically_normal());
    if (rel.empty() || rel.native().starts_with(".."))
        return false;
    auto it = rel.begin();
    std::string first = it->string();
    if (first.size() != 7 || !first.starts_with("drive_"))
        return false;
    out.assign(1, static_cast<wchar_t>(first[6] - 'a' + 'A'));
    out += L":";
    ++it;
    if (it == rel.end())
        out += L"\\";
    for (; it != rel.end(); ++it) {
        if (it->empty() || *it == ".")
            continue;
        out += L"\\" + from_utf8(it->string());
    }
    return true;
}

} // namespace win32
