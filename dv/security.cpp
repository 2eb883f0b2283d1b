#include "dv/security.h"

#include "dv/sysinfo.h"
#include "win32/error.h"
#include "win32/handles.h"
#include "win32/module.h"
#include "win32/process.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace dv {

using namespace win32;

hresult_error::hresult_error(HRESULT code) noexcept : code_(code) {
    std::snprintf(what_, sizeof what_, "HRESULT 0x%08X", static_cast<unsigned>(code));
}

namespace {

[[noreturn]] void raise(HRESULT code) {
    throw hresult_error(code);
}

[[noreturn]] void raise_last_error() {
    raise(HRESULT_FROM_WIN32(GetLastError()));
}

// ---- the binding ----------------------------------------------------------------------------

enum class Fn {
    OpenProcessToken,
    OpenThreadToken,
    LookupPrivilegeValueW,
    AdjustTokenPrivileges,
    AllocateAndInitializeSid,
    IsValidSid,
    GetLengthSid,
    EqualSid,
    FreeSid,
    GetAce,
    AddAce,
    AddAccessAllowedAce,
    AddAccessAllowedAceEx,
    InitializeSecurityDescriptor,
    InitializeAcl,
    GetAclInformation,
    GetSecurityDescriptorDacl,
    SetSecurityDescriptorDacl,
    SetSecurityDescriptorGroup,
    SetSecurityDescriptorOwner,
    GetSecurityDescriptorControl,
    SetSecurityDescriptorControl,
    IsValidSecurityDescriptor,
    CheckTokenMembership,
    AccessCheck,
    GetFileSecurityW,
    SetFileSecurityW,
    ImpersonateSelf,
    RevertToSelf,
    Count
};

constexpr const char* kNames[] = {
    "OpenProcessToken",
    "OpenThreadToken",
    "LookupPrivilegeValueW",
    "AdjustTokenPrivileges",
    "AllocateAndInitializeSid",
    "IsValidSid",
    "GetLengthSid",
    "EqualSid",
    "FreeSid",
    "GetAce",
    "AddAce",
    "AddAccessAllowedAce",
    "AddAccessAllowedAceEx",
    "InitializeSecurityDescriptor",
    "InitializeAcl",
    "GetAclInformation",
    "GetSecurityDescriptorDacl",
    "SetSecurityDescriptorDacl",
    "SetSecurityDescriptorGroup",
    "SetSecurityDescriptorOwner",
    "GetSecurityDescriptorControl",
    "SetSecurityDescriptorControl",
    "IsValidSecurityDescriptor",
    "CheckTokenMembership",
    "AccessCheck",
    "GetFileSecurityW",
    "SetFileSecurityW",
    "ImpersonateSelf",
    "RevertToSelf",
};
static_assert(std::size(kNames) == static_cast<std::size_t>(Fn::Count));

// The process-wide record. Constant-initialised, so that it can be used from static
// initialisation (the instance counter), and filled without a lock: the program calls this
// layer from one thread, and two threads racing on first use would store the same values.
struct Binding {
    HMODULE module = nullptr;
    FARPROC entry[static_cast<std::size_t>(Fn::Count)] = {};
};
constinit Binding g_binding;

HMODULE bound_module() {
    if (!g_binding.module) {
        // Loading counts a reference on a module already loaded, which keeps it for good.
        HMODULE module = load_system_library(L"advapi32.dll");
        if (!module)
            module = GetModuleHandleW(L"advapi32.dll");
        if (!module)
            raise(E_UNEXPECTED);
        g_binding.module = module;
    }
    return g_binding.module;
}

// The entry point as its type in the layer's declaration (which is what the module exports).
template <auto Declared> auto bind(Fn fn) {
    FARPROC& slot = g_binding.entry[static_cast<std::size_t>(fn)];
    if (!slot) {
        HMODULE module = bound_module();
        slot = GetProcAddress(module, kNames[static_cast<std::size_t>(fn)]);
        if (!slot)
            raise(E_NOTIMPL);
    }
    return reinterpret_cast<decltype(Declared)>(slot);
}

#define DV_BIND(name) bind<&win32::name>(Fn::name)

void check(BOOL ok) {
    if (!ok)
        raise_last_error();
}

} // namespace

