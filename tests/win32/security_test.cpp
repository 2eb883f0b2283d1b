#include "tests/support/temp_machine.h"
#include "win32/files.h"
#include "win32/process.h"
#include "win32/registry.h"
#include "win32/security.h"
#include "win32/text.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace win32;

namespace {

using dvtest::run;

std::string hex(const void* data, std::size_t size) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<const unsigned char*>(data)[i]);
        out += buf;
    }
    return out;
}

// The Windows sequence for "is the caller an administrator" when CheckTokenMembership is not
// there: impersonate, then check a descriptor that grants Administrators only.
bool admin_by_access_check() {
    if (!ImpersonateSelf(SecurityImpersonation))
        return false;
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    PSID admins = nullptr;
    EXPECT_TRUE(AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins));
    std::vector<BYTE> acl_buf(GetLengthSid(admins) + 16);
    auto* acl = reinterpret_cast<PACL>(acl_buf.data());
    EXPECT_TRUE(InitializeAcl(acl, static_cast<DWORD>(acl_buf.size()), ACL_REVISION));
    EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 3, admins));
    SECURITY_DESCRIPTOR sd;
    EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    EXPECT_TRUE(SetSecurityDescriptorGroup(&sd, admins, FALSE));
    EXPECT_TRUE(SetSecurityDescriptorOwner(&sd, admins, FALSE));
    EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
    GENERIC_MAPPING mapping{1, 2, 0, 3};
    BYTE privileges[20];
    DWORD length = sizeof privileges, granted = 0;
    BOOL status = FALSE;
    EXPECT_TRUE(AccessCheck(&sd, token, 1, &mapping, reinterpret_cast<PRIVILEGE_SET*>(privileges),
                            &length, &granted, &status));
    FreeSid(admins);
    RevertToSelf();
    CloseHandle(token);
    return status == TRUE;
}

TEST(Token, AdministratorsGroupAsMachineIniDescribesIt) {
    const struct {
        const char* setting;
        bool admin;
    } cases[] = {{"enabled", true}, {"deny_only", false}, {"absent", false}};
    for (const auto& c : cases) {
        dvtest::TempMachine tm({std::string("token.administrators=") + c.setting});
        PSID admins = nullptr, users = nullptr;
        ASSERT_TRUE(AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                             DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins));
        ASSERT_TRUE(AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                             DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0, &users));
        BOOL member = -1;
        ASSERT_TRUE(CheckTokenMembership(nullptr, admins, &member));
        EXPECT_EQ(member, c.admin ? TRUE : FALSE) << c.setting;
        ASSERT_TRUE(CheckTokenMembership(nullptr, users, &member));
        EXPECT_EQ(member, TRUE);
        EXPECT_EQ(admin_by_access_check(), c.admin) << c.setting;
        FreeSid(admins);
        FreeSid(users);
    }
}

TEST(Token, ImpersonationAndThreadTokens) {
    dvtest::TempMachine tm;
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    PSID users = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0, &users));
    BOOL member = FALSE;
    EXPECT_FALSE(CheckTokenMembership(token, users, &member)); // a primary token
    EXPECT_EQ(GetLastError(), ERROR_NO_IMPERSONATION_TOKEN);
    CloseHandle(token);
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_TRUE(CheckTokenMembership(token, users, &member));
    EXPECT_TRUE(member);
    CloseHandle(token);
    EXPECT_TRUE(RevertToSelf());
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
    FreeSid(users);
}

// Switching a privilege the way the journal does: learn its state, then set the enabled bit.
bool enable_privilege(const wchar_t* name, bool enable, DWORD* last_error = nullptr) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    LUID luid{};
    bool ok = LookupPrivilegeValueW(nullptr, name, &luid);
    TOKEN_PRIVILEGES tp{1, {{luid, 0}}};
    TOKEN_PRIVILEGES previous{};
    DWORD length = 0;
    ok = ok && AdjustTokenPrivileges(token, FALSE, &tp, sizeof previous, &previous, &length);
    if (ok) {
        previous.PrivilegeCount = 1;
        previous.Privileges[0].Luid = luid;
        if (enable)
            previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
        else
            previous.Privileges[0].Attributes &= ~SE_PRIVILEGE_ENABLED;
        ok = AdjustTokenPrivileges(token, FALSE, &previous, 0, nullptr, nullptr);
    }
    if (last_error)
        *last_error = GetLastError();
    CloseHandle(token);
    return ok;
}

