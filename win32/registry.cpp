#include "win32/registry.h"

#include "win32/environment.h"
#include "win32/error.h"
#include "win32/handles.h"
#include "win32/hive.h"
#include "win32/machine.h"
#include "win32/registry_store.h"
#include "win32/security.h"
#include "win32/text.h"
#include "win32/token.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace win32 {

namespace {

using hive::Key;

enum class HiveId { Machine, User, Users };

struct HiveInfo {
    const char* file;
    const wchar_t* root;
};

const HiveInfo kHives[] = {
    {"HKLM.reg", L"HKEY_LOCAL_MACHINE"},
    {"HKCU.reg", L"HKEY_CURRENT_USER"},
    {"HKU.reg", L"HKEY_USERS"},
};

const HiveInfo& info(HiveId id) {
    return kHives[static_cast<int>(id)];
}

// The rights that change a key or its values.
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

struct KeyRef {
    HiveId hive = HiveId::Machine;
    std::vector<std::wstring> path; // below the hive's root, as spelt in the hive
};

class KeyObject : public Object {
public:
    KeyRef ref;
    REGSAM granted = 0;
};

// Keeps the thread's last error as it was: registry functions report through their result.
class KeepLastError {
public:
    KeepLastError() : saved_(GetLastError()) {}
    ~KeepLastError() { SetLastError(saved_); }

private:
    DWORD saved_;
};

// ---------------------------------------------------------------------------------------
// Hive files: cached per process, re-read when the file changed, locked across every
// read-modify-write so that writers in other processes never lose each other's changes.

struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const Stamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

bool stamp_of(const fs::path& p, Stamp& out) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0)
        return false;
    out = Stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    return true;
}

struct Cached {
    Stamp stamp;
    std::unique_ptr<Key> root;
    bool corrupt = false; // the file of `stamp` was refused (reported once)
};

std::recursive_mutex g_mutex; // one registry operation at a time in this process
std::map<std::string, Cached>& cache() {
    static auto* c = new std::map<std::string, Cached>;
    return *c;
}
bool g_bypass_security = false;
std::string g_last_hive_error;