namespace advapi32 {

void reset_binding() {
    g_binding = Binding{};
}

void OpenProcessToken(HANDLE process, DWORD desired, HANDLE* token) {
    check(DV_BIND(OpenProcessToken)(process, desired, token));
}

void OpenThreadToken(HANDLE thread, bool open_as_self, HANDLE* token) {
    if (DV_BIND(OpenThreadToken)(thread, TOKEN_QUERY, open_as_self, token))
        return;
    if (GetLastError() != ERROR_NO_TOKEN)
        raise_last_error();
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token);
}

void LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, LUID* luid) {
    check(DV_BIND(LookupPrivilegeValueW)(system_name, name, luid));
}

void AdjustTokenPrivileges(HANDLE token, bool disable_all, TOKEN_PRIVILEGES* new_state,
                           DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                           DWORD* return_length) {
    check(DV_BIND(AdjustTokenPrivileges)(token, disable_all, new_state, buffer_length,
                                         previous_state, return_length));
}

void AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE count, DWORD s0,
                              DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7,
                              PSID* sid) {
    check(DV_BIND(AllocateAndInitializeSid)(authority, count, s0, s1, s2, s3, s4, s5, s6, s7, sid));
}

bool IsValidSid(PSID sid) {
    auto fn = DV_BIND(IsValidSid);
    return sid && fn(sid);
}

DWORD GetLengthSid(PSID sid) {
    if (!IsValidSid(sid))
        raise(E_INVALIDARG);
    return DV_BIND(GetLengthSid)(sid);
}

bool EqualSid(PSID a, PSID b) {
    auto fn = DV_BIND(EqualSid);
    SetLastError(ERROR_SUCCESS);
    if (fn(a, b))
        return true;
    // Unequal identifiers are an answer, not a failure: only an error code makes one.
    if (GetLastError() != ERROR_SUCCESS)
        raise_last_error();
    return false;
}

void FreeSid(PSID sid) {
    try {
        DV_BIND(FreeSid)(sid);
    } catch (const hresult_error& e) {
        if (e.code() != E_NOTIMPL)
            throw;
    }
}

void GetAce(PACL acl, DWORD index, void** ace) {
    check(DV_BIND(GetAce)(acl, index, ace));
}

void AddAce(PACL acl, DWORD revision, DWORD start_index, void* ace_list, DWORD list_length) {
    check(DV_BIND(AddAce)(acl, revision, start_index, ace_list, list_length));
}

void AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
    check(DV_BIND(AddAccessAllowedAce)(acl, revision, mask, sid));
}

void AddAccessAllowedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid) {
    check(DV_BIND(AddAccessAllowedAceEx)(acl, revision, flags, mask, sid));
}

void InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision) {
    check(DV_BIND(InitializeSecurityDescriptor)(sd, revision));
}

void InitializeAcl(PACL acl, DWORD length, DWORD revision) {
    check(DV_BIND(InitializeAcl)(acl, length, revision));
}

void GetAclInformation(PACL acl, void* info, DWORD length, ACL_INFORMATION_CLASS info_class) {
    check(DV_BIND(GetAclInformation)(acl, info, length, info_class));
}

void GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL* present, PACL* dacl,
                               BOOL* defaulted) {
    check(DV_BIND(GetSecurityDescriptorDacl)(sd, present, dacl, defaulted));
}

void SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, bool present, PACL dacl, bool defaulted) {
    check(DV_BIND(SetSecurityDescriptorDacl)(sd, present, dacl, defaulted));
}

void SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR sd, PSID group, bool defaulted) {
    check(DV_BIND(SetSecurityDescriptorGroup)(sd, group, defaulted));
}

void SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID owner, bool defaulted) {
    check(DV_BIND(SetSecurityDescriptorOwner)(sd, owner, defaulted));
}

void GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL* control,
                                  DWORD* revision) {
    check(DV_BIND(GetSecurityDescriptorControl)(sd, control, revision));
}

void SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL mask,
                                  SECURITY_DESCRIPTOR_CONTROL bits) {
    check(DV_BIND(SetSecurityDescriptorControl)(sd, mask, bits));
}

bool IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR sd) {
    return DV_BIND(IsValidSecurityDescriptor)(sd) != FALSE;
}

bool CheckTokenMembership(HANDLE token, PSID sid) {
    BOOL member = FALSE;
    check(DV_BIND(CheckTokenMembership)(token, sid, &member));
    return member != FALSE;
}

bool AccessCheck(PSECURITY_DESCRIPTOR sd, HANDLE client_token, const GENERIC_MAPPING* mapping,
                 PRIVILEGE_SET* privileges, DWORD* privileges_length, DWORD* granted) {
    BOOL status = FALSE;
    check(DV_BIND(AccessCheck)(sd, client_token, 1, mapping, privileges, privileges_length, granted,
                               &status));
    return status != FALSE;
}

DWORD GetFileSecurityW(LPCWSTR path, PSECURITY_DESCRIPTOR sd, DWORD length) {
    DWORD needed = 0;
    if (!DV_BIND(GetFileSecurityW)(path, DACL_SECURITY_INFORMATION, sd, length, &needed) &&
        !(sd == nullptr && GetLastError() == ERROR_INSUFFICIENT_BUFFER))
        raise_last_error();
    return needed;
}

void SetFileSecurityW(LPCWSTR path, PSECURITY_DESCRIPTOR sd) {
    check(DV_BIND(SetFileSecurityW)(path, DACL_SECURITY_INFORMATION, sd));
}

void ImpersonateSelf() {
    check(DV_BIND(ImpersonateSelf)(SecurityImpersonation));
}

bool RevertToSelf() {
    try {
        return DV_BIND(RevertToSelf)() != FALSE;
    } catch (const hresult_error&) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
}

} // namespace advapi32

namespace {

// Zeroed memory owned by the operation that asked for it; E_OUTOFMEMORY when there is none.
std::unique_ptr<BYTE[]> zeroed(std::size_t bytes) {
    std::unique_ptr<BYTE[]> p(new (std::nothrow) BYTE[bytes]());
    if (!p)
        raise(E_OUTOFMEMORY);
    return p;
}

std::unique_ptr<SECURITY_DESCRIPTOR> new_descriptor() {
    std::unique_ptr<SECURITY_DESCRIPTOR> sd(new (std::nothrow) SECURITY_DESCRIPTOR{});
    if (!sd)
        raise(E_OUTOFMEMORY);
    advapi32::InitializeSecurityDescriptor(sd.get(), SECURITY_DESCRIPTOR_REVISION);
    return sd;
}

// An access list of one access-allowed entry granting `mask` to `sid`.
std::unique_ptr<BYTE[]> single_entry_acl(PSID sid, DWORD mask) {
    const DWORD length = advapi32::GetLengthSid(sid) + 16;
    auto acl = zeroed(length);
    advapi32::InitializeAcl(reinterpret_cast<PACL>(acl.get()), length, ACL_REVISION);
    advapi32::AddAccessAllowedAce(reinterpret_cast<PACL>(acl.get()), ACL_REVISION, mask, sid);
    return acl;
}

// An open token handle, closed when the operation ends.
struct Token {
    HANDLE handle = nullptr;
    ~Token() {
        if (handle)
            CloseHandle(handle);
    }
};

bool access_check_admin() {
    try {
        struct Impersonation {
            bool active = false;
            ~Impersonation() {
                if (active)
                    advapi32::RevertToSelf();
            }
        } impersonation;
        advapi32::ImpersonateSelf();
        impersonation.active = true;

        Token token;
        advapi32::OpenThreadToken(GetCurrentThread(), false, &token.handle);

        WellKnownSid admins(WellKnownSid::Administrators);
        auto acl = single_entry_acl(admins.get(), 3);
        auto sd = new_descriptor();
        advapi32::SetSecurityDescriptorDacl(sd.get(), true, reinterpret_cast<PACL>(acl.get()),
                                            false);
        advapi32::SetSecurityDescriptorGroup(sd.get(), admins.get(), false);
        advapi32::SetSecurityDescriptorOwner(sd.get(), admins.get(), false);
        if (!advapi32::IsValidSecurityDescriptor(sd.get()))
            raise(E_UNEXPECTED);

        const GENERIC_MAPPING mapping{1, 2, 0, 3};
        alignas(PRIVILEGE_SET) BYTE privileges[20] = {};
        DWORD privileges_length = sizeof privileges;
        DWORD granted = 0;
        return advapi32::AccessCheck(sd.get(), token.handle, &mapping,
                                     reinterpret_cast<PRIVILEGE_SET*>(privileges),
                                     &privileges_length, &granted);
    } catch (const hresult_error&) {
        return false;
    }
}

} // namespace

