#include "tests/support/temp_machine.h"
#include "win32/files.h"
#include "win32/module.h"
#include "win32/security.h"
#include "win32/text.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace win32;
namespace fs = std::filesystem;

namespace {

using dvtest::run;

using ModuleTest = dvtest::MachineTest;

TEST_F(ModuleTest, SystemAdvapi32IsTheProjectsModuleAndForwardsToTheLayer) {
    EXPECT_EQ(GetModuleHandleW(L"advapi32.dll"), nullptr);
    HMODULE h = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"ADVAPI32"), h);
    EXPECT_EQ(LoadLibraryW(L"C:\\Windows\\System32\\advapi32.dll"), h); // counted twice now
    wchar_t path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(h, path, MAX_PATH), 32u);
    EXPECT_STREQ(path, L"C:\\Windows\\System32\\advapi32.dll");
    EXPECT_EQ(GetModuleFileNameW(h, path, 10), 10u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(path, L"C:\\Window");

    // Through the module the program's own token answers.
    using CheckFn = BOOL (*)(HANDLE, PSID, BOOL*);
    auto check = reinterpret_cast<CheckFn>(GetProcAddress(h, "CheckTokenMembership"));
    ASSERT_NE(check, nullptr);
    SidBytes admins = sid_from_string("S-1-5-32-544");
    BOOL member = FALSE;
    ASSERT_TRUE(check(nullptr, admins.data(), &member));
    EXPECT_TRUE(member);
    using LookupFn = BOOL (*)(LPCWSTR, LPCWSTR, LUID*);
    auto lookup = reinterpret_cast<LookupFn>(GetProcAddress(h, "LookupPrivilegeValueW"));
    ASSERT_NE(lookup, nullptr);
    LUID luid{};
    EXPECT_FALSE(lookup(nullptr, L"SeNothing", &luid));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE); // the program's last error

    EXPECT_EQ(GetProcAddress(h, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetModuleHandleW(L"advapi32.dll"), h);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetModuleHandleW(L"advapi32.dll"), nullptr);
    EXPECT_FALSE(FreeLibrary(h));
}

TEST(ModuleSwitch, EntryPointLeftOutGives127InEveryProcess) {
    {
        // A module of an earlier machine, never freed, is not the one of the next machine.
        dvtest::TempMachine earlier;
        ASSERT_NE(LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
    }
    dvtest::TempMachine tm(
        {"switches.removed_advapi32_exports=CheckTokenMembership, RevertToSelf"});
    HMODULE h = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetProcAddress(h, "CheckTokenMembership"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetProcAddress(h, "RevertToSelf"), nullptr);
    EXPECT_NE(GetProcAddress(h, "AccessCheck"), nullptr);
    FreeLibrary(h);
    const std::string probe = std::string(DV_PROBE) + " proc advapi32.dll ";
    EXPECT_EQ(run(probe + "CheckTokenMembership"), "error=127\n");
    EXPECT_EQ(run(probe + "ImpersonateSelf"), "found\n");

    // Taking the switch away gives the entry point back.
    tm.machine().set_setting("switches", "removed_advapi32_exports", "");
    EXPECT_EQ(run(probe + "CheckTokenMembership"), "found\n");
}

TEST_F(ModuleTest, SystemFolderFlagNeverLoadsTheCopyBesideTheProgram) {
    // The program runs from C:\App, with its own dvtest.dll and advapi32.dll beside it.
    ASSERT_TRUE(CreateDirectoryW(L"C:\\App", nullptr));
    fs::copy_file(DV_PROBE, tm.host(L"C:\\App\\probe.exe"));
    fs::copy_file(DV_TEST_MODULE, tm.host(L"C:\\App\\dvtest.dll"));
    fs::copy_file(DV_TEST_MODULE, tm.host(L"C:\\App\\advapi32.dll"));
    fs::copy_file(DV_TEST_MODULE, tm.host(L"C:\\Windows\\System32\\dvtest.dll"));
    const std::string probe = tm.host(L"C:\\App\\probe.exe").string() + " load ";
    int status = -1;
    EXPECT_EQ(run(probe + "dvtest.dll 0x800", &status), "C:\\Windows\\System32\\dvtest.dll\n");
    EXPECT_EQ(run(probe + "dvtest 0", &status), "C:\\App\\dvtest.dll\n");
    EXPECT_EQ(run(probe + "dvtest.dll 0x200", &status), "C:\\App\\dvtest.dll\n");
    EXPECT_EQ(run(probe + "advapi32.dll 0", &status), "C:\\Windows\\System32\\advapi32.dll\n");
    EXPECT_EQ(run(probe + "C:\\\\App\\\\advapi32.dll 0x800", &status), "C:\\App\\advapi32.dll\n");
    run(probe + "C:\\\\App\\\\missing.dll 0x800", &status);
    EXPECT_EQ(status, static_cast<int>(ERROR_MOD_NOT_FOUND));
}

TEST_F(ModuleTest, LoaderErrors) {
    EXPECT_EQ(LoadLibraryW(L"C:\\Nowhere\\x.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryW(L"nothing_of_that_name.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    dvtest::write_host_file(tm.host(L"C:\\Windows\\System32\\text.dll"), "not a module");
    EXPECT_EQ(LoadLibraryExW(L"text.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
    EXPECT_EQ(LoadLibraryExW(L"dvtest.dll", nullptr, 0x80000000u), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x1000), "x"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // kernel32 is always there, with what programs look up at run time.
    HMODULE k = GetModuleHandleW(L"Kernel32");
    ASSERT_NE(k, nullptr);
    EXPECT_NE(GetProcAddress(k, "GetSystemWindowsDirectoryW"), nullptr);
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);
}

} // namespace