TEST(Token, PrivilegesAreSwitchedAsWindowsSwitchesThem) {
    dvtest::TempMachine tm({"token.privileges=SeBackupPrivilege,SeShutdownPrivilege"});
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\P", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              0);
    const std::wstring file = tm.machine().user_profile() + L"\\AppData\\Local\\Temp\\p.reg";
    EXPECT_EQ(RegSaveKeyW(key, file.c_str(), nullptr), ERROR_PRIVILEGE_NOT_HELD);

    DWORD error = 0;
    ASSERT_TRUE(enable_privilege(L"SeBackupPrivilege", true, &error));
    EXPECT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(RegSaveKeyW(key, file.c_str(), nullptr), 0);
    ASSERT_TRUE(enable_privilege(L"SeBackupPrivilege", false));
    EXPECT_EQ(RegSaveKeyW(key, (file + L"2").c_str(), nullptr), ERROR_PRIVILEGE_NOT_HELD);

    // A privilege the token lacks: accepted, with ERROR_NOT_ALL_ASSIGNED, and still not held.
    EXPECT_TRUE(enable_privilege(L"SeRestorePrivilege", true, &error));
    EXPECT_EQ(error, ERROR_NOT_ALL_ASSIGNED);
    EXPECT_EQ(RegRestoreKeyW(key, file.c_str(), 0), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_FALSE(enable_privilege(L"SeNoSuchPrivilege", true, &error));
    EXPECT_EQ(error, ERROR_NO_SUCH_PRIVILEGE);
    RegCloseKey(key);

    // The previous state lists what changed; a token opened for query only may not adjust.
    HANDLE token = nullptr;
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    LUID shutdown{};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &shutdown));
    TOKEN_PRIVILEGES on{1, {{shutdown, SE_PRIVILEGE_ENABLED}}}, previous{};
    DWORD length = 0;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &on, sizeof previous, &previous, &length));
    EXPECT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED, 0u);
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &on, sizeof previous, &previous, &length));
    EXPECT_EQ(previous.PrivilegeCount, 0u); // nothing changed the second time
    CloseHandle(token);
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &on, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(token);
}