// ---- identifiers and descriptors --------------------------------------------------------------

WellKnownSid::WellKnownSid(Kind kind) {
    const SID_IDENTIFIER_AUTHORITY& authority =
        kind == Everyone ? SECURITY_WORLD_SID_AUTHORITY : SECURITY_NT_AUTHORITY;
    const BYTE count = kind == Everyone ? 1 : 2;
    const DWORD s0 = kind == Everyone ? SECURITY_WORLD_RID : SECURITY_BUILTIN_DOMAIN_RID;
    const DWORD s1 = kind == Administrators ? DOMAIN_ALIAS_RID_ADMINS
                     : kind == Users        ? DOMAIN_ALIAS_RID_USERS
                                            : 0;
    try {
        advapi32::AllocateAndInitializeSid(&authority, count, s0, s1, 0, 0, 0, 0, 0, 0, &sid_);
        system_allocated_ = true;
        return;
    } catch (const hresult_error& e) {
        if (e.code() != E_NOTIMPL)
            throw;
    }
    // Without the system's allocator the identifier is built here, in its binary layout:
    // revision, count, 6-byte authority, then the sub-authorities.
    const std::size_t length = 8 + 4u * count;
    BYTE* sid = new (std::nothrow) BYTE[length]();
    if (!sid)
        raise(E_OUTOFMEMORY);
    sid[0] = SID_REVISION;
    sid[1] = count;
    std::memcpy(sid + 2, authority.Value, 6);
    const DWORD subs[2] = {s0, s1};
    std::memcpy(sid + 8, subs, 4u * count);
    sid_ = sid;
}

WellKnownSid::~WellKnownSid() {
    if (!sid_)
        return;
    if (system_allocated_) {
        try {
            advapi32::FreeSid(sid_);
        } catch (const hresult_error&) {
        }
    } else {
        delete[] static_cast<BYTE*>(sid_);
    }
}

SecurityDescriptor make_everyone_security(DWORD mask) {
    SecurityDescriptor out;
    {
        WellKnownSid everyone(WellKnownSid::Everyone);
        out.acl_ = single_entry_acl(everyone.get(), mask);
    }
    out.descriptor_ = new_descriptor();
    advapi32::SetSecurityDescriptorDacl(out.descriptor_.get(), true,
                                        reinterpret_cast<PACL>(out.acl_.get()), false);
    return out;
}

// ---- the services ------------------------------------------------------------------------------

bool is_user_admin() {
    try {
        WellKnownSid admins(WellKnownSid::Administrators);
        return advapi32::CheckTokenMembership(nullptr, admins.get());
    } catch (const hresult_error&) {
        return access_check_admin();
    }
}

