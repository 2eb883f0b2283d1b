// Security services of the publisher's library: the administrator check, switching a
// privilege, giving the Users group access to a file, and the security descriptor of the
// named objects shared by every process of the product family.
//
// The security functions of advapi32.dll are bound by name on first use, one by one, so that
// the program starts on a system whose advapi32.dll lacks some of them; the services fall
// back where a function is missing. Inside the layer a failure travels as an hresult_error;
// the services themselves answer true or false (make_everyone_security excepted).
#pragma once

#include "win32/security.h"
#include "win32/types.h"

#include <exception>
#include <memory>

namespace dv {

// A failing HRESULT raised by the security layer.
class hresult_error : public std::exception {
public:
    explicit hresult_error(win32::HRESULT code) noexcept;
    win32::HRESULT code() const noexcept { return code_; }
    const char* what() const noexcept override { return what_; }

private:
    win32::HRESULT code_;
    char what_[24];
};

// The entry points of advapi32.dll, each bound by its exported name on first use and kept for
// the life of the process. Every function raises hresult_error:
// - E_UNEXPECTED when advapi32.dll is neither loaded nor loadable from the system folder;
// - E_NOTIMPL when the module lacks the entry point;
// - HRESULT_FROM_WIN32(GetLastError()) when the call fails (a last error of 0 as it is).
// Exceptions to that rule are stated at each function.
namespace advapi32 {

using win32::BOOL;
using win32::BYTE;
using win32::DWORD;
using win32::HANDLE;
using win32::LPCWSTR;
using win32::PACL;
using win32::PSECURITY_DESCRIPTOR;
using win32::PSID;
using win32::SECURITY_DESCRIPTOR_CONTROL;

void OpenProcessToken(HANDLE process, DWORD desired, HANDLE* token);
// Always asks for TOKEN_QUERY. A thread without a token of its own (ERROR_NO_TOKEN) gets the
// token of the current process, opened with TOKEN_QUERY.
void OpenThreadToken(HANDLE thread, bool open_as_self, HANDLE* token);
void LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, win32::LUID* luid);
void AdjustTokenPrivileges(HANDLE token, bool disable_all, win32::TOKEN_PRIVILEGES* new_state,
                           DWORD buffer_length, win32::TOKEN_PRIVILEGES* previous_state,
                           DWORD* return_length);
void AllocateAndInitializeSid(const win32::SID_IDENTIFIER_AUTHORITY* authority, BYTE count,
                              DWORD s0, DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6,
                              DWORD s7, PSID* sid);
// False for a null pointer or an invalid identifier; never raises for those.
bool IsValidSid(PSID sid);
// E_INVALIDARG for an invalid identifier.
DWORD GetLengthSid(PSID sid);
// Whether the two identifiers are equal; raises only when one of them is invalid.
bool EqualSid(PSID a, PSID b);
// A missing entry point is ignored (the identifier then stays allocated).
void FreeSid(PSID sid);
void GetAce(PACL acl, DWORD index, void** ace);
void AddAce(PACL acl, DWORD revision, DWORD start_index, void* ace_list, DWORD list_length);
void AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid);
void AddAccessAllowedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid);
void InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision);
void InitializeAcl(PACL acl, DWORD length, DWORD revision);
void GetAclInformation(PACL acl, void* info, DWORD length, win32::ACL_INFORMATION_CLASS info_class);
void GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL* present, PACL* dacl, BOOL* defaulted);
void SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, bool present, PACL dacl, bool defaulted);
void SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR sd, PSID group, bool defaulted);
void SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID owner, bool defaulted);
void GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL* control,
                                  DWORD* revision);
void SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL mask,
                                  SECURITY_DESCRIPTOR_CONTROL bits);
// The answer of the system; raises only when the function cannot be bound.
bool IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR sd);
// Whether `sid` is enabled in `token` (null: the caller's).
bool CheckTokenMembership(HANDLE token, PSID sid);
// Always asks for the access right 1; returns the access status.
bool AccessCheck(PSECURITY_DESCRIPTOR sd, HANDLE client_token,
                 const win32::GENERIC_MAPPING* mapping, win32::PRIVILEGE_SET* privileges,
                 DWORD* privileges_length, DWORD* granted);
// The access list only. Returns the size the descriptor needs. Called without a buffer it is
// the size query of the two-call pattern: ERROR_INSUFFICIENT_BUFFER is then not a failure.
DWORD GetFileSecurityW(LPCWSTR path, PSECURITY_DESCRIPTOR sd, DWORD length);
// Writes the access list only.
void SetFileSecurityW(LPCWSTR path, PSECURITY_DESCRIPTOR sd);
// Always at the level SecurityImpersonation.
void ImpersonateSelf();
// Never raises: a missing entry point gives false with ERROR_CALL_NOT_IMPLEMENTED.
bool RevertToSelf();

// Forgets the module and every bound entry point, so that the next call binds afresh: for
// tests that take entry points away from the machine's advapi32.dll.
void reset_binding();

} // namespace advapi32

// One of the well-known groups, as an identifier owned by this object.
class WellKnownSid {
public:
    enum Kind { Everyone = 0, Administrators = 1, Users = 2 };

    // Raises hresult_error when the identifier cannot be built.
    explicit WellKnownSid(Kind kind);
    ~WellKnownSid();
    WellKnownSid(const WellKnownSid&) = delete;
    WellKnownSid& operator=(const WellKnownSid&) = delete;

    win32::PSID get() const { return sid_; }

private:
    win32::PSID sid_ = nullptr;
    bool system_allocated_ = false; // freed with FreeSid, else by the program
};

// An absolute security descriptor with the access list it points to.
class SecurityDescriptor {
public:
    SecurityDescriptor() = default;
    win32::PSECURITY_DESCRIPTOR get() const { return descriptor_.get(); }

private:
    friend SecurityDescriptor make_everyone_security(win32::DWORD);
    std::unique_ptr<win32::SECURITY_DESCRIPTOR> descriptor_;
    std::unique_ptr<win32::BYTE[]> acl_;
};

// Whether the process runs with the Administrators group enabled in its token. Asks
// CheckTokenMembership; without it (or when it fails) makes an access check against a
// descriptor that grants Administrators alone. False when both fail.
bool is_user_admin();

// Switches a privilege of the process token on or off, keeping its other attributes. True
// when both adjustments went through, also for a privilege the token does not hold.
bool enable_privilege(const wchar_t* name, bool enable);

// Gives Users exactly `mask` on a file or folder: one explicit entry, placed after the other
// explicit entries and before the inherited ones; earlier Users entries are dropped. A
// protected or auto-inherited access list stays so. True when the new list was written.
bool grant_users_access(const wchar_t* path, win32::DWORD mask);

// A descriptor whose access list grants `mask` to Everyone, for named objects. Raises
// hresult_error (E_OUTOFMEMORY when memory runs out).
SecurityDescriptor make_everyone_security(win32::DWORD mask);

} // namespace dv