TEST(SecurityLayout, SidsAclsAndDescriptorsHaveTheWindowsBytes) {
    dvtest::TempMachine tm;
    PSID admins = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins));
    ASSERT_TRUE(IsValidSid(admins));
    ASSERT_EQ(GetLengthSid(admins), 16u);
    EXPECT_EQ(hex(admins, 16), "01020000000000052000000020020000");
    EXPECT_FALSE(IsValidSid(nullptr));

    // The single-entry list of the security layer: exactly room for one entry.
    const DWORD size = GetLengthSid(admins) + 16;
    std::vector<BYTE> buf(size);
    auto* acl = reinterpret_cast<PACL>(buf.data());
    ASSERT_TRUE(InitializeAcl(acl, size, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 0x1F0001, admins));
    EXPECT_EQ(hex(buf.data(), size), "02002000010000000000180001001f00"
                                     "01020000000000052000000020020000");
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(info.AceCount, 1u);
    EXPECT_EQ(info.AclBytesInUse, size);
    EXPECT_EQ(info.AclBytesFree, 0u);
    EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, 1, admins));
    EXPECT_EQ(GetLastError(), ERROR_ALLOTTED_SPACE_EXCEEDED);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 0, &ace));
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceSize, 24);
    EXPECT_FALSE(GetAce(acl, 1, &ace));
    EXPECT_FALSE(InitializeAcl(acl, 4, ACL_REVISION));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(&sd, &control, &revision));
    EXPECT_EQ(control, SE_DACL_PRESENT);
    EXPECT_EQ(revision, 1u);
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
    EXPECT_FALSE(SetSecurityDescriptorControl(&sd, SE_DACL_PRESENT, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    BOOL present = FALSE, defaulted = TRUE;
    PACL got = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &got, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(got, acl);
    EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
    BYTE bad_sid[8] = {7, 0};
    sd.Owner = bad_sid;
    EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
    FreeSid(admins);
}

TEST(SecurityCheck, AccessCheckWeighsEntriesInOrder) {
    dvtest::TempMachine tm({"token.administrators=deny_only"});
    const SidBytes users = sid_from_string("S-1-5-32-545"),
                   admins = sid_from_string("S-1-5-32-544");
    struct Ace {
        BYTE type;
        const SidBytes* sid;
        DWORD mask;
    };
    const struct {
        const char* what;
        std::vector<Ace> aces;
        bool null_dacl;
        DWORD desired;
        bool granted;
    } cases[] = {
        {"allowed to Users", {{ACCESS_ALLOWED_ACE_TYPE, &users, 3}}, false, 1, true},
        {"only part allowed", {{ACCESS_ALLOWED_ACE_TYPE, &users, 1}}, false, 3, false},
        {"denial first wins",
         {{ACCESS_DENIED_ACE_TYPE, &users, 1}, {ACCESS_ALLOWED_ACE_TYPE, &users, 3}},
         false,
         1,
         false},
        {"grant first wins",
         {{ACCESS_ALLOWED_ACE_TYPE, &users, 3}, {ACCESS_DENIED_ACE_TYPE, &users, 1}},
         false,
         1,
         true},
        {"deny-only group grants nothing",
         {{ACCESS_ALLOWED_ACE_TYPE, &admins, 3}},
         false,
         1,
         false},
        {"deny-only group is denied",
         {{ACCESS_DENIED_ACE_TYPE, &admins, 1}, {ACCESS_ALLOWED_ACE_TYPE, &users, 1}},
         false,
         1,
         false},
        {"empty list", {}, false, 1, false},
        {"null list", {}, true, 1, true},
    };
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    for (const auto& c : cases) {
        std::vector<BYTE> buf(512);
        auto* acl = reinterpret_cast<PACL>(buf.data());
        ASSERT_TRUE(InitializeAcl(acl, 512, ACL_REVISION));
        for (const auto& a : c.aces) {
            PSID sid = const_cast<BYTE*>(a.sid->data());
            ASSERT_TRUE(a.type == ACCESS_ALLOWED_ACE_TYPE
                            ? AddAccessAllowedAce(acl, ACL_REVISION, a.mask, sid)
                            : AddAccessDeniedAce(acl, ACL_REVISION, a.mask, sid));
        }
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, c.null_dacl ? nullptr : acl, FALSE);
        SetSecurityDescriptorOwner(&sd, const_cast<BYTE*>(admins.data()), FALSE);
        SetSecurityDescriptorGroup(&sd, const_cast<BYTE*>(admins.data()), FALSE);
        GENERIC_MAPPING mapping{1, 2, 0, 3};
        PRIVILEGE_SET privileges{};
        DWORD length = sizeof privileges, granted = 0;
        BOOL status = -1;
        ASSERT_TRUE(
            AccessCheck(&sd, token, c.desired, &mapping, &privileges, &length, &granted, &status))
            << c.what;
        EXPECT_EQ(status == TRUE, c.granted) << c.what;
        EXPECT_EQ(granted, c.granted ? c.desired : 0u) << c.what;
    }
    CloseHandle(token);
    RevertToSelf();
}

// The ACEs of a self-relative descriptor's DACL: "type:flags:mask:sid" each.
std::vector<std::string> dacl_entries(const std::vector<BYTE>& sd, WORD* control = nullptr) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    auto* p = const_cast<BYTE*>(sd.data());
    EXPECT_TRUE(GetSecurityDescriptorDacl(p, &present, &acl, &defaulted));
    DWORD revision = 0;
    if (control)
        GetSecurityDescriptorControl(p, control, &revision);
    std::vector<std::string> out;
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        GetAce(acl, i, &ace);
        auto* a = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%u:%02x:%08x:", a->Header.AceType, a->Header.AceFlags,
                      a->Mask);
        out.push_back(buf + sid_to_string(reinterpret_cast<BYTE*>(&a->SidStart)));
    }
    return out;
}