bool enable_privilege(const wchar_t* name, bool enable) {
    Token token;
    try {
        advapi32::OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                   &token.handle);
        LUID luid{};
        advapi32::LookupPrivilegeValueW(nullptr, name, &luid);

        // The first adjustment changes nothing; it tells the privilege's current attributes.
        TOKEN_PRIVILEGES probe{};
        probe.PrivilegeCount = 1;
        probe.Privileges[0].Luid = luid;
        probe.Privileges[0].Attributes = 0;
        static_assert(sizeof(TOKEN_PRIVILEGES) == 16);
        TOKEN_PRIVILEGES previous{};
        DWORD returned = 0;
        advapi32::AdjustTokenPrivileges(token.handle, false, &probe, sizeof previous, &previous,
                                        &returned);

        previous.PrivilegeCount = 1;
        previous.Privileges[0].Luid = luid;
        if (enable)
            previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
        else
            previous.Privileges[0].Attributes &= ~SE_PRIVILEGE_ENABLED;
        advapi32::AdjustTokenPrivileges(token.handle, false, &previous, 0, nullptr, nullptr);
        return true;
    } catch (const hresult_error&) {
        return false;
    }
}

bool grant_users_access(const wchar_t* path, DWORD mask) {
    try {
        WellKnownSid users(WellKnownSid::Users);

        const DWORD size = advapi32::GetFileSecurityW(path, nullptr, 0);
        auto old_sd = zeroed(size ? size : sizeof(SECURITY_DESCRIPTOR));
        advapi32::GetFileSecurityW(path, old_sd.get(), size);

        BOOL present = FALSE, defaulted = FALSE;
        PACL old_acl = nullptr;
        advapi32::GetSecurityDescriptorDacl(old_sd.get(), &present, &old_acl, &defaulted);
        ACL_SIZE_INFORMATION info{0, sizeof(ACL), 0};
        if (present && old_acl)
            advapi32::GetAclInformation(old_acl, &info, sizeof info, AclSizeInformation);
        else
            info.AceCount = 0;

        const DWORD length = info.AclBytesInUse + advapi32::GetLengthSid(users.get()) + 8;
        auto acl = zeroed(length);
        PACL new_acl = reinterpret_cast<PACL>(acl.get());
        advapi32::InitializeAcl(new_acl, length, ACL_REVISION);

        // Copies the entries other than Users' from `index` on: the explicit ones (up to the
        // first inherited entry), or all that remain.
        DWORD index = 0;
        auto copy_entries = [&](bool inherited_part) {
            for (; index < info.AceCount; ++index) {
                void* ace = nullptr;
                advapi32::GetAce(old_acl, index, &ace);
                auto* header = static_cast<ACE_HEADER*>(ace);
                if (!inherited_part && (header->AceFlags & INHERITED_ACE))
                    return;
                // The entries of a revision 2 list hold their identifier after the header and
                // the mask; one that does not fit its entry is nobody's.
                auto* sid = static_cast<BYTE*>(ace) + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
                const std::size_t room =
                    header->AceSize -
                    std::min<std::size_t>(header->AceSize, sid - static_cast<BYTE*>(ace));
                if (room >= 8 && room >= 8 + 4u * sid[1] && advapi32::IsValidSid(sid) &&
                    advapi32::EqualSid(sid, users.get()))
                    continue;
                advapi32::AddAce(new_acl, ACL_REVISION, MAXDWORD, ace, header->AceSize);
            }
        };
        copy_entries(false);
        advapi32::AddAccessAllowedAce(new_acl, ACL_REVISION, mask, users.get());
        copy_entries(true);

        auto sd = new_descriptor();
        advapi32::SetSecurityDescriptorDacl(sd.get(), true, new_acl, false);
        try {
            SECURITY_DESCRIPTOR_CONTROL control = 0;
            DWORD revision = 0;
            advapi32::GetSecurityDescriptorControl(old_sd.get(), &control, &revision);
            if (control & SE_DACL_AUTO_INHERITED)
                advapi32::SetSecurityDescriptorControl(
                    sd.get(), SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED,
                    SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED);
            else if (control & SE_DACL_PROTECTED)
                advapi32::SetSecurityDescriptorControl(sd.get(), SE_DACL_PROTECTED,
                                                       SE_DACL_PROTECTED);
        } catch (const hresult_error& e) {
            if (e.code() != E_NOTIMPL)
                throw;
        }
        advapi32::SetFileSecurityW(path, sd.get());
        return true;
    } catch (const hresult_error&) {
        return false;
    }
}

} // namespace dv
