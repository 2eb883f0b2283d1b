#include "dv/security.h"
#include "dv/sysinfo.h"
#include "tests/support/temp_machine.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/module.h"
#include "win32/process.h"
#include "win32/security.h"
#include "win32/sync.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace win32;

namespace {

// A machine of its own, with the binding made afresh for it: the entry points a test takes
// away must not have been bound for an earlier machine.
class Fresh {
public:
    explicit Fresh(std::initializer_list<std::string> settings = {}) : tm(settings) {
        dv::advapi32::reset_binding();
    }
    ~Fresh() { dv::advapi32::reset_binding(); }
    dvtest::TempMachine tm;
};

std::vector<BYTE> read_dacl(const std::wstring& path) {
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> sd(needed);
    EXPECT_TRUE(
        GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd.data(), needed, &needed));
    return sd;
}

// "type:flags:mask:SID" for each entry of a descriptor's access list.
std::vector<std::string> entries(PSECURITY_DESCRIPTOR sd, WORD* control = nullptr) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted));
    DWORD revision = 0;
    if (control) {
        EXPECT_TRUE(GetSecurityDescriptorControl(sd, control, &revision));
    }
    std::vector<std::string> out;
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        GetAce(acl, i, &ace);
        auto* a = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%u:%02x:%08x:", a->Header.AceType, a->Header.AceFlags,
                      a->Mask);
        out.push_back(buf + sid_to_string(reinterpret_cast<BYTE*>(&a->SidStart)));
    }
    return out;
}

void make_file(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

// Writes `explicit_entries` before the file's inherited entries, with `control` bits.
void set_dacl(const std::wstring& path, const std::vector<std::pair<const char*, DWORD>>& allowed,
              WORD control) {
    std::vector<BYTE> old = read_dacl(path);
    BOOL present = FALSE, defaulted = FALSE;
    PACL old_acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(old.data(), &present, &old_acl, &defaulted));
    std::vector<BYTE> buf(1024);
    auto* acl = reinterpret_cast<PACL>(buf.data());
    ASSERT_TRUE(InitializeAcl(acl, static_cast<DWORD>(buf.size()), ACL_REVISION));
    for (const auto& [sid, mask] : allowed) {
        SidBytes bytes = sid_from_string(sid);
        ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, mask, bytes.data()));
    }
    for (DWORD i = 0; old_acl && i < old_acl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(old_acl, i, &ace));
        ASSERT_TRUE(
            AddAce(acl, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize));
    }
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, 0x1500, control));
    ASSERT_TRUE(SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &sd));
}

HRESULT raised(void (*f)()) {
    try {
        f();
    } catch (const dv::hresult_error& e) {
        return e.code();
    }
    return S_OK;
}

TEST(Advapi32Binding, FailuresAreRaisedAsTheirHresults) {
    Fresh m({"switches.removed_advapi32_exports=GetLengthSid,RevertToSelf"});
    // A failing call: its last error as an HRESULT.
    EXPECT_EQ(raised([] {
                  LUID luid;
                  dv::advapi32::LookupPrivilegeValueW(nullptr, L"SeNoSuchPrivilege", &luid);
              }),
              HRESULT_FROM_WIN32(ERROR_NO_SUCH_PRIVILEGE));
    // A missing entry point.
    EXPECT_EQ(raised([] {
                  dv::WellKnownSid users(dv::WellKnownSid::Users);
                  dv::advapi32::GetLengthSid(users.get());
              }),
              E_NOTIMPL);
    // ... except where the caller can go on without it.
    SetLastError(0);
    EXPECT_FALSE(dv::advapi32::RevertToSelf());
    EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);

    BYTE bad[8] = {9, 0};
    EXPECT_FALSE(dv::advapi32::IsValidSid(nullptr));
    EXPECT_FALSE(dv::advapi32::IsValidSid(bad));
    dv::WellKnownSid admins(dv::WellKnownSid::Administrators), users(dv::WellKnownSid::Users);
    EXPECT_FALSE(dv::advapi32::EqualSid(admins.get(), users.get()));
    EXPECT_TRUE(dv::advapi32::EqualSid(admins.get(), admins.get()));
    EXPECT_EQ(sid_to_string(static_cast<BYTE*>(admins.get())), "S-1-5-32-544");
}

TEST(Advapi32Binding, LengthOfAnInvalidSidAndAThreadWithoutToken) {
    Fresh m;
    EXPECT_EQ(raised([] {
                  BYTE bad[8] = {9, 0};
                  dv::advapi32::GetLengthSid(bad);
              }),
              E_INVALIDARG);
    // A thread that does not impersonate gets the process token, for queries.
    HANDLE token = nullptr;
    dv::advapi32::OpenThreadToken(GetCurrentThread(), false, &token);
    ASSERT_NE(token, nullptr);
    dv::WellKnownSid admins(dv::WellKnownSid::Administrators);
    EXPECT_TRUE(dv::advapi32::CheckTokenMembership(nullptr, admins.get()));
    EXPECT_TRUE(CloseHandle(token));
}

