#include "win32/security.h"

#include "win32/error.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace fs = std::filesystem;

namespace win32 {

namespace {

constexpr const char* kSecurityXattr = "user.dv.security";
HANDLE const kCurrentProcessHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
HANDLE const kCurrentThreadHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

constexpr GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                          FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
constexpr ACCESS_MASK kReadAndExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

// ---- SIDs ------------------------------------------------------------------------------

std::size_t sid_length(const BYTE* sid) {
    return 8 + 4 * static_cast<std::size_t>(sid[1]);
}

bool valid_sid(const void* p) {
    const auto* s = static_cast<const BYTE*>(p);
    return s && s[0] == SID_REVISION && s[1] <= SID_MAX_SUB_AUTHORITIES;
}

// A SID inside a buffer of `avail` bytes.
bool valid_sid_in(const BYTE* s, std::size_t avail) {
    return avail >= 8 && valid_sid(s) && sid_length(s) <= avail;
}

bool same_sid(const BYTE* a, const BYTE* b) {
    return sid_length(a) == sid_length(b) && std::memcmp(a, b, sid_length(a)) == 0;
}

SidBytes sid_copy(const void* p) {
    const auto* s = static_cast<const BYTE*>(p);
    return SidBytes(s, s + sid_length(s));
}

const SidBytes& sid_system() {
    static const SidBytes s = sid_from_string("S-1-5-18");
    return s;
}
const SidBytes& sid_admins() {
    static const SidBytes s = sid_from_string("S-1-5-32-544");
    return s;
}
const SidBytes& sid_users() {
    static const SidBytes s = sid_from_string("S-1-5-32-545");
    return s;
}

// Present in the token at all: enabled, or for deny only.
bool token_has_sid(const TokenData& t, const BYTE* sid) {
    if (same_sid(t.user.data(), sid))
        return true;
    for (const auto& g : t.groups)
        if (same_sid(g.sid.data(), sid))
            return true;
    return false;
}

// The owner Windows gives what this token creates: Administrators when it is an owner group
// of the token (an elevated administrator), else the user.
SidBytes default_owner(const TokenData& t) {
    for (const auto& g : t.groups)
        if ((g.attributes & SE_GROUP_OWNER) && (g.attributes & SE_GROUP_ENABLED))
            return g.sid;
    return t.user;
}

// The user's domain's "None" group (RID 513), the primary group of a local account.
SidBytes primary_group(const SidBytes& user) {
    SidBytes g = user;
    if (g.size() >= 12 && g[1] >= 2) {
        DWORD none = 513;
        std::memcpy(g.data() + g.size() - 4, &none, 4);
    }
    return g;
}

// ---- access lists ----------------------------------------------------------------------

std::size_t ace_sid_offset() {
    return offsetof(ACCESS_ALLOWED_ACE, SidStart);
}

bool known_ace_type(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE ||
           type == SYSTEM_AUDIT_ACE_TYPE;
}

// Walks the entries of an ACL of `avail` readable bytes; false when anything is out of place.
bool valid_acl_in(const BYTE* p, std::size_t avail, std::size_t* used = nullptr) {
    if (!p || avail < sizeof(ACL))
        return false;
    ACL h;
    std::memcpy(&h, p, sizeof h);
    if (h.AclRevision < ACL_REVISION || h.AclRevision > ACL_REVISION_DS ||
        h.AclSize < sizeof(ACL) || h.AclSize > avail)
        return false;
    std::size_t pos = sizeof(ACL);
    for (WORD i = 0; i < h.AceCount; ++i) {
        if (pos + sizeof(ACE_HEADER) > h.AclSize)
            return false;
        ACE_HEADER ace;
        std::memcpy(&ace, p + pos, sizeof ace);
        if (ace.AceSize < sizeof(ACE_HEADER) || pos + ace.AceSize > h.AclSize)
            return false;
        if (known_ace_type(ace.AceType)) {
            std::size_t sid_at = pos + ace_sid_offset();
            if (ace.AceSize < ace_sid_offset() + 8 ||
                !valid_sid_in(p + sid_at, pos + ace.AceSize - sid_at))
                return false;
        }
        pos += ace.AceSize;
    }
    if (used)
        *used = pos;
    return true;
}

bool valid_acl(const ACL* acl) {
    return acl && valid_acl_in(reinterpret_cast<const BYTE*>(acl), acl->AclSize);
}

std::vector<BYTE> make_ace(BYTE type, BYTE flags, ACCESS_MASK mask, const BYTE* sid) {
    std::size_t size = ace_sid_offset() + sid_length(sid);
    std::vector<BYTE> ace(size);
    ACE_HEADER h{type, flags, static_cast<WORD>(size)};
    std::memcpy(ace.data(), &h, sizeof h);
    std::memcpy(ace.data() + 4, &mask, 4);
    std::memcpy(ace.data() + ace_sid_offset(), sid, sid_length(sid));
    return ace;
}

// An ACL (revision 2) holding `aces` and nothing more.
std::vector<BYTE> make_acl(const std::vector<std::vector<BYTE>>& aces) {
    std::vector<BYTE> acl(sizeof(ACL));
    for (const auto& a : aces)
        acl.insert(acl.end(), a.begin(), a.end());
    ACL h{ACL_REVISION, 0, static_cast<WORD>(acl.size()), static_cast<WORD>(aces.size()), 0};
    std::memcpy(acl.data(), &h, sizeof h);
    return acl;
}

struct AceView {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    const BYTE* sid; // null for kinds of entry we do not read
    const BYTE* raw;
    WORD size;
};

std::vector<AceView> aces_of(const BYTE* acl) {
    std::vector<AceView> out;
    ACL h;
    std::memcpy(&h, acl, sizeof h);
    std::size_t pos = sizeof(ACL);
    for (WORD i = 0; i < h.AceCount; ++i) {
        ACE_HEADER ah;
        std::memcpy(&ah, acl + pos, sizeof ah);
        AceView v{ah.AceType, ah.AceFlags, 0, nullptr, acl + pos, ah.AceSize};
        if (known_ace_type(ah.AceType)) {
            std::memcpy(&v.mask, acl + pos + 4, 4);
            v.sid = acl + pos + ace_sid_offset();
        }
        out.push_back(v);
        pos += ah.AceSize;
    }
    return out;
}

// ---- security descriptors --------------------------------------------------------------

struct Desc {
    WORD control = 0;
    SidBytes owner, group;
    bool dacl_present = false;
    std::vector<BYTE> dacl; // empty while present: a null DACL (everyone gets everything)
};

// Reads a descriptor the program handed over (absolute or self-relative).
DWORD read_program_desc(const void* sd, Desc& d) {
    if (!sd)
        return ERROR_INVALID_SECURITY_DESCR;
    const auto* p = static_cast<const BYTE*>(sd);
    if (p[0] != SECURITY_DESCRIPTOR_REVISION)
        return ERROR_UNKNOWN_REVISION;
    d = Desc{};
    std::memcpy(&d.control, p + 2, 2);
    const void* owner;
    const void* group;
    const void* dacl;
    if (d.control & SE_SELF_RELATIVE) {
        SECURITY_DESCRIPTOR_RELATIVE r;
        std::memcpy(&r, p, sizeof r);
        owner = r.Owner ? p + r.Owner : nullptr;
        group = r.Group ? p + r.Group : nullptr;
        dacl = r.Dacl ? p + r.Dacl : nullptr;
    } else {
        SECURITY_DESCRIPTOR a;
        std::memcpy(&a, p, sizeof a);
        owner = a.Owner;
        group = a.Group;
        dacl = a.Dacl;
    }
    if (owner) {
        if (!valid_sid(owner))
            return ERROR_INVALID_SECURITY_DESCR;
        d.owner = sid_copy(owner);
    }
    if (group) {
        if (!valid_sid(group))
            return ERROR_INVALID_SECURITY_DESCR;
        d.group = sid_copy(group);
    }
    d.dacl_present = (d.control & SE_DACL_PRESENT) != 0;
    if (d.dacl_present && dacl) {
        if (!valid_acl(static_cast<const ACL*>(dacl)))
            return ERROR_INVALID_ACL;
        const auto* a = static_cast<const BYTE*>(dacl);
        d.dacl.assign(a, a + static_cast<const ACL*>(dacl)->AclSize);
    }
    return ERROR_SUCCESS;
}

// Reads a stored self-relative descriptor, every offset checked against the blob.
bool read_stored_desc(const std::vector<BYTE>& blob, Desc& d) {
    if (blob.size() < sizeof(SECURITY_DESCRIPTOR_RELATIVE))
        return false;
    SECURITY_DESCRIPTOR_RELATIVE r;
    std::memcpy(&r, blob.data(), sizeof r);
    if (r.Revision != SECURITY_DESCRIPTOR_REVISION || !(r.Control & SE_SELF_RELATIVE))
        return false;
    d = Desc{};
    d.control = r.Control;
    auto sid_at = [&](DWORD off, SidBytes& out) {
        if (!off)
            return true;
        if (off >= blob.size() || !valid_sid_in(blob.data() + off, blob.size() - off))
            return false;
        out = sid_copy(blob.data() + off);
        return true;
    };
    if (!sid_at(r.Owner, d.owner) || !sid_at(r.Group, d.group))
        return false;
    d.dacl_present = (r.Control & SE_DACL_PRESENT) != 0;
    if (d.dacl_present && r.Dacl) {
        if (r.Dacl >= blob.size() || !valid_acl_in(blob.data() + r.Dacl, blob.size() - r.Dacl))
            return false;
        WORD size;
        std::memcpy(&size, blob.data() + r.Dacl + 2, 2);
        d.dacl.assign(blob.data() + r.Dacl, blob.data() + r.Dacl + size);
    }
    return true;
}

std::vector<BYTE> write_relative(const Desc& d) {
    std::vector<BYTE> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    SECURITY_DESCRIPTOR_RELATIVE r{
        SECURITY_DESCRIPTOR_REVISION,
        0,
        static_cast<WORD>((d.control & ~SE_SACL_PRESENT) | SE_SELF_RELATIVE),
        0,
        0,
        0,
        0};
    if (d.dacl_present && !d.dacl.empty()) {
        r.Dacl = static_cast<DWORD>(out.size());
        out.insert(out.end(), d.dacl.begin(), d.dacl.end());
    }
    if (!d.owner.empty()) {
        r.Owner = static_cast<DWORD>(out.size());
        out.insert(out.end(), d.owner.begin(), d.owner.end());
    }
    if (!d.group.empty()) {
        r.Group = static_cast<DWORD>(out.size());
        out.insert(out.end(), d.group.begin(), d.group.end());
    }
    std::memcpy(out.data(), &r, sizeof r);
    return out;
}

// ---- access checks ---------------------------------------------------------------------

ACCESS_MASK map_generic(ACCESS_MASK mask, const GENERIC_MAPPING& m) {
    ACCESS_MASK out = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ)
        out |= m.GenericRead;
    if (mask & GENERIC_WRITE)
        out |= m.GenericWrite;
    if (mask & GENERIC_EXECUTE)
        out |= m.GenericExecute;
    if (mask & GENERIC_ALL)
        out |= m.GenericAll;
    return out;
}

// The rights `desc` grants the token: entries in order, a denial of a right not yet granted
// wins, the owner always may read and change the access list.
ACCESS_MASK granted_rights(const Desc& desc, const TokenData& t, const GENERIC_MAPPING& m) {
    const ACCESS_MASK all = m.GenericAll | STANDARD_RIGHTS_ALL | SPECIFIC_RIGHTS_ALL;
    if (!desc.dacl_present || desc.dacl.empty())
        return all;
    ACCESS_MASK granted = 0, denied = 0;
    if (!desc.owner.empty() && token_group_enabled(t, desc.owner.data()))
        granted |= READ_CONTROL | WRITE_DAC;
    for (const auto& ace : aces_of(desc.dacl.data())) {
        if (!ace.sid || (ace.flags & INHERIT_ONLY_ACE))
            continue;
        ACCESS_MASK mask = map_generic(ace.mask, m);
        if (ace.type == ACCESS_ALLOWED_ACE_TYPE && token_group_enabled(t, ace.sid))
            granted |= mask & ~denied;
        else if (ace.type == ACCESS_DENIED_ACE_TYPE && token_has_sid(t, ace.sid))
            denied |= mask & ~granted;
    }
    return granted;
}

// Whether every right in `desired` is granted.
bool check_rights(const Desc& desc, const TokenData& t, ACCESS_MASK desired,
                  const GENERIC_MAPPING& m) {
    ACCESS_MASK want = map_generic(desired, m);
    return (granted_rights(desc, t, m) & want) == want;
}

// ---- tokens ----------------------------------------------------------------------------

std::shared_ptr<TokenObject> token_object(HANDLE h, DWORD& error) {
    auto obj = std::dynamic_pointer_cast<TokenObject>(lookup_handle(h));
    error = obj ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    return obj;
}

// ---- files -----------------------------------------------------------------------------

std::optional<std::vector<BYTE>> read_xattr(const fs::path& host) {
    std::vector<BYTE> buf(4096);
    for (int tries = 0; tries < 3; ++tries) {
        ssize_t n = ::getxattr(host.c_str(), kSecurityXattr, buf.data(), buf.size());
        if (n >= 0) {
            buf.resize(static_cast<std::size_t>(n));
            return buf;
        }
        if (errno != ERANGE)
            return std::nullopt;
        ssize_t size = ::getxattr(host.c_str(), kSecurityXattr, nullptr, 0);
        if (size < 0)
            return std::nullopt;
        buf.resize(static_cast<std::size_t>(size) + 1);
    }
    return std::nullopt;
}

DWORD write_xattr(const fs::path& host, const std::vector<BYTE>& blob) {
    if (::setxattr(host.c_str(), kSecurityXattr, blob.data(), blob.size(), 0) == 0)
        return ERROR_SUCCESS;
    int e = errno;
    // The host wants write permission for this; a read-only file (no write bits) still keeps
    // its security on Windows, so open it up for the moment of the write.
    struct stat st {};
    if (e == EACCES && ::stat(host.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR) &&
        ::chmod(host.c_str(), st.st_mode | S_IWUSR) == 0) {
        int rc = ::setxattr(host.c_str(), kSecurityXattr, blob.data(), blob.size(), 0);
        e = errno;
        ::chmod(host.c_str(), st.st_mode);
        if (rc == 0)
            return ERROR_SUCCESS;
    }
    if (e == ENOTSUP)
        return ERROR_NOT_SUPPORTED;
    return error_from_errno(e);
}

std::vector<BYTE> full_control_ace(const SidBytes& sid, BYTE flags) {
    return make_ace(ACCESS_ALLOWED_ACE_TYPE, flags, FILE_ALL_ACCESS, sid.data());
}

// What Windows gives an object whose folder passes nothing on: the creator's default DACL.
Desc token_default(const TokenData& t) {
    Desc d;
    d.owner = default_owner(t);
    d.group = primary_group(t.user);
    d.dacl_present = true;
    d.control = SE_DACL_PRESENT;
    d.dacl = make_acl({full_control_ace(d.owner, 0), full_control_ace(sid_system(), 0),
                       full_control_ace(t.user, 0)});
    return d;
}

Desc inherit_from(const Desc& parent, bool is_dir, const SidBytes& owner, const SidBytes& group) {
    std::vector<std::vector<BYTE>> aces;
    if (parent.dacl_present && !parent.dacl.empty()) {
        for (const auto& a : aces_of(parent.dacl.data())) {
            BYTE f = a.flags;
            bool oi = f & OBJECT_INHERIT_ACE, ci = f & CONTAINER_INHERIT_ACE;
            bool np = f & NO_PROPAGATE_INHERIT_ACE;
            BYTE child;
            if (!is_dir) {
                if (!oi)
                    continue;
                child = INHERITED_ACE;
            } else if (ci) {
                child = np ? INHERITED_ACE
                           : static_cast<BYTE>((f & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) |
                                               INHERITED_ACE);
            } else if (oi && !np) {
                // Passed on through the folder to the files below it, not for the folder.
                child = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE;
            } else {
                continue;
            }
            std::vector<BYTE> raw(a.raw, a.raw + a.size);
            raw[1] = child;
            aces.push_back(std::move(raw));
        }
    }
    Desc d;
    d.owner = owner;
    d.group = group;
    d.dacl_present = true;
    if (aces.empty()) {
        Desc fallback = token_default(*effective_token());
        d.dacl = fallback.dacl;
        d.control = SE_DACL_PRESENT;
    } else {
        d.dacl = make_acl(aces);
        d.control = SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED;
    }
    return d;
}

// The drive roots' protected list: SYSTEM and Administrators full control, Users read and
// execute, all passed on to everything below.
Desc drive_root_desc() {
    constexpr BYTE kDown = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    Desc d;
    d.owner = sid_system();
    d.group = sid_system();
    d.dacl_present = true;
    d.control = SE_DACL_PRESENT | SE_DACL_PROTECTED;
    d.dacl =
        make_acl({full_control_ace(sid_system(), kDown), full_control_ace(sid_admins(), kDown),
                  make_ace(ACCESS_ALLOWED_ACE_TYPE, kDown, kReadAndExecute, sid_users().data())});
    return d;
}

bool is_dir_host(const fs::path& host) {
    struct stat st {};
    return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Desc effective_desc(const fs::path& host, int depth = 0) {
    if (auto blob = read_xattr(host)) {
        Desc d;
        if (read_stored_desc(*blob, d))
            return d;
    }
    std::wstring win;
    const bool inside = Machine::current().to_windows(host, win);
    if (!inside || depth > 300)
        return token_default(*effective_token());
    if (win.size() <= 3)
        return drive_root_desc();
    Desc parent = effective_desc(host.parent_path(), depth + 1);
    auto t = effective_token();
    return inherit_from(parent, is_dir_host(host), default_owner(*t), primary_group(t->user));
}

DWORD map_existing(LPCWSTR path, HostPath& hp) {
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (DWORD e = Machine::current().map(path, hp))
        return e;
    if (!hp.exists)
        return hp.parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

} // namespace

// ---- tokens ----------------------------------------------------------------------------

HANDLE GetCurrentThread() {
    return kCurrentThreadHandle;
}

BOOL OpenProcessToken(HANDLE process, DWORD desired, HANDLE* token) {
    if (!token)
        return fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<TokenData> data;
    if (process == kCurrentProcessHandle)
        data = process_token();
    else if (lookup_handle(process))
        data = process_token()->copy(); // another process of this logon: its fresh token
    else
        return fail(ERROR_INVALID_HANDLE);
    if (desired & MAXIMUM_ALLOWED)
        desired = TOKEN_ALL_ACCESS;
    *token = insert_handle(std::make_shared<TokenObject>(std::move(data), desired));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL OpenThreadToken(HANDLE thread, DWORD desired, BOOL /*open_as_self*/, HANDLE* token) {
    if (!token)
        return fail(ERROR_INVALID_PARAMETER);
    if (thread != kCurrentThreadHandle)
        return fail(ERROR_INVALID_HANDLE);
    auto data = thread_token();
    if (!data)
        return fail(ERROR_NO_TOKEN);
    if (desired & MAXIMUM_ALLOWED)
        desired = TOKEN_ALL_ACCESS;
    *token = insert_handle(std::make_shared<TokenObject>(std::move(data), desired));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ImpersonateSelf(int level) {
    if (level < SecurityAnonymous || level > SecurityDelegation)
        return fail(ERROR_INVALID_PARAMETER);
    auto t = process_token()->copy();
    t->impersonation = true;
    t->level = level;
    set_thread_token(std::move(t));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL RevertToSelf() {
    set_thread_token(nullptr);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, LUID* luid) {
    if (!name || !luid)
        return fail(ERROR_INVALID_PARAMETER);
    if (system_name && *system_name) {
        std::wstring local =
            L"\\\\" + upper(from_utf8(Machine::current().setting("system", "computer_name", "")));
        if (!iequals(system_name, local) && !iequals(system_name, local.substr(2)))
            return fail(ERROR_BAD_NETPATH); // no other machine is reachable
    }
    if (!privilege_luid(name, *luid))
        return fail(ERROR_NO_SUCH_PRIVILEGE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                           DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                           DWORD* return_length) {
    DWORD error = 0;
    auto obj = token_object(token, error);
    if (!obj)
        return fail(error);
    if (!(obj->access & TOKEN_ADJUST_PRIVILEGES) ||
        (previous_state && !(obj->access & TOKEN_QUERY)))
        return fail(ERROR_ACCESS_DENIED);
    if (!disable_all && !new_state)
        return fail(ERROR_INVALID_PARAMETER);
    TokenData& t = *obj->data;
    std::lock_guard lock(t.mutex);

    // First the changes, so that the previous state can be sized and nothing is half done.
    struct Change {
        std::size_t index;
        DWORD attributes;
        bool remove;
    };
    std::vector<Change> changes;
    bool not_all = false;
    if (disable_all) {
        for (std::size_t i = 0; i < t.privileges.size(); ++i)
            if (t.privileges[i].attributes & SE_PRIVILEGE_ENABLED)
                changes.push_back({i, t.privileges[i].attributes & ~SE_PRIVILEGE_ENABLED, false});
    } else {
        for (DWORD k = 0; k < new_state->PrivilegeCount; ++k) {
            const LUID_AND_ATTRIBUTES& want = new_state->Privileges[k];
            std::size_t i = 0;
            while (i < t.privileges.size() &&
                   !(t.privileges[i].luid.LowPart == want.Luid.LowPart &&
                     t.privileges[i].luid.HighPart == want.Luid.HighPart))
                ++i;
            if (i == t.privileges.size()) {
                not_all = true;
                continue;
            }
            DWORD old = t.privileges[i].attributes;
            if (want.Attributes & SE_PRIVILEGE_REMOVED) {
                changes.push_back({i, old, true});
                continue;
            }
            DWORD now = (want.Attributes & SE_PRIVILEGE_ENABLED) ? old | SE_PRIVILEGE_ENABLED
                                                                 : old & ~SE_PRIVILEGE_ENABLED;
            if (now != old)
                changes.push_back({i, now, false});
        }
    }
    if (previous_state) {
        DWORD needed =
            static_cast<DWORD>(sizeof(DWORD) + changes.size() * sizeof(LUID_AND_ATTRIBUTES));
        needed = std::max<DWORD>(needed, sizeof(TOKEN_PRIVILEGES));
        if (return_length)
            *return_length = needed;
        if (buffer_length < needed)
            return fail(ERROR_INSUFFICIENT_BUFFER);
        previous_state->PrivilegeCount = static_cast<DWORD>(changes.size());
        for (std::size_t k = 0; k < changes.size(); ++k)
            previous_state->Privileges[k] = {t.privileges[changes[k].index].luid,
                                             t.privileges[changes[k].index].attributes};
    }
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        if (it->remove)
            t.privileges.erase(t.privileges.begin() + static_cast<std::ptrdiff_t>(it->index));
        else
            t.privileges[it->index].attributes = it->attributes;
    }
    SetLastError(not_all ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}

// ---- SIDs ------------------------------------------------------------------------------

BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE count, DWORD s0,
                              DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7,
                              PSID* sid) {
    if (!authority || !sid || count > 8)
        return fail(ERROR_INVALID_PARAMETER);
    auto* p = static_cast<BYTE*>(std::calloc(1, 8 + 4 * static_cast<std::size_t>(count)));
    if (!p)
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    p[0] = SID_REVISION;
    p[1] = count;
    std::memcpy(p + 2, authority->Value, 6);
    const DWORD subs[] = {s0, s1, s2, s3, s4, s5, s6, s7};
    std::memcpy(p + 8, subs, 4 * static_cast<std::size_t>(count));
    *sid = p;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

PSID FreeSid(PSID sid) {
    std::free(sid);
    return nullptr;
}

BOOL IsValidSid(PSID sid) {
    if (!valid_sid(sid))
        return fail(ERROR_INVALID_SID);
    return TRUE;
}

DWORD GetLengthSid(PSID sid) {
    return valid_sid(sid) ? static_cast<DWORD>(sid_length(static_cast<BYTE*>(sid))) : 0;
}

BOOL EqualSid(PSID a, PSID b) {
    if (!valid_sid(a) || !valid_sid(b))
        return fail(ERROR_INVALID_SID);
    SetLastError(ERROR_SUCCESS);
    return same_sid(static_cast<BYTE*>(a), static_cast<BYTE*>(b));
}

// ---- access lists ----------------------------------------------------------------------

BOOL InitializeAcl(PACL acl, DWORD length, DWORD revision) {
    if (!acl)
        return fail(ERROR_INVALID_PARAMETER);
    if (length < sizeof(ACL))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (length > 0xFFFF || revision < ACL_REVISION || revision > ACL_REVISION_DS)
        return fail(ERROR_INVALID_PARAMETER);
    *acl = ACL{static_cast<BYTE>(revision), 0, static_cast<WORD>(length & ~3u), 0, 0};
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL IsValidAcl(PACL acl) {
    return valid_acl(acl) ? TRUE : fail(ERROR_INVALID_ACL);
}

BOOL AddAce(PACL acl, DWORD revision, DWORD start_index, LPVOID ace_list, DWORD list_length) {
    std::size_t used = 0;
    if (!valid_acl(acl) || !valid_acl_in(reinterpret_cast<BYTE*>(acl), acl->AclSize, &used))
        return fail(ERROR_INVALID_ACL);
    if (!ace_list || revision < ACL_REVISION || revision > ACL_REVISION_DS)
        return fail(ERROR_INVALID_PARAMETER);
    // Count and check the entries of the list before anything moves.
    const auto* list = static_cast<const BYTE*>(ace_list);
    WORD count = 0;
    for (std::size_t pos = 0; pos < list_length; ++count) {
        if (pos + sizeof(ACE_HEADER) > list_length)
            return fail(ERROR_INVALID_PARAMETER);
        ACE_HEADER h;
        std::memcpy(&h, list + pos, sizeof h);
        if (h.AceSize < sizeof(ACE_HEADER) || pos + h.AceSize > list_length)
            return fail(ERROR_INVALID_PARAMETER);
        pos += h.AceSize;
    }
    if (used + list_length > acl->AclSize)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    auto* base = reinterpret_cast<BYTE*>(acl);
    std::size_t at = sizeof(ACL);
    if (start_index != MAXDWORD && start_index < acl->AceCount) {
        auto aces = aces_of(base);
        at = static_cast<std::size_t>(aces[start_index].raw - base);
    } else {
        at = used;
    }
    std::memmove(base + at + list_length, base + at, used - at);
    std::memcpy(base + at, list, list_length);
    acl->AceCount = static_cast<WORD>(acl->AceCount + count);
    if (revision > acl->AclRevision)
        acl->AclRevision = static_cast<BYTE>(revision);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

namespace {
BOOL add_ace(PACL acl, DWORD revision, BYTE type, DWORD flags, DWORD mask, PSID sid) {
    std::size_t used = 0;
    if (!valid_acl(acl) || !valid_acl_in(reinterpret_cast<BYTE*>(acl), acl->AclSize, &used))
        return fail(ERROR_INVALID_ACL);
    if (!valid_sid(sid))
        return fail(ERROR_INVALID_SID);
    if (revision < ACL_REVISION || revision > ACL_REVISION_DS || (flags & ~VALID_INHERIT_FLAGS))
        return fail(ERROR_INVALID_PARAMETER);
    auto ace = make_ace(type, static_cast<BYTE>(flags), mask, static_cast<BYTE*>(sid));
    if (used + ace.size() > acl->AclSize)
        return fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
    std::memcpy(reinterpret_cast<BYTE*>(acl) + used, ace.data(), ace.size());
    acl->AceCount = static_cast<WORD>(acl->AceCount + 1);
    if (revision > acl->AclRevision)
        acl->AclRevision = static_cast<BYTE>(revision);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
} // namespace

BOOL AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
    return add_ace(acl, revision, ACCESS_ALLOWED_ACE_TYPE, 0, mask, sid);
}

BOOL AddAccessAllowedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid) {
    return add_ace(acl, revision, ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid);
}

BOOL AddAccessDeniedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
    return add_ace(acl, revision, ACCESS_DENIED_ACE_TYPE, 0, mask, sid);
}

BOOL GetAce(PACL acl, DWORD index, LPVOID* ace) {
    if (!valid_acl(acl))
        return fail(ERROR_INVALID_ACL);
    if (!ace || index >= acl->AceCount)
        return fail(ERROR_INVALID_PARAMETER);
    auto aces = aces_of(reinterpret_cast<BYTE*>(acl));
    *ace = const_cast<BYTE*>(aces[index].raw);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetAclInformation(PACL acl, LPVOID info, DWORD length, ACL_INFORMATION_CLASS info_class) {
    std::size_t used = 0;
    if (!valid_acl(acl) || !valid_acl_in(reinterpret_cast<BYTE*>(acl), acl->AclSize, &used))
        return fail(ERROR_INVALID_ACL);
    if (!info)
        return fail(ERROR_INVALID_PARAMETER);
    if (info_class == AclRevisionInformation) {
        if (length < sizeof(ACL_REVISION_INFORMATION))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        ACL_REVISION_INFORMATION r{acl->AclRevision};
        std::memcpy(info, &r, sizeof r);
    } else if (info_class == AclSizeInformation) {
        if (length < sizeof(ACL_SIZE_INFORMATION))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        ACL_SIZE_INFORMATION s{acl->AceCount, static_cast<DWORD>(used),
                               static_cast<DWORD>(acl->AclSize - used)};
        std::memcpy(info, &s, sizeof s);
    } else {
        return fail(ERROR_INVALID_PARAMETER);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// ---- security descriptors --------------------------------------------------------------

namespace {
DWORD absolute_sd(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR*& out) {
    if (!sd)
        return ERROR_INVALID_PARAMETER;
    out = static_cast<SECURITY_DESCRIPTOR*>(sd);
    if (out->Revision != SECURITY_DESCRIPTOR_REVISION)
        return ERROR_UNKNOWN_REVISION;
    if (out->Control & SE_SELF_RELATIVE)
        return ERROR_INVALID_SECURITY_DESCR;
    return ERROR_SUCCESS;
}
} // namespace

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision) {
    if (!sd)
        return fail(ERROR_INVALID_PARAMETER);
    if (revision != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);
    *static_cast<SECURITY_DESCRIPTOR*>(sd) =
        SECURITY_DESCRIPTOR{SECURITY_DESCRIPTOR_REVISION, 0, 0, nullptr, nullptr, nullptr, nullptr};
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL* present, PACL* dacl,
                               BOOL* defaulted) {
    if (!sd || !present || !dacl || !defaulted)
        return fail(ERROR_INVALID_PARAMETER);
    const auto* p = static_cast<const BYTE*>(sd);
    if (p[0] != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);
    WORD control;
    std::memcpy(&control, p + 2, 2);
    *present = (control & SE_DACL_PRESENT) ? TRUE : FALSE;
    *dacl = nullptr;
    *defaulted = FALSE;
    if (*present) {
        if (control & SE_SELF_RELATIVE) {
            SECURITY_DESCRIPTOR_RELATIVE r;
            std::memcpy(&r, p, sizeof r);
            *dacl = r.Dacl ? reinterpret_cast<PACL>(const_cast<BYTE*>(p) + r.Dacl) : nullptr;
        } else {
            *dacl = static_cast<const SECURITY_DESCRIPTOR*>(sd)->Dacl;
        }
        *defaulted = (control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted) {
    SECURITY_DESCRIPTOR* a = nullptr;
    if (DWORD e = absolute_sd(sd, a))
        return fail(e);
    a->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    a->Dacl = nullptr;
    if (present) {
        a->Control |= SE_DACL_PRESENT;
        a->Dacl = dacl;
        if (defaulted)
            a->Control |= SE_DACL_DEFAULTED;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID owner, BOOL defaulted) {
    SECURITY_DESCRIPTOR* a = nullptr;
    if (DWORD e = absolute_sd(sd, a))
        return fail(e);
    a->Owner = owner;
    a->Control = static_cast<WORD>(defaulted ? a->Control | SE_OWNER_DEFAULTED
                                             : a->Control & ~SE_OWNER_DEFAULTED);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR sd, PSID group, BOOL defaulted) {
    SECURITY_DESCRIPTOR* a = nullptr;
    if (DWORD e = absolute_sd(sd, a))
        return fail(e);
    a->Group = group;
    a->Control = static_cast<WORD>(defaulted ? a->Control | SE_GROUP_DEFAULTED
                                             : a->Control & ~SE_GROUP_DEFAULTED);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID* owner, BOOL* defaulted) {
    if (!sd || !owner || !defaulted)
        return fail(ERROR_INVALID_PARAMETER);
    const auto* p = static_cast<const BYTE*>(sd);
    if (p[0] != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);
    WORD control;
    std::memcpy(&control, p + 2, 2);
    if (control & SE_SELF_RELATIVE) {
        SECURITY_DESCRIPTOR_RELATIVE r;
        std::memcpy(&r, p, sizeof r);
        *owner = r.Owner ? const_cast<BYTE*>(p) + r.Owner : nullptr;
    } else {
        *owner = static_cast<const SECURITY_DESCRIPTOR*>(sd)->Owner;
    }
    *defaulted = (control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL* control,
                                  DWORD* revision) {
    if (!sd || !control || !revision)
        return fail(ERROR_INVALID_PARAMETER);
    const auto* p = static_cast<const BYTE*>(sd);
    *revision = p[0];
    if (p[0] != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);
    std::memcpy(control, p + 2, 2);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL mask,
                                  SECURITY_DESCRIPTOR_CONTROL bits) {
    constexpr WORD kSettable = SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ |
                               SE_DACL_AUTO_INHERITED | SE_SACL_AUTO_INHERITED | SE_DACL_PROTECTED |
                               SE_SACL_PROTECTED | SE_DACL_UNTRUSTED | SE_SERVER_SECURITY;
    if (!sd)
        return fail(ERROR_INVALID_PARAMETER);
    auto* p = static_cast<BYTE*>(sd);
    if (p[0] != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);
    if ((mask | bits) & ~kSettable)
        return fail(ERROR_INVALID_PARAMETER);
    WORD control;
    std::memcpy(&control, p + 2, 2);
    control = static_cast<WORD>((control & ~mask) | (bits & mask));
    std::memcpy(p + 2, &control, 2);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR sd) {
    Desc d;
    if (DWORD e = read_program_desc(sd, d))
        return fail(e == ERROR_INVALID_ACL ? ERROR_INVALID_SECURITY_DESCR : e);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR sd) {
    Desc d;
    if (read_program_desc(sd, d))
        return 0;
    return static_cast<DWORD>(write_relative(d).size());
}

// ---- membership and access -------------------------------------------------------------

BOOL CheckTokenMembership(HANDLE token, PSID sid, BOOL* is_member) {
    if (!is_member)
        return fail(ERROR_INVALID_PARAMETER);
    if (!valid_sid(sid))
        return fail(ERROR_INVALID_SID);
    std::shared_ptr<TokenData> data;
    if (!token) {
        data = effective_token();
    } else {
        DWORD error = 0;
        auto obj = token_object(token, error);
        if (!obj)
            return fail(error);
        if (!obj->data->impersonation)
            return fail(ERROR_NO_IMPERSONATION_TOKEN);
        if (!(obj->access & TOKEN_QUERY))
            return fail(ERROR_ACCESS_DENIED);
        data = obj->data;
    }
    *is_member = token_group_enabled(*data, static_cast<BYTE*>(sid)) ? TRUE : FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void MapGenericMask(DWORD* mask, const GENERIC_MAPPING* mapping) {
    if (mask && mapping)
        *mask = map_generic(*mask, *mapping);
}

BOOL AccessCheck(PSECURITY_DESCRIPTOR sd, HANDLE client_token, DWORD desired,
                 const GENERIC_MAPPING* mapping, PRIVILEGE_SET* privileges,
                 DWORD* privileges_length, DWORD* granted, BOOL* status) {
    if (!mapping || !privileges_length || !granted || !status)
        return fail(ERROR_INVALID_PARAMETER);
    DWORD error = 0;
    auto obj = token_object(client_token, error);
    if (!obj)
        return fail(error);
    if (!obj->data->impersonation)
        return fail(ERROR_NO_IMPERSONATION_TOKEN);
    if (obj->data->level < SecurityIdentification)
        return fail(ERROR_BAD_IMPERSONATION_LEVEL);
    if (!(obj->access & TOKEN_QUERY))
        return fail(ERROR_ACCESS_DENIED);
    Desc d;
    if (read_program_desc(sd, d) || d.owner.empty() || d.group.empty())
        return fail(ERROR_INVALID_SECURITY_DESCR);
    if (desired & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL))
        return fail(ERROR_GENERIC_NOT_MAPPED);
    if (*privileges_length < sizeof(PRIVILEGE_SET)) {
        *privileges_length = sizeof(PRIVILEGE_SET);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (privileges) {
        privileges->PrivilegeCount = 0;
        privileges->Control = 0;
    }
    ACCESS_MASK rights = granted_rights(d, *obj->data, *mapping);
    if (token_privilege_enabled(*obj->data, L"SeSecurityPrivilege"))
        rights |= ACCESS_SYSTEM_SECURITY;
    ACCESS_MASK want = desired & ~MAXIMUM_ALLOWED;
    bool ok = (rights & want) == want && (!(desired & MAXIMUM_ALLOWED) || rights != 0);
    *granted = ok ? ((desired & MAXIMUM_ALLOWED) ? rights : want) : 0;
    *status = ok ? TRUE : FALSE;
    SetLastError(ok ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    return TRUE;
}

// ---- files -----------------------------------------------------------------------------

BOOL GetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION requested, PSECURITY_DESCRIPTOR sd,
                      DWORD length, DWORD* needed) {
    if (!needed)
        return fail(ERROR_INVALID_PARAMETER);
    HostPath hp;
    if (DWORD e = map_existing(path, hp))
        return fail(e);
    auto token = effective_token();
    if ((requested & SACL_SECURITY_INFORMATION) &&
        !token_privilege_enabled(*token, L"SeSecurityPrivilege"))
        return fail(ERROR_PRIVILEGE_NOT_HELD);
    Desc full = effective_desc(hp.host);
    if ((requested &
         (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) &&
        !check_rights(full, *token, READ_CONTROL, kFileMapping))
        return fail(ERROR_ACCESS_DENIED);
    Desc out;
    if (requested & OWNER_SECURITY_INFORMATION)
        out.owner = full.owner;
    if (requested & GROUP_SECURITY_INFORMATION)
        out.group = full.group;
    if (requested & DACL_SECURITY_INFORMATION) {
        out.dacl_present = full.dacl_present;
        out.dacl = full.dacl;
        out.control = full.control & (SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERITED |
                                      SE_DACL_PROTECTED);
    }
    std::vector<BYTE> blob = write_relative(out);
    *needed = static_cast<DWORD>(blob.size());
    if (!sd || length < blob.size())
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(sd, blob.data(), blob.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd) {
    HostPath hp;
    if (DWORD e = map_existing(path, hp))
        return fail(e);
    Desc given;
    if (DWORD e = read_program_desc(sd, given))
        return fail(e == ERROR_INVALID_ACL ? ERROR_INVALID_SECURITY_DESCR : e);
    auto token = effective_token();
    Desc d = effective_desc(hp.host);
    ACCESS_MASK needs = 0;
    if (info & DACL_SECURITY_INFORMATION)
        needs |= WRITE_DAC;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
        needs |= WRITE_OWNER;
    if ((info & SACL_SECURITY_INFORMATION) &&
        !token_privilege_enabled(*token, L"SeSecurityPrivilege"))
        return fail(ERROR_PRIVILEGE_NOT_HELD);
    if (needs && !check_rights(d, *token, needs, kFileMapping))
        return fail(ERROR_ACCESS_DENIED);
    if (info & OWNER_SECURITY_INFORMATION) {
        // Only the user, or a group the token may own things with, can become the owner.
        bool allowed =
            !given.owner.empty() && (same_sid(given.owner.data(), token->user.data()) ||
                                     token_privilege_enabled(*token, L"SeRestorePrivilege"));
        for (const auto& g : token->groups)
            allowed = allowed || (!given.owner.empty() && (g.attributes & SE_GROUP_OWNER) &&
                                  same_sid(g.sid.data(), given.owner.data()));
        if (!allowed)
            return fail(ERROR_INVALID_OWNER);
        d.owner = given.owner;
    }
    if (info & GROUP_SECURITY_INFORMATION) {
        if (given.group.empty())
            return fail(ERROR_INVALID_PRIMARY_GROUP);
        d.group = given.group;
    }
    if (info & DACL_SECURITY_INFORMATION) {
        d.dacl_present = given.dacl_present;
        d.dacl = given.dacl;
        WORD keep = d.control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERITED |
                                  SE_DACL_PROTECTED | SE_DACL_AUTO_INHERIT_REQ);
        WORD from = given.control & (SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERITED |
                                     SE_DACL_PROTECTED);
        if (info & PROTECTED_DACL_SECURITY_INFORMATION)
            from |= SE_DACL_PROTECTED;
        if (info & UNPROTECTED_DACL_SECURITY_INFORMATION)
            from &= static_cast<WORD>(~SE_DACL_PROTECTED);
        d.control = keep | from;
    }
    if (DWORD e = write_xattr(hp.host, write_relative(d)))
        return fail(e);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void apply_inherited_security(const fs::path& host, bool is_dir) {
    Desc parent = effective_desc(host.parent_path());
    auto t = effective_token();
    write_xattr(host, write_relative(
                          inherit_from(parent, is_dir, default_owner(*t), primary_group(t->user))));
}

std::vector<BYTE> file_security_descriptor(const fs::path& host) {
    return write_relative(effective_desc(host));
}

void apply_default_folder_security(const fs::path& machine_root, const std::string& user_name,
                                   const std::string& user_sid) {
    const fs::path drive = machine_root / "drive_c";
    const fs::path profile = drive / "Users" / user_name;
    SidBytes user = sid_from_string(user_sid);
    std::map<fs::path, Desc> made;
    made[drive] = drive_root_desc();
    write_xattr(drive, write_relative(made[drive]));
    std::error_code ec;
    for (fs::recursive_directory_iterator it(drive, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_directory(ec))
            continue;
        const fs::path& p = it->path();
        Desc d;
        if (p == profile && !user.empty()) {
            constexpr BYTE kDown = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
            d.owner = user;
            d.group = primary_group(user);
            d.dacl_present = true;
            d.control = SE_DACL_PRESENT | SE_DACL_PROTECTED;
            d.dacl =
                make_acl({full_control_ace(sid_system(), kDown),
                          full_control_ace(sid_admins(), kDown), full_control_ace(user, kDown)});
        } else {
            auto parent = made.find(p.parent_path());
            if (parent == made.end())
                continue;
            d = inherit_from(parent->second, true, sid_admins(), sid_system());
        }
        write_xattr(p, write_relative(d));
        made[p] = d;
    }
}

} // namespace win32