class HiveLock {
public:
    HiveLock(const fs::path& hive_file, bool exclusive) {
        fs::path lock_file = hive_file;
        lock_file += ".lock";
        fd_ = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR) {
                error_ = errno;
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~HiveLock() {
        if (fd_ >= 0)
            ::close(fd_); // closing the descriptor releases the lock
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    int error() const { return error_; }

private:
    int fd_ = -1;
    int error_ = 0;
};

fs::path hive_file(HiveId id) {
    return Machine::current().state_dir("registry") / info(id).file;
}

Key& make_path(Key& root, std::initializer_list<const wchar_t*> parts) {
    Key* k = &root;
    for (const wchar_t* p : parts)
        k = &k->add(p);
    return *k;
}

void set_string(Key& k, const wchar_t* name, DWORD type, std::wstring_view text) {
    hive::Value v{name, type, {}};
    append_utf16le(v.data, text);
    v.data.append(2, '\0');
    k.set_value(std::move(v));
}

void set_dword(Key& k, const wchar_t* name, DWORD d) {
    hive::Value v{name, REG_DWORD, std::string(4, '\0')};
    std::memcpy(v.data.data(), &d, 4);
    k.set_value(std::move(v));
}

// The keys a fresh Windows has where programs look.
std::unique_ptr<Key> default_hive(HiveId id) {
    const Machine& m = Machine::current();
    auto root = std::make_unique<Key>(info(id).root);
    if (id == HiveId::Machine) {
        Key& cv = make_path(*root, {L"SOFTWARE", L"Microsoft", L"Windows", L"CurrentVersion"});
        set_string(cv, L"ProgramFilesDir", REG_SZ, m.shell_folder(CSIDL_PROGRAM_FILES));
        set_string(cv, L"CommonFilesDir", REG_SZ, m.shell_folder(CSIDL_PROGRAM_FILES_COMMON));
        set_string(cv, L"ProgramFilesPath", REG_EXPAND_SZ, L"%ProgramFiles%");
        cv.add(L"App Paths");
        cv.add(L"Uninstall");
        Key& nt = make_path(*root, {L"SOFTWARE", L"Microsoft", L"Windows NT", L"CurrentVersion"});
        std::wstring major = from_utf8(m.setting("windows", "major", "10"));
        std::wstring minor = from_utf8(m.setting("windows", "minor", "0"));
        set_string(nt, L"SystemRoot", REG_SZ, m.windows_dir());
        set_string(nt, L"CurrentBuild", REG_SZ, from_utf8(m.setting("windows", "build", "19045")));
        set_dword(nt, L"CurrentMajorVersionNumber", m.setting_number("windows", "major", 10));
        set_dword(nt, L"CurrentMinorVersionNumber", m.setting_number("windows", "minor", 0));
        set_string(nt, L"CurrentVersion", REG_SZ, major == L"10" ? L"6.3" : major + L"." + minor);
        set_string(nt, L"ProductName", REG_SZ, L"Windows");
        make_path(*root, {L"SOFTWARE", L"Classes"});
        Key& env = make_path(*root, {L"SYSTEM", L"CurrentControlSet", L"Control",
                                     L"Session Manager", L"Environment"});
        set_string(env, L"OS", REG_SZ, L"Windows_NT");
        set_string(env, L"TEMP", REG_EXPAND_SZ, L"%SystemRoot%\\TEMP");
        set_string(env, L"TMP", REG_EXPAND_SZ, L"%SystemRoot%\\TEMP");
        Key& known = make_path(
            *root, {L"SYSTEM", L"CurrentControlSet", L"Control", L"Session Manager", L"KnownDLLs"});
        set_string(known, L"advapi32", REG_SZ, L"advapi32.dll");
        set_string(known, L"kernel32", REG_SZ, L"kernel32.dll");
    } else if (id == HiveId::User) {
        make_path(*root, {L"Software", L"Microsoft", L"Windows", L"CurrentVersion", L"Run"});
        make_path(*root, {L"Software", L"Classes"});
        Key& env = make_path(*root, {L"Environment"});
        set_string(env, L"TEMP", REG_EXPAND_SZ, L"%USERPROFILE%\\AppData\\Local\\Temp");
        set_string(env, L"TMP", REG_EXPAND_SZ, L"%USERPROFILE%\\AppData\\Local\\Temp");
        Key& intl = make_path(*root, {L"Control Panel", L"International"});
        wchar_t lcid[16];
        std::swprintf(lcid, 16, L"%08X", m.setting_number("user", "lcid", 0x0409));
        set_string(intl, L"Locale", REG_SZ, lcid);
    } else {
        root->add(L".DEFAULT");
    }
    return root;
}

void report_hive_error(const std::string& text) {
    g_last_hive_error = text;
    std::fprintf(stderr, "registry: %s\n", text.c_str());
}

// Brings the cached tree of `id` up to date; the caller holds the hive's lock.
DWORD load_locked(HiveId id, const fs::path& file, Key*& out) {
    Stamp stamp;
    Cached& c = cache()[file.string()];
    if (!stamp_of(file, stamp)) {
        c.root.reset();
        return ERROR_FILE_NOT_FOUND;
    }
    if (c.root && c.stamp == stamp) {
        out = c.root.get();
        return ERROR_SUCCESS;
    }
    if (c.corrupt && c.stamp == stamp)
        return ERROR_REGISTRY_CORRUPT;
    c.root.reset();
    c.corrupt = false;
    c.stamp = stamp;
    std::string bytes;
    if (!read_whole_file(file, bytes))
        return error_from_errno(errno);
    hive::Document doc;
    hive::ParseError err;
    if (!hive::parse(bytes, file.string(), doc, err)) {
        report_hive_error(err.text());
        c.corrupt = true;
        return ERROR_REGISTRY_CORRUPT;
    }
    const std::wstring root_name = info(id).root;
    Key* root = doc.top.find(root_name);
    if (!root || doc.top.subkeys().size() != 1) {
        report_hive_error(file.string() + ":1: the hive must hold " + to_utf8(root_name) +
                          " and nothing else");
        c.corrupt = true;
        return ERROR_REGISTRY_CORRUPT;
    }
    c.root = std::make_unique<Key>(root_name);
    c.root->replace_content(std::move(*root));
    out = c.root.get();
    return ERROR_SUCCESS;
}

DWORD save_locked(HiveId id, const fs::path& file, Key& root) {
    int e = 0;
    if (!write_file_atomic(file, hive::serialize(root, info(id).root), &e)) {
        cache().erase(file.string()); // the file still holds what it held: read it again
        return error_from_errno(e);
    }
    Stamp stamp;
    if (stamp_of(file, stamp))
        cache()[file.string()].stamp = stamp;
    else
        cache().erase(file.string());
    return ERROR_SUCCESS;
}

DWORD ensure_hive(HiveId id, const fs::path& file) {
    if (::access(file.c_str(), F_OK) == 0)
        return ERROR_SUCCESS;
    HiveLock lock(file, true);
    if (lock.error())
        return error_from_errno(lock.error());
    if (::access(file.c_str(), F_OK) == 0)
        return ERROR_SUCCESS;
    auto root = default_hive(id);
    return save_locked(id, file, *root);
}

template <class F> DWORD read_hive(HiveId id, F&& f) {
    fs::path file = hive_file(id);
    if (DWORD e = ensure_hive(id, file))
        return e;
    HiveLock lock(file, false);
    if (lock.error())
        return error_from_errno(lock.error());
    Key* root = nullptr;
    if (DWORD e = load_locked(id, file, root))
        return e;
    return f(static_cast<const Key&>(*root));
}

// `f(root, changed)` returns an error code and sets `changed` when the tree must be saved.
template <class F> DWORD write_hive(HiveId id, F&& f) {
    fs::path file = hive_file(id);
    if (DWORD e = ensure_hive(id, file))
        return e;
    HiveLock lock(file, true);
    if (lock.error())
        return error_from_errno(lock.error());
    Key* root = nullptr;
    if (DWORD e = load_locked(id, file, root))
        return e;
    bool changed = false;
    if (DWORD e = f(*root, changed)) {
        if (changed)
            cache().erase(file.string());
        return e;
    }
    return changed ? save_locked(id, file, *root) : ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Keys and paths.

bool hive_writable(HiveId id) {
    return g_bypass_security || id == HiveId::User || caller_is_administrator();
}

REGSAM map_generic(REGSAM desired) {
    REGSAM r = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                           KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (desired & (GENERIC_READ | GENERIC_EXECUTE))
        r |= KEY_READ;
    if (desired & GENERIC_WRITE)
        r |= KEY_WRITE;
    if (desired & GENERIC_ALL)
        r |= KEY_ALL_ACCESS;
    return r;
}

// What a handle to a key of `hive` may do, or ERROR_ACCESS_DENIED.
DWORD grant(HiveId hive, REGSAM desired, REGSAM& granted) {
    REGSAM want = map_generic(desired);
    bool writable = hive_writable(hive);
    if (want & MAXIMUM_ALLOWED) {
        granted = (want & ~MAXIMUM_ALLOWED) | (writable ? KEY_ALL_ACCESS : KEY_READ);
        if (!writable && (granted & kWriteRights))
            return ERROR_ACCESS_DENIED;
        return ERROR_SUCCESS;
    }
    if (!writable && (want & kWriteRights))
        return ERROR_ACCESS_DENIED;
    granted = want;
    return ERROR_SUCCESS;
}

bool predefined(HKEY key, KeyRef& ref) {
    if (key == HKEY_LOCAL_MACHINE) {
        ref = {HiveId::Machine, {}};
    } else if (key == HKEY_CURRENT_USER) {
        ref = {HiveId::User, {}};
    } else if (key == HKEY_USERS) {
        ref = {HiveId::Users, {}};
    } else if (key == HKEY_CLASSES_ROOT) {
        // The merged view of Windows is reduced to the machine's classes.
        ref = {HiveId::Machine, {L"SOFTWARE", L"Classes"}};
    } else {
        return false;
    }
    return true;
}

DWORD resolve(HKEY key, KeyRef& ref, REGSAM& granted) {
    if (predefined(key, ref)) {
        granted = hive_writable(ref.hive) ? KEY_ALL_ACCESS : KEY_READ;
        return ERROR_SUCCESS;
    }
    auto obj = lookup_handle_as<KeyObject>(reinterpret_cast<HANDLE>(key));
    if (!obj)
        return ERROR_INVALID_HANDLE;
    ref = obj->ref;
    granted = obj->granted;
    return ERROR_SUCCESS;
}

// Splits a sub-key argument into names; a leading backslash or an empty name in the middle is
// refused as Windows refuses it, a trailing backslash is ignored.
DWORD split_sub_key(LPCWSTR sub_key, std::vector<std::wstring>& out) {
    out.clear();
    if (!sub_key || !*sub_key)
        return ERROR_SUCCESS;
    std::wstring_view s(sub_key);
    if (s.front() == L'\\')
        return ERROR_BAD_PATHNAME;
    if (s.back() == L'\\')
        s.remove_suffix(1);
    std::size_t pos = 0;
    while (true) {
        auto sep = s.find(L'\\', pos);
        std::wstring_view part = s.substr(pos, sep == s.npos ? s.npos : sep - pos);
        if (part.empty())
            return ERROR_BAD_PATHNAME;
        if (part.size() > hive::kMaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
        out.emplace_back(part);
        if (sep == s.npos)
            break;
        pos = sep + 1;
    }
    return ERROR_SUCCESS;
}

// The key at `path`, with `spelt` receiving the names as the hive spells them.
const Key* walk(const Key& root, const std::vector<std::wstring>& path,
                std::vector<std::wstring>* spelt = nullptr) {
    const Key* k = &root;
    for (const auto& p : path) {
        k = k->find(p);
        if (!k)
            return nullptr;
        if (spelt)
            spelt->push_back(k->name());
    }
    return k;
}

Key* walk(Key& root, const std::vector<std::wstring>& path) {
    return const_cast<Key*>(walk(static_cast<const Key&>(root), path));
}

std::wstring full_name(const KeyRef& ref) {
    std::wstring name = info(ref.hive).root;
    for (const auto& p : ref.path)
        name += L"\\" + p;
    return name;
}

// Program text (wchar_t) to the UTF-16LE bytes Windows stores, `size` counted as Windows
// counts it. At most size / 2 characters are read from `text`.
std::string string_bytes_from_program(const BYTE* data, DWORD size) {
    const auto* text = reinterpret_cast<const wchar_t*>(data);
    std::string out;
    std::size_t units = size / 2;
    for (std::size_t i = 0; out.size() < units * 2; ++i)
        append_utf16le(out, std::wstring_view(text + i, 1));
    out.resize(units * 2); // a pair cut by the size keeps its first half, as on Windows
    return out;
}

// Stored UTF-16LE bytes back to program text; writes at most bytes / 2 characters.
void string_bytes_to_program(const std::string& bytes, BYTE* data) {
    std::wstring text = from_utf16le(bytes.data(), bytes.size() & ~std::size_t{1});
    std::memcpy(data, text.data(), text.size() * sizeof(wchar_t));
}

bool is_string_type(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies a value out as RegQueryValueExW does: size query, ERROR_MORE_DATA, or the data.
LSTATUS copy_out(DWORD type, const std::string& bytes, DWORD* type_out, BYTE* data, DWORD* size) {
    if (data && !size)
        return ERROR_INVALID_PARAMETER;
    if (type_out)
        *type_out = type;
    auto needed = static_cast<DWORD>(bytes.size());
    if (!size)
        return ERROR_SUCCESS;
    if (data && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    *size = needed;
    if (data) {
        if (is_string_type(type))
            string_bytes_to_program(bytes, data);
        else if (!bytes.empty())
            std::memcpy(data, bytes.data(), bytes.size());
    }
    return ERROR_SUCCESS;
}

LSTATUS open_key(HKEY key, LPCWSTR sub_key, REGSAM desired, KeyRef& out, REGSAM& granted) {
    KeyRef base;
    REGSAM base_granted = 0;
    if (DWORD e = resolve(key, base, base_granted))
        return static_cast<LSTATUS>(e);
    std::vector<std::wstring> sub;
    if (DWORD e = split_sub_key(sub_key, sub))
        return static_cast<LSTATUS>(e);
    out.hive = base.hive;
    out.path.clear();
    DWORD e = read_hive(base.hive, [&](const Key& root) -> DWORD {
        std::vector<std::wstring> full = base.path;
        full.insert(full.end(), sub.begin(), sub.end());
        if (!walk(root, base.path))
            return ERROR_KEY_DELETED;
        if (!walk(root, full, &out.path))
            return ERROR_FILE_NOT_FOUND;
        return ERROR_SUCCESS;
    });
    if (e)
        return static_cast<LSTATUS>(e);
    return static_cast<LSTATUS>(grant(out.hive, desired, granted));
}

HKEY insert_key(const KeyRef& ref, REGSAM granted) {
    auto obj = std::make_shared<KeyObject>();
    obj->ref = ref;
    obj->granted = granted;
    return reinterpret_cast<HKEY>(insert_handle(std::move(obj)));
}

DWORD key_write_check(REGSAM granted, REGSAM needed) {
    return (granted & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Maps a Windows file path for the save and restore functions.
DWORD map_file(LPCWSTR file, HostPath& hp) {
    if (!file || !*file)
        return ERROR_INVALID_PARAMETER;
    return Machine::current().map(file, hp);
}

DWORD delete_key(HKEY key, LPCWSTR sub_key, bool whole_tree) {
    KeyRef base;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, base, granted))
        return e;
    if (!sub_key && !whole_tree)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::wstring> sub;
    if (DWORD e = split_sub_key(sub_key, sub))
        return e;
    std::vector<std::wstring> full = base.path;
    full.insert(full.end(), sub.begin(), sub.end());
    if (full.empty())
        return ERROR_ACCESS_DENIED; // a root stays
    if (!hive_writable(base.hive))
        return ERROR_ACCESS_DENIED;
    return write_hive(base.hive, [&](Key& root, bool& changed) -> DWORD {
        if (!walk(root, base.path))
            return ERROR_KEY_DELETED;
        Key* target = walk(root, full);
        if (!target)
            return ERROR_FILE_NOT_FOUND;
        if (!whole_tree && !target->subkeys().empty())
            return ERROR_ACCESS_DENIED;
        Key* parent = walk(root, std::vector<std::wstring>(full.begin(), full.end() - 1));
        parent->remove(full.back());
        changed = true;
        return ERROR_SUCCESS;
    });
}

} // namespace

// ---------------------------------------------------------------------------------------

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD /*options*/, REGSAM desired, PHKEY result) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    KeyRef ref;
    REGSAM granted = 0;
    if (LSTATUS e = open_key(key, sub_key, desired, ref, granted))
        return e;
    *result = insert_key(ref, granted);
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD /*reserved*/, LPWSTR /*class_name*/,
                        DWORD options, REGSAM desired, const SECURITY_ATTRIBUTES* /*security*/,
                        PHKEY result, DWORD* disposition) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    if (!result || !sub_key)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    // Volatile keys would need a store that forgets them at the next start of Windows; the
    // machine has no such moment, so they are refused rather than silently kept.
    if (options & ~REG_OPTION_BACKUP_RESTORE)
        return ERROR_INVALID_PARAMETER;
    KeyRef base;
    REGSAM base_granted = 0;
    if (DWORD e = resolve(key, base, base_granted))
        return static_cast<LSTATUS>(e);
    std::vector<std::wstring> sub;
    if (DWORD e = split_sub_key(sub_key, sub))
        return static_cast<LSTATUS>(e);
    for (const auto& name : sub)
        if (!hive::storable_key_name(name))
            return ERROR_INVALID_PARAMETER;
    if (base.path.size() + sub.size() > hive::kMaxDepth)
        return ERROR_INVALID_PARAMETER;
    KeyRef ref{base.hive, {}};
    bool created = false;
    DWORD e = read_hive(base.hive, [&](const Key& root) -> DWORD {
        std::vector<std::wstring> full = base.path;
        full.insert(full.end(), sub.begin(), sub.end());
        if (!walk(root, base.path))
            return ERROR_KEY_DELETED;
        return walk(root, full, &ref.path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (e == ERROR_FILE_NOT_FOUND) {
        if (!hive_writable(base.hive) || !(base_granted & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        ref.path.clear();
        e = write_hive(base.hive, [&](Key& root, bool& changed) -> DWORD {
            Key* k = walk(root, base.path);
            if (!k)
                return ERROR_KEY_DELETED;
            ref.path = base.path;
            for (const auto& name : sub) {
                Key* next = k->find(name);
                if (!next) {
                    next = &k->add(name);
                    changed = created = true;
                }
                k = next;
                ref.path.push_back(k->name());
            }
            return ERROR_SUCCESS;
        });
    }
    if (e)
        return static_cast<LSTATUS>(e);
    REGSAM granted = 0;
    if (DWORD g = grant(ref.hive, desired, granted))
        return static_cast<LSTATUS>(g);
    *result = insert_key(ref, granted);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    KeepLastError keep;
    KeyRef ref;
    if (predefined(key, ref))
        return ERROR_SUCCESS;
    auto obj = lookup_handle_as<KeyObject>(reinterpret_cast<HANDLE>(key));
    if (!obj || !remove_handle(reinterpret_cast<HANDLE>(key)))
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD /*reserved*/, DWORD type,
                       const BYTE* data, DWORD size) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    if (DWORD e = key_write_check(granted, KEY_SET_VALUE))
        return static_cast<LSTATUS>(e);
    if (!hive_writable(ref.hive))
        return ERROR_ACCESS_DENIED;
    std::wstring name = value_name ? value_name : L"";
    if (!hive::storable_value_name(name))
        return ERROR_INVALID_PARAMETER;
    if (!data && size)
        return ERROR_NOACCESS;
    hive::Value v{name, type, {}};
    if (size) {
        if (is_string_type(type))
            v.data = string_bytes_from_program(data, size);
        else
            v.data.assign(reinterpret_cast<const char*>(data), size);
    }
    return static_cast<LSTATUS>(write_hive(ref.hive, [&](Key& root, bool& changed) -> DWORD {
        Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        k->set_value(std::move(v));
        changed = true;
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                         DWORD* size) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    if (DWORD e = key_write_check(granted, KEY_QUERY_VALUE))
        return static_cast<LSTATUS>(e);
    std::wstring name = value_name ? value_name : L"";
    return static_cast<LSTATUS>(read_hive(ref.hive, [&](const Key& root) -> DWORD {
        const Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        const hive::Value* v = k->value(name);
        if (!v)
            return ERROR_FILE_NOT_FOUND;
        return static_cast<DWORD>(copy_out(v->type, v->data, type, data, size));
    }));
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    if (DWORD e = key_write_check(granted, KEY_SET_VALUE))
        return static_cast<LSTATUS>(e);
    if (!hive_writable(ref.hive))
        return ERROR_ACCESS_DENIED;
    std::wstring name = value_name ? value_name : L"";
    return static_cast<LSTATUS>(write_hive(ref.hive, [&](Key& root, bool& changed) -> DWORD {
        Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        if (!k->remove_value(name))
            return ERROR_FILE_NOT_FOUND;
        changed = true;
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR sub_key) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    return static_cast<LSTATUS>(delete_key(key, sub_key, false));
}

LSTATUS SHDeleteKeyW(HKEY key, LPCWSTR sub_key) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    return static_cast<LSTATUS>(delete_key(key, sub_key, true));
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* name_chars, DWORD* /*reserved*/,
                      LPWSTR class_name, DWORD* class_chars, FILETIME* last_write) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    if (!name || !name_chars)
        return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    if (DWORD e = key_write_check(granted, KEY_ENUMERATE_SUB_KEYS))
        return static_cast<LSTATUS>(e);
    return static_cast<LSTATUS>(read_hive(ref.hive, [&](const Key& root) -> DWORD {
        const Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        if (index >= k->subkeys().size())
            return ERROR_NO_MORE_ITEMS;
        auto it = k->subkeys().begin();
        std::advance(it, index);
        const std::wstring& n = it->second->name();
        if (*name_chars < n.size() + 1)
            return ERROR_MORE_DATA;
        std::memcpy(name, n.c_str(), (n.size() + 1) * sizeof(wchar_t));
        *name_chars = static_cast<DWORD>(n.size());
        if (class_name && class_chars && *class_chars > 0)
            class_name[0] = 0;
        if (class_chars)
            *class_chars = 0;
        if (last_write)
            *last_write = FILETIME{0, 0};
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* name_chars, DWORD* /*reserved*/,
                      DWORD* type, BYTE* data, DWORD* size) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    if (!name || !name_chars)
        return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    if (DWORD e = key_write_check(granted, KEY_QUERY_VALUE))
        return static_cast<LSTATUS>(e);
    return static_cast<LSTATUS>(read_hive(ref.hive, [&](const Key& root) -> DWORD {
        const Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        if (index >= k->values().size())
            return ERROR_NO_MORE_ITEMS;
        const hive::Value& v = k->values()[index];
        if (*name_chars < v.name.size() + 1)
            return ERROR_MORE_DATA;
        std::memcpy(name, v.name.c_str(), (v.name.size() + 1) * sizeof(wchar_t));
        *name_chars = static_cast<DWORD>(v.name.size());
        return static_cast<DWORD>(copy_out(v.type, v.data, type, data, size));
    }));
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR class_name, DWORD* class_chars, DWORD* /*reserved*/,
                         DWORD* sub_keys, DWORD* max_sub_key_len, DWORD* max_class_len,
                         DWORD* values, DWORD* max_value_name_len, DWORD* max_value_len,
                         DWORD* security_descriptor_size, FILETIME* last_write) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    if (DWORD e = key_write_check(granted, KEY_QUERY_VALUE))
        return static_cast<LSTATUS>(e);
    return static_cast<LSTATUS>(read_hive(ref.hive, [&](const Key& root) -> DWORD {
        const Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        DWORD max_key = 0, max_name = 0, max_data = 0;
        for (const auto& [u, sub] : k->subkeys())
            max_key = std::max(max_key, static_cast<DWORD>(sub->name().size()));
        for (const auto& v : k->values()) {
            max_name = std::max(max_name, static_cast<DWORD>(v.name.size()));
            max_data = std::max(max_data, static_cast<DWORD>(v.data.size()));
        }
        if (class_name && class_chars && *class_chars > 0)
            class_name[0] = 0;
        if (class_chars)
            *class_chars = 0;
        if (sub_keys)
            *sub_keys = static_cast<DWORD>(k->subkeys().size());
        if (max_sub_key_len)
            *max_sub_key_len = max_key;
        if (max_class_len)
            *max_class_len = 0;
        if (values)
            *values = static_cast<DWORD>(k->values().size());
        if (max_value_name_len)
            *max_value_name_len = max_name;
        if (max_value_len)
            *max_value_len = max_data;
        if (security_descriptor_size)
            *security_descriptor_size = 0;
        if (last_write)
            *last_write = FILETIME{0, 0};
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegSaveKeyW(HKEY key, LPCWSTR file, const SECURITY_ATTRIBUTES* /*security*/) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    if (!g_bypass_security && !token_privilege_enabled(*effective_token(), L"SeBackupPrivilege"))
        return ERROR_PRIVILEGE_NOT_HELD;
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    HostPath hp;
    if (DWORD e = map_file(file, hp))
        return static_cast<LSTATUS>(e);
    if (hp.exists)
        return ERROR_ALREADY_EXISTS;
    if (!hp.parent_exists)
        return ERROR_PATH_NOT_FOUND;
    std::string text;
    DWORD e = read_hive(ref.hive, [&](const Key& root) -> DWORD {
        const Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        text = hive::serialize(*k, full_name(ref));
        return ERROR_SUCCESS;
    });
    if (e)
        return static_cast<LSTATUS>(e);
    int fd = ::open(hp.host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return static_cast<LSTATUS>(errno == EEXIST ? ERROR_ALREADY_EXISTS
                                                    : error_from_errno(errno, true));
    std::size_t done = 0;
    int werr = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            werr = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (!werr && ::fsync(fd) != 0)
        werr = errno;
    if (::close(fd) != 0 && !werr)
        werr = errno;
    if (werr) {
        ::unlink(hp.host.c_str()); // no half-written copy is left behind
        return static_cast<LSTATUS>(error_from_errno(werr));
    }
    apply_inherited_security(hp.host, false);
    return ERROR_SUCCESS;
}

LSTATUS RegRestoreKeyW(HKEY key, LPCWSTR file, DWORD flags) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    if (!g_bypass_security && !token_privilege_enabled(*effective_token(), L"SeRestorePrivilege"))
        return ERROR_PRIVILEGE_NOT_HELD;
    if (flags & REG_WHOLE_HIVE_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    HostPath hp;
    if (DWORD e = map_file(file, hp))
        return static_cast<LSTATUS>(e);
    if (!hp.exists)
        return static_cast<LSTATUS>(hp.parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    std::string bytes;
    if (!read_whole_file(hp.host, bytes))
        return static_cast<LSTATUS>(error_from_errno(errno));
    hive::Document doc;
    hive::ParseError err;
    if (!hive::parse(bytes, to_utf8(hp.full), doc, err)) {
        report_hive_error(err.text());
        return ERROR_REGISTRY_CORRUPT;
    }
    if (!doc.all_under_first) {
        report_hive_error(to_utf8(hp.full) + ": keys outside the saved key");
        return ERROR_REGISTRY_CORRUPT;
    }
    Key* saved = &doc.top;
    for (const auto& p : doc.first_section)
        saved = saved->find(p);
    if (ref.path.size() + saved->depth() > hive::kMaxDepth)
        return ERROR_INVALID_PARAMETER;
    return static_cast<LSTATUS>(write_hive(ref.hive, [&](Key& root, bool& changed) -> DWORD {
        Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        k->replace_content(std::move(*saved));
        changed = true;
        return ERROR_SUCCESS;
    }));
}

LSTATUS SHGetValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value_name, DWORD* type, void* data,
                    DWORD* size) {
    KeepLastError keep;
    std::lock_guard lock(g_mutex);
    KeyRef ref;
    REGSAM granted = 0;
    if (LSTATUS e = open_key(key, sub_key, KEY_QUERY_VALUE, ref, granted))
        return e;
    std::wstring name = value_name ? value_name : L"";
    DWORD stored_type = 0;
    std::string bytes;
    DWORD e = read_hive(ref.hive, [&](const Key& root) -> DWORD {
        const Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        const hive::Value* v = k->value(name);
        if (!v)
            return ERROR_FILE_NOT_FOUND;
        stored_type = v->type;
        bytes = v->data;
        return ERROR_SUCCESS;
    });
    if (e)
        return static_cast<LSTATUS>(e);
    if (stored_type == REG_EXPAND_SZ) {
        std::wstring text = from_utf16le(bytes.data(), bytes.size() & ~std::size_t{1});
        if (auto nul = text.find(L'\0'); nul != std::wstring::npos)
            text.resize(nul);
        bytes.clear();
        append_utf16le(bytes, expand_environment_strings(text));
        bytes.append(2, '\0');
        stored_type = REG_SZ;
    }
    return copy_out(stored_type, bytes, type, static_cast<BYTE*>(data), size);
}

DWORD reg_string_bytes(std::wstring_view text) {
    return static_cast<DWORD>((to_utf16(text).size() + 1) * 2);
}

namespace registry {

void bypass_security(bool on) {
    std::lock_guard lock(g_mutex);
    g_bypass_security = on;
}

std::string last_hive_error() {
    std::lock_guard lock(g_mutex);
    return g_last_hive_error;
}

bool parse_key_name(std::wstring_view full, HKEY& root, std::wstring& sub_key) {
    auto sep = full.find(L'\\');
    std::wstring_view first = full.substr(0, sep);
    struct Alias {
        const wchar_t* long_name;
        const wchar_t* short_name;
        HKEY key;
    };
    const Alias aliases[] = {
        {L"HKEY_LOCAL_MACHINE", L"HKLM", HKEY_LOCAL_MACHINE},
        {L"HKEY_CURRENT_USER", L"HKCU", HKEY_CURRENT_USER},
        {L"HKEY_USERS", L"HKU", HKEY_USERS},
        {L"HKEY_CLASSES_ROOT", L"HKCR", HKEY_CLASSES_ROOT},
    };
    for (const auto& a : aliases) {
        if (iequals(first, a.long_name) || iequals(first, a.short_name)) {
            root = a.key;
            sub_key = sep == std::wstring_view::npos ? std::wstring()
                                                     : std::wstring(full.substr(sep + 1));
            return true;
        }
    }
    return false;
}

LSTATUS key_name(HKEY key, std::wstring& out) {
    std::lock_guard lock(g_mutex);
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    out = full_name(ref);
    return ERROR_SUCCESS;
}

LSTATUS export_key(HKEY key, std::string& text) {
    std::lock_guard lock(g_mutex);
    KeyRef ref;
    REGSAM granted = 0;
    if (DWORD e = resolve(key, ref, granted))
        return static_cast<LSTATUS>(e);
    return static_cast<LSTATUS>(read_hive(ref.hive, [&](const Key& root) -> DWORD {
        const Key* k = walk(root, ref.path);
        if (!k)
            return ERROR_KEY_DELETED;
        text = hive::serialize(*k, full_name(ref));
        return ERROR_SUCCESS;
    }));
}

} // namespace registry

} // namespace win32