TEST(Advapi32Binding, MachineWithoutAdvapi32) {
    Fresh m;
    std::filesystem::remove(m.tm.host(L"C:\\Windows\\System32\\advapi32.dll"));
    EXPECT_EQ(raised([] { dv::make_everyone_security(MUTEX_ALL_ACCESS); }), E_UNEXPECTED);
    EXPECT_FALSE(dv::is_user_admin());
    EXPECT_FALSE(dv::enable_privilege(L"SeBackupPrivilege", true));
}

TEST(LoadSystemLibrary, SystemFolderFirstAndFullPathsAsGiven) {
    Fresh m;
    ASSERT_TRUE(CreateDirectoryW(L"C:\\App", nullptr));
    std::filesystem::copy_file(m.tm.host(L"C:\\Windows\\System32\\advapi32.dll"),
                               m.tm.host(L"C:\\advapi32.dll"));
    SetCurrentDirectoryW(L"C:\\");
    HMODULE h = dv::load_system_library(L"advapi32.dll");
    ASSERT_NE(h, nullptr);
    wchar_t path[MAX_PATH];
    ASSERT_NE(GetModuleFileNameW(h, path, MAX_PATH), 0u);
    EXPECT_STREQ(path, L"C:\\Windows\\System32\\advapi32.dll");
    FreeLibrary(h);

    EXPECT_EQ(dv::load_system_library(L"C:\\App\\advapi32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(IsUserAdmin, BothMethods) {
    const struct {
        const char* administrators;
        const char* removed;
        bool expected;
    } cases[] = {
        {"enabled", "", true},
        {"deny_only", "", false},
        {"absent", "", false},
        // The access check answers when the membership test is missing...
        {"enabled", "CheckTokenMembership", true},
        {"deny_only", "CheckTokenMembership", false},
        // ... and when that cannot be made either, the user is no administrator.
        {"enabled", "CheckTokenMembership,AccessCheck", false},
        {"enabled", "CheckTokenMembership,ImpersonateSelf", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.administrators) + " without " + c.removed);
        Fresh m({std::string("token.administrators=") + c.administrators,
                 std::string("switches.removed_advapi32_exports=") + c.removed});
        const std::size_t handles = handle_count();
        EXPECT_EQ(dv::is_user_admin(), c.expected);
        // Nothing is left behind: no impersonation, no open token.
        HANDLE token = nullptr;
        EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
        EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
        EXPECT_EQ(handle_count(), handles);
    }
}

TEST(EnablePrivilege, SwitchesOneAndKeepsItsOtherAttributes) {
    Fresh m({"token.privileges=SeBackupPrivilege,SeChangeNotifyPrivilege",
             "token.enabled_privileges=SeChangeNotifyPrivilege"});
    const std::size_t handles = handle_count();
    auto attributes = [](const wchar_t* name) {
        LUID luid{};
        privilege_luid(name, luid);
        auto token = process_token();
        std::lock_guard lock(token->mutex);
        for (const auto& p : token->privileges)
            if (p.luid.LowPart == luid.LowPart && p.luid.HighPart == luid.HighPart)
                return p.attributes;
        return 0xFFFFFFFFu;
    };
    const DWORD change_notify = attributes(L"SeChangeNotifyPrivilege");
    ASSERT_TRUE(change_notify & SE_PRIVILEGE_ENABLED);

    EXPECT_TRUE(dv::enable_privilege(L"SeBackupPrivilege", true));
    EXPECT_EQ(attributes(L"SeBackupPrivilege") & SE_PRIVILEGE_ENABLED, SE_PRIVILEGE_ENABLED);
    EXPECT_TRUE(dv::enable_privilege(L"SeBackupPrivilege", false));
    EXPECT_EQ(attributes(L"SeBackupPrivilege") & SE_PRIVILEGE_ENABLED, 0u);
    EXPECT_TRUE(dv::enable_privilege(L"SeChangeNotifyPrivilege", false));
    EXPECT_EQ(attributes(L"SeChangeNotifyPrivilege"), change_notify & ~SE_PRIVILEGE_ENABLED);

    // The system accepts a privilege the token lacks; an unknown name is refused.
    EXPECT_TRUE(dv::enable_privilege(L"SeShutdownPrivilege", true));
    EXPECT_EQ(attributes(L"SeShutdownPrivilege"), 0xFFFFFFFFu);
    EXPECT_FALSE(dv::enable_privilege(L"SeNoSuchPrivilege", true));
    EXPECT_EQ(handle_count(), handles);
}

TEST(EnablePrivilege, FalseWithoutTheAdjustmentAndTokenClosed) {
    Fresh m({"switches.removed_advapi32_exports=AdjustTokenPrivileges"});
    const std::size_t handles = handle_count();
    EXPECT_FALSE(dv::enable_privilege(L"SeBackupPrivilege", true));
    EXPECT_EQ(handle_count(), handles);
}

TEST(GrantUsersAccess, ReplacesUsersEntriesAndKeepsTheOrder) {
    Fresh m;
    const std::wstring path = L"C:\\Program Files\\data.bin";
    make_file(path);
    // Explicit entries with a Users entry of another mask, before the inherited ones (which
    // hold Users too).
    set_dacl(path, {{"S-1-5-32-544", FILE_ALL_ACCESS}, {"S-1-5-32-545", 0x1200A9}},
             SE_DACL_AUTO_INHERITED);

    ASSERT_TRUE(dv::grant_users_access(path.c_str(), 0x13019F));
    WORD control = 0;
    std::vector<BYTE> sd = read_dacl(path);
    EXPECT_EQ(entries(sd.data(), &control),
              (std::vector<std::string>{"0:00:001f01ff:S-1-5-32-544", "0:00:0013019f:S-1-5-32-545",
                                        "0:10:001f01ff:S-1-5-18", "0:10:001f01ff:S-1-5-32-544"}));
    EXPECT_EQ(control & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED), SE_DACL_AUTO_INHERITED);

    // Granting again changes nothing.
    ASSERT_TRUE(dv::grant_users_access(path.c_str(), 0x13019F));
    EXPECT_EQ(entries(read_dacl(path).data()), entries(sd.data()));
}

