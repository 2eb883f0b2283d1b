// The security functions of advapi32: tokens and privileges, SIDs, access lists and security
// descriptors in their Windows binary layouts, access checks, and the security descriptors of
// the machine's files. The program reaches them through C:\Windows\System32\advapi32.dll
// (win32/module.h), which forwards to these functions; tests may call them directly.
//
// Each file's descriptor is kept, self-relative, in the extended attribute `user.dv.security`
// of its host file. A file or folder without one (made outside the layer) has the descriptor
// it would have inherited from its folder.
#pragma once

#include "win32/token.h"
#include "win32/types.h"

#include <filesystem>
#include <string>
#include <vector>

namespace win32 {

using PSID = void*;
using PSECURITY_DESCRIPTOR = void*;
using SECURITY_INFORMATION = DWORD;
using SECURITY_DESCRIPTOR_CONTROL = WORD;
using ACCESS_MASK = DWORD;

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_NULL_SID_AUTHORITY = {{0, 0, 0, 0, 0, 0}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_WORLD_SID_AUTHORITY = {{0, 0, 0, 0, 0, 1}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_LOCAL_SID_AUTHORITY = {{0, 0, 0, 0, 0, 2}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_CREATOR_SID_AUTHORITY = {{0, 0, 0, 0, 0, 3}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY = {{0, 0, 0, 0, 0, 5}};

constexpr DWORD SECURITY_WORLD_RID = 0;
constexpr DWORD SECURITY_LOCAL_SYSTEM_RID = 18;
constexpr DWORD SECURITY_AUTHENTICATED_USER_RID = 11;
constexpr DWORD SECURITY_BUILTIN_DOMAIN_RID = 32;
constexpr DWORD DOMAIN_ALIAS_RID_ADMINS = 544;
constexpr DWORD DOMAIN_ALIAS_RID_USERS = 545;
constexpr BYTE SID_REVISION = 1;
constexpr BYTE SID_MAX_SUB_AUTHORITIES = 15;

struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
using PACL = ACL*;

struct ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
};

struct ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
};
using ACCESS_DENIED_ACE = ACCESS_ALLOWED_ACE;

constexpr BYTE ACL_REVISION = 2;
constexpr BYTE ACL_REVISION_DS = 4;
constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0;
constexpr BYTE ACCESS_DENIED_ACE_TYPE = 1;
constexpr BYTE SYSTEM_AUDIT_ACE_TYPE = 2;
constexpr BYTE OBJECT_INHERIT_ACE = 0x01;
constexpr BYTE CONTAINER_INHERIT_ACE = 0x02;
constexpr BYTE NO_PROPAGATE_INHERIT_ACE = 0x04;
constexpr BYTE INHERIT_ONLY_ACE = 0x08;
constexpr BYTE INHERITED_ACE = 0x10;
constexpr BYTE VALID_INHERIT_FLAGS = 0x1F;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

enum ACL_INFORMATION_CLASS { AclRevisionInformation = 1, AclSizeInformation = 2 };
struct ACL_REVISION_INFORMATION {
    DWORD AclRevision;
};
struct ACL_SIZE_INFORMATION {
    DWORD AceCount;
    DWORD AclBytesInUse;
    DWORD AclBytesFree;
};

// The absolute form, with pointers; the self-relative form has offsets from its start.
struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
};
struct SECURITY_DESCRIPTOR_RELATIVE {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    DWORD Owner;
    DWORD Group;
    DWORD Sacl;
    DWORD Dacl;
};
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr DWORD SECURITY_DESCRIPTOR_MIN_LENGTH = sizeof(SECURITY_DESCRIPTOR);

constexpr SECURITY_DESCRIPTOR_CONTROL SE_OWNER_DEFAULTED = 0x0001;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_GROUP_DEFAULTED = 0x0002;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_PRESENT = 0x0004;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_DEFAULTED = 0x0008;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_PRESENT = 0x0010;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_DEFAULTED = 0x0020;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_UNTRUSTED = 0x0040;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SERVER_SECURITY = 0x0080;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_AUTO_INHERIT_REQ = 0x0100;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_AUTO_INHERIT_REQ = 0x0200;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_AUTO_INHERITED = 0x0400;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_AUTO_INHERITED = 0x0800;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_PROTECTED = 0x1000;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_PROTECTED = 0x2000;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SELF_RELATIVE = 0x8000;

constexpr SECURITY_INFORMATION OWNER_SECURITY_INFORMATION = 0x00000001;
constexpr SECURITY_INFORMATION GROUP_SECURITY_INFORMATION = 0x00000002;
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x00000004;
constexpr SECURITY_INFORMATION SACL_SECURITY_INFORMATION = 0x00000008;
constexpr SECURITY_INFORMATION UNPROTECTED_DACL_SECURITY_INFORMATION = 0x20000000;
constexpr SECURITY_INFORMATION PROTECTED_DACL_SECURITY_INFORMATION = 0x80000000u;

struct GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
};

struct PRIVILEGE_SET {
    DWORD PrivilegeCount;
    DWORD Control;
    LUID_AND_ATTRIBUTES Privilege[1];
};

struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};

