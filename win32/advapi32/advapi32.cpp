// The machine's advapi32.dll. Each entry point forwards to the layer's function of the same
// name in the program that loaded the module: LoadLibraryExW calls DvModuleAttach with the
// program's lookup right after loading, so the module shares the program's machine, handle
// table and token instead of carrying a second copy of the layer.
#include "win32/registry.h"
#include "win32/security.h"

#define DV_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
void* (*g_layer)(const char*) = nullptr;

template <class F> F layer(const char* name) {
    return g_layer ? reinterpret_cast<F>(g_layer(name)) : nullptr;
}
} // namespace

DV_EXPORT void DvModuleAttach(void* (*lookup)(const char*)) {
    g_layer = lookup;
}

// Loaded without the layer's loader, a function has nothing to run and fails.
#define FORWARD(ret, name, failed, params, args)                                                   \
    DV_EXPORT ret name params {                                                                    \
        auto fn_ = layer<decltype(&win32::name)>(#name);                                           \
        return fn_ ? fn_ args : failed;                                                            \
    }

using namespace win32;

FORWARD(BOOL, AccessCheck, FALSE,
        (PSECURITY_DESCRIPTOR sd, HANDLE t, DWORD d, const GENERIC_MAPPING* m, PRIVILEGE_SET* p,
         DWORD* pl, DWORD* g, BOOL* s),
        (sd, t, d, m, p, pl, g, s))
FORWARD(BOOL, AddAccessAllowedAce, FALSE, (PACL a, DWORD r, DWORD m, PSID s), (a, r, m, s))
FORWARD(BOOL, AddAccessAllowedAceEx, FALSE, (PACL a, DWORD r, DWORD f, DWORD m, PSID s),
        (a, r, f, m, s))
FORWARD(BOOL, AddAccessDeniedAce, FALSE, (PACL a, DWORD r, DWORD m, PSID s), (a, r, m, s))
FORWARD(BOOL, AddAce, FALSE, (PACL a, DWORD r, DWORD i, LPVOID l, DWORD n), (a, r, i, l, n))
FORWARD(BOOL, AdjustTokenPrivileges, FALSE,
        (HANDLE t, BOOL d, TOKEN_PRIVILEGES* n, DWORD b, TOKEN_PRIVILEGES* p, DWORD* r),
        (t, d, n, b, p, r))
FORWARD(BOOL, AllocateAndInitializeSid, FALSE,
        (const SID_IDENTIFIER_AUTHORITY* a, BYTE c, DWORD s0, DWORD s1, DWORD s2, DWORD s3,
         DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* s),
        (a, c, s0, s1, s2, s3, s4, s5, s6, s7, s))
FORWARD(BOOL, CheckTokenMembership, FALSE, (HANDLE t, PSID s, BOOL* m), (t, s, m))
FORWARD(BOOL, EqualSid, FALSE, (PSID a, PSID b), (a, b))
FORWARD(PSID, FreeSid, a, (PSID a), (a))
FORWARD(BOOL, GetAce, FALSE, (PACL a, DWORD i, LPVOID* p), (a, i, p))
FORWARD(BOOL, GetAclInformation, FALSE, (PACL a, LPVOID i, DWORD l, ACL_INFORMATION_CLASS c),
        (a, i, l, c))
FORWARD(BOOL, GetFileSecurityW, FALSE,
        (LPCWSTR p, SECURITY_INFORMATION r, PSECURITY_DESCRIPTOR sd, DWORD l, DWORD* n),
        (p, r, sd, l, n))
FORWARD(DWORD, GetLengthSid, 0, (PSID s), (s))
FORWARD(BOOL, GetSecurityDescriptorControl, FALSE,
        (PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL* c, DWORD* r), (sd, c, r))
FORWARD(BOOL, GetSecurityDescriptorDacl, FALSE,
        (PSECURITY_DESCRIPTOR sd, BOOL* p, PACL* a, BOOL* d), (sd, p, a, d))
FORWARD(DWORD, GetSecurityDescriptorLength, 0, (PSECURITY_DESCRIPTOR sd), (sd))
FORWARD(BOOL, GetSecurityDescriptorOwner, FALSE, (PSECURITY_DESCRIPTOR sd, PSID* o, BOOL* d),
        (sd, o, d))
FORWARD(BOOL, ImpersonateSelf, FALSE, (int l), (l))
FORWARD(BOOL, InitializeAcl, FALSE, (PACL a, DWORD l, DWORD r), (a, l, r))
FORWARD(BOOL, InitializeSecurityDescriptor, FALSE, (PSECURITY_DESCRIPTOR sd, DWORD r), (sd, r))
FORWARD(BOOL, IsValidAcl, FALSE, (PACL a), (a))
FORWARD(BOOL, IsValidSecurityDescriptor, FALSE, (PSECURITY_DESCRIPTOR sd), (sd))
FORWARD(BOOL, IsValidSid, FALSE, (PSID s), (s))
FORWARD(BOOL, LookupPrivilegeValueW, FALSE, (LPCWSTR s, LPCWSTR n, LUID* l), (s, n, l))
DV_EXPORT void MapGenericMask(DWORD* mask, const GENERIC_MAPPING* mapping) {
    if (auto f = layer<decltype(&win32::MapGenericMask)>("MapGenericMask"))
        f(mask, mapping);
}
FORWARD(BOOL, OpenProcessToken, FALSE, (HANDLE p, DWORD d, HANDLE* t), (p, d, t))
FORWARD(BOOL, OpenThreadToken, FALSE, (HANDLE th, DWORD d, BOOL s, HANDLE* t), (th, d, s, t))
FORWARD(LSTATUS, RegCloseKey, ERROR_INVALID_FUNCTION, (HKEY k), (k))
FORWARD(LSTATUS, RegCreateKeyExW, ERROR_INVALID_FUNCTION,
        (HKEY k, LPCWSTR s, DWORD r, LPWSTR c, DWORD o, REGSAM d, const SECURITY_ATTRIBUTES* a,
         PHKEY h, DWORD* di),
        (k, s, r, c, o, d, a, h, di))
FORWARD(LSTATUS, RegDeleteKeyW, ERROR_INVALID_FUNCTION, (HKEY k, LPCWSTR s), (k, s))
FORWARD(LSTATUS, RegDeleteValueW, ERROR_INVALID_FUNCTION, (HKEY k, LPCWSTR v), (k, v))
FORWARD(LSTATUS, RegEnumKeyExW, ERROR_INVALID_FUNCTION,
        (HKEY k, DWORD i, LPWSTR n, DWORD* nc, DWORD* r, LPWSTR c, DWORD* cc, FILETIME* t),
        (k, i, n, nc, r, c, cc, t))
FORWARD(LSTATUS, RegEnumValueW, ERROR_INVALID_FUNCTION,
        (HKEY k, DWORD i, LPWSTR n, DWORD* nc, DWORD* r, DWORD* t, BYTE* d, DWORD* s),
        (k, i, n, nc, r, t, d, s))
FORWARD(LSTATUS, RegOpenKeyExW, ERROR_INVALID_FUNCTION,
        (HKEY k, LPCWSTR s, DWORD o, REGSAM d, PHKEY r), (k, s, o, d, r))
FORWARD(LSTATUS, RegQueryInfoKeyW, ERROR_INVALID_FUNCTION,
        (HKEY k, LPWSTR c, DWORD* cc, DWORD* r, DWORD* sk, DWORD* msk, DWORD* mc, DWORD* v,
         DWORD* mvn, DWORD* mvl, DWORD* sds, FILETIME* t),
        (k, c, cc, r, sk, msk, mc, v, mvn, mvl, sds, t))
FORWARD(LSTATUS, RegQueryValueExW, ERROR_INVALID_FUNCTION,
        (HKEY k, LPCWSTR n, DWORD* r, DWORD* t, BYTE* d, DWORD* s), (k, n, r, t, d, s))
FORWARD(LSTATUS, RegRestoreKeyW, ERROR_INVALID_FUNCTION, (HKEY k, LPCWSTR f, DWORD fl), (k, f, fl))
FORWARD(LSTATUS, RegSaveKeyW, ERROR_INVALID_FUNCTION,
        (HKEY k, LPCWSTR f, const SECURITY_ATTRIBUTES* a), (k, f, a))
FORWARD(LSTATUS, RegSetValueExW, ERROR_INVALID_FUNCTION,
        (HKEY k, LPCWSTR n, DWORD r, DWORD t, const BYTE* d, DWORD s), (k, n, r, t, d, s))
FORWARD(BOOL, RevertToSelf, FALSE, (), ())
FORWARD(BOOL, SetFileSecurityW, FALSE, (LPCWSTR p, SECURITY_INFORMATION i, PSECURITY_DESCRIPTOR sd),
        (p, i, sd))
FORWARD(BOOL, SetSecurityDescriptorControl, FALSE,
        (PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL m, SECURITY_DESCRIPTOR_CONTROL b),
        (sd, m, b))
FORWARD(BOOL, SetSecurityDescriptorDacl, FALSE, (PSECURITY_DESCRIPTOR sd, BOOL p, PACL a, BOOL d),
        (sd, p, a, d))
FORWARD(BOOL, SetSecurityDescriptorGroup, FALSE, (PSECURITY_DESCRIPTOR sd, PSID g, BOOL d),
        (sd, g, d))
FORWARD(BOOL, SetSecurityDescriptorOwner, FALSE, (PSECURITY_DESCRIPTOR sd, PSID o, BOOL d),
        (sd, o, d))