TEST(GrantUsersAccess, ProtectedListStaysProtected) {
    Fresh m;
    const std::wstring path = L"C:\\Program Files\\Guarded";
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    set_dacl(path, {{"S-1-5-18", FILE_ALL_ACCESS}}, SE_DACL_PROTECTED);
    WORD control = 0;
    ASSERT_EQ(entries(read_dacl(path).data(), &control).size(), 4u);

    ASSERT_TRUE(dv::grant_users_access(path.c_str(), 0x13019F));
    std::vector<BYTE> sd = read_dacl(path);
    EXPECT_EQ(entries(sd.data(), &control),
              (std::vector<std::string>{"0:00:001f01ff:S-1-5-18", "0:00:0013019f:S-1-5-32-545",
                                        "0:13:001f01ff:S-1-5-18", "0:13:001f01ff:S-1-5-32-544"}));
    EXPECT_EQ(control & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED), SE_DACL_PROTECTED);
}

TEST(GrantUsersAccess, WithoutTheControlFunctionsTheListIsStillWritten) {
    Fresh m({"switches.removed_advapi32_exports=SetSecurityDescriptorControl"});
    const std::wstring path = L"C:\\Program Files\\data.bin";
    make_file(path);
    ASSERT_TRUE(dv::grant_users_access(path.c_str(), 0x13019F));
    WORD control = 0;
    EXPECT_EQ(entries(read_dacl(path).data(), &control),
              (std::vector<std::string>{"0:00:0013019f:S-1-5-32-545", "0:10:001f01ff:S-1-5-18",
                                        "0:10:001f01ff:S-1-5-32-544"}));
    EXPECT_EQ(control & SE_DACL_AUTO_INHERITED, 0);
}

TEST(GrantUsersAccess, FailuresGiveFalse) {
    Fresh m({"token.administrators=deny_only"});
    EXPECT_FALSE(dv::grant_users_access(L"C:\\Program Files\\missing.bin", 0x13019F));
    // A standard user may not change the security of Program Files.
    const std::vector<BYTE> before = read_dacl(L"C:\\Program Files");
    EXPECT_FALSE(dv::grant_users_access(L"C:\\Program Files", 0x13019F));
    EXPECT_EQ(read_dacl(L"C:\\Program Files"), before);
}

TEST(MakeEveryoneSecurity, OneEntryForEveryone) {
    Fresh m;
    dv::SecurityDescriptor sd = dv::make_everyone_security(SEMAPHORE_ALL_ACCESS);
    ASSERT_NE(sd.get(), nullptr);
    EXPECT_TRUE(IsValidSecurityDescriptor(sd.get()));
    EXPECT_EQ(entries(sd.get()), (std::vector<std::string>{"0:00:001f0003:S-1-1-0"}));
}

} // namespace