// File access rights as access lists grant them.
constexpr ACCESS_MASK FILE_ALL_ACCESS = 0x001F01FF;
constexpr ACCESS_MASK FILE_GENERIC_READ = 0x00120089;
constexpr ACCESS_MASK FILE_GENERIC_WRITE = 0x00120116;
constexpr ACCESS_MASK FILE_GENERIC_EXECUTE = 0x001200A0;

constexpr DWORD ERROR_UNKNOWN_REVISION = 1305;
constexpr DWORD ERROR_GENERIC_NOT_MAPPED = 1360;

// The pseudo-handle of the calling thread.
HANDLE GetCurrentThread();

BOOL OpenProcessToken(HANDLE process, DWORD desired, HANDLE* token);
// ERROR_NO_TOKEN while the thread does not impersonate.
BOOL OpenThreadToken(HANDLE thread, DWORD desired, BOOL open_as_self, HANDLE* token);
BOOL ImpersonateSelf(int level);
BOOL RevertToSelf();
BOOL LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, LUID* luid);
// Succeeds with ERROR_NOT_ALL_ASSIGNED as the last error when the token lacks a privilege
// of `new_state` (the others are still adjusted), with ERROR_SUCCESS otherwise.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                           DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                           DWORD* return_length);

BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE count, DWORD s0,
                              DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7,
                              PSID* sid);
PSID FreeSid(PSID sid);
BOOL IsValidSid(PSID sid);
DWORD GetLengthSid(PSID sid);
BOOL EqualSid(PSID a, PSID b);

BOOL InitializeAcl(PACL acl, DWORD length, DWORD revision);
BOOL AddAce(PACL acl, DWORD revision, DWORD start_index, LPVOID ace_list, DWORD list_length);
BOOL AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid);
BOOL AddAccessAllowedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid);
BOOL AddAccessDeniedAce(PACL acl, DWORD revision, DWORD mask, PSID sid);
BOOL GetAce(PACL acl, DWORD index, LPVOID* ace);
BOOL GetAclInformation(PACL acl, LPVOID info, DWORD length, ACL_INFORMATION_CLASS info_class);
BOOL IsValidAcl(PACL acl);

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision);
BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL* present, PACL* dacl, BOOL* defaulted);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted);
BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR sd, PSID group, BOOL defaulted);
BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID owner, BOOL defaulted);
BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID* owner, BOOL* defaulted);
BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL* control,
                                  DWORD* revision);
BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL mask,
                                  SECURITY_DESCRIPTOR_CONTROL bits);
BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR sd);
DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR sd);

// Whether `sid` is enabled in the impersonation token `token` (null: the caller's).
BOOL CheckTokenMembership(HANDLE token, PSID sid, BOOL* is_member);
// Needs an impersonation token opened with TOKEN_QUERY. Succeeds when the check could be
// made; `status` then says whether every desired right is granted (last error 5 when not).
BOOL AccessCheck(PSECURITY_DESCRIPTOR sd, HANDLE client_token, DWORD desired,
                 const GENERIC_MAPPING* mapping, PRIVILEGE_SET* privileges,
                 DWORD* privileges_length, DWORD* granted, BOOL* status);
void MapGenericMask(DWORD* mask, const GENERIC_MAPPING* mapping);

// A self-relative descriptor with the parts asked for; ERROR_INSUFFICIENT_BUFFER with the
// size in `needed` when `length` is too small (the size query of the two-call pattern).
BOOL GetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION requested, PSECURITY_DESCRIPTOR sd,
                      DWORD length, DWORD* needed);
BOOL SetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd);

// ---- for the rest of win32/ --------------------------------------------------------------

// Gives a file or folder just made by the layer the descriptor Windows gives a new object:
// the inheritable entries of its folder, marked INHERITED_ACE, owned by the creator.
void apply_inherited_security(const std::filesystem::path& host, bool is_dir);
// At machine creation: the drive root and the user's profile get their protected access
// lists (SYSTEM and Administrators full control; Users read and execute on the drive, the
// user full control of the profile), every standard folder what it inherits from them.
void apply_default_folder_security(const std::filesystem::path& machine_root,
                                   const std::string& user_name, const std::string& user_sid);
// The self-relative descriptor a host file has (stored, or inherited when none is stored).
std::vector<BYTE> file_security_descriptor(const std::filesystem::path& host);

} // namespace win32