std::vector<BYTE> read_security(const std::wstring& path,
                                SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION) {
    DWORD needed = 0;
    EXPECT_FALSE(GetFileSecurityW(path.c_str(), what, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> sd(needed);
    EXPECT_TRUE(GetFileSecurityW(path.c_str(), what, sd.data(), needed, &needed));
    return sd;
}

TEST(FileSecurity, StandardFoldersAndNewFilesInheritTheirLists) {
    dvtest::TempMachine tm;
    WORD control = 0;
    EXPECT_EQ(dacl_entries(read_security(L"C:\\Program Files"), &control),
              (std::vector<std::string>{"0:13:001f01ff:S-1-5-18", "0:13:001f01ff:S-1-5-32-544",
                                        "0:13:001200a9:S-1-5-32-545"}));
    EXPECT_EQ(control & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED), SE_DACL_AUTO_INHERITED);
    auto profile = dacl_entries(read_security(tm.machine().user_profile()), &control);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    ASSERT_EQ(profile.size(), 3u);
    EXPECT_EQ(profile[2].substr(0, 17), "0:03:001f01ff:S-1");

    ASSERT_TRUE(CreateDirectoryW(L"C:\\Program Files\\Dravik", nullptr));
    HANDLE h = CreateFileW(L"C:\\Program Files\\Dravik\\a.txt", GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(dacl_entries(read_security(L"C:\\Program Files\\Dravik\\a.txt")),
              (std::vector<std::string>{"0:10:001f01ff:S-1-5-18", "0:10:001f01ff:S-1-5-32-544",
                                        "0:10:001200a9:S-1-5-32-545"}));
    std::vector<BYTE> owner =
        read_security(L"C:\\Program Files\\Dravik\\a.txt", OWNER_SECURITY_INFORMATION);
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(owner.data(), &sid, &defaulted));
    EXPECT_EQ(sid_to_string(static_cast<BYTE*>(sid)), "S-1-5-32-544"); // an elevated creator
}

TEST(FileSecurity, WrittenListReadsBackIdenticalFromAnotherProcess) {
    dvtest::TempMachine tm;
    const std::wstring path = L"C:\\Program Files\\data.bin";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    // What granting Users read, write and delete does: an explicit entry before the
    // inherited ones, and the descriptor's auto-inherit bits carried over.
    std::vector<BYTE> old = read_security(path);
    BOOL present = FALSE, defaulted = FALSE;
    PACL old_acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(old.data(), &present, &old_acl, &defaulted));
    PSID users = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0, &users));
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(GetAclInformation(old_acl, &info, sizeof info, AclSizeInformation));
    std::vector<BYTE> buf(info.AclBytesInUse + GetLengthSid(users) + 8);
    auto* acl = reinterpret_cast<PACL>(buf.data());
    ASSERT_TRUE(InitializeAcl(acl, static_cast<DWORD>(buf.size()), ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 0x13019F, users));
    for (DWORD i = 0; i < old_acl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(old_acl, i, &ace));
        auto* a = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!EqualSid(&a->SidStart, users)) {
            ASSERT_TRUE(AddAce(acl, ACL_REVISION, MAXDWORD, ace, a->Header.AceSize));
        }
    }
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, 0x500, 0x500));
    ASSERT_TRUE(SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &sd));
    FreeSid(users);

    std::vector<BYTE> now = read_security(path);
    EXPECT_EQ(dacl_entries(now),
              (std::vector<std::string>{"0:00:0013019f:S-1-5-32-545", "0:10:001f01ff:S-1-5-18",
                                        "0:10:001f01ff:S-1-5-32-544"}));
    PACL stored = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(now.data(), &present, &stored, &defaulted));
    EXPECT_EQ(hex(stored, stored->AclSize), hex(acl, acl->AclSize));

    int status = -1;
    std::string out = run(std::string(DV_PROBE) + " sd 'C:\\Program Files\\data.bin'", &status);
    ASSERT_EQ(status, 0);
    std::vector<BYTE> here =
        read_security(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    EXPECT_EQ(out, hex(here.data(), here.size()) + "\n");
    EXPECT_NE(out.find(hex(acl, acl->AclSize)), std::string::npos);
}

TEST(FileSecurity, StandardUserMayNotChangeProgramFiles) {
    dvtest::TempMachine tm({"token.administrators=deny_only"});
    std::vector<BYTE> sd = read_security(L"C:\\Program Files");
    EXPECT_FALSE(SetFileSecurityW(L"C:\\Program Files", DACL_SECURITY_INFORMATION, sd.data()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // In the profile the user has full control.
    std::wstring docs = tm.machine().user_profile() + L"\\Documents";
    sd = read_security(docs);
    EXPECT_TRUE(SetFileSecurityW(docs.c_str(), DACL_SECURITY_INFORMATION, sd.data()));
    DWORD needed = 0;
    EXPECT_FALSE(GetFileSecurityW(L"C:\\Nope", DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

} // namespace
