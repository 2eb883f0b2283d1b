#include "tests/support/temp_machine.h"
#include "win32/error.h"
#include "win32/files.h"
#include "win32/sysinfo.h"
#include "win32/text.h"
#include "win32/windows.h" // the umbrella must stay self-consistent

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace fs = std::filesystem;
using namespace win32;

namespace {

TEST(SystemFacts, VersionRecords) {
    dvtest::TempMachine tm({"windows.major=5", "windows.minor=1", "windows.build=2600",
                            "windows.service_pack_major=3", "windows.csd_version=Service Pack 3"});
    OSVERSIONINFOEXW ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExW(&ex));
    EXPECT_EQ(ex.dwMajorVersion, 5u);
    EXPECT_EQ(ex.dwMinorVersion, 1u);
    EXPECT_EQ(ex.dwBuildNumber, 2600u);
    EXPECT_EQ(ex.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(ex.wServicePackMajor, 3);
    EXPECT_EQ(std::u16string(ex.szCSDVersion), u"Service Pack 3");

    // The short record is filled up to its own size and no further.
    unsigned char raw[sizeof(OSVERSIONINFOEXW)];
    std::memset(raw, 0xAB, sizeof raw);
    DWORD size = sizeof(OSVERSIONINFOW);
    std::memcpy(raw, &size, sizeof size);
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(raw)));
    OSVERSIONINFOW plain;
    std::memcpy(&plain, raw, sizeof plain);
    EXPECT_EQ(plain.dwMajorVersion, 5u);
    EXPECT_EQ(raw[sizeof(OSVERSIONINFOW)], 0xAB);

    for (DWORD bad : {0u, 275u, 280u, 300u}) {
        std::memcpy(raw, &bad, sizeof bad);
        EXPECT_FALSE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(raw))) << bad;
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    }
    EXPECT_FALSE(GetVersionExW(static_cast<OSVERSIONINFOW*>(nullptr)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(SystemFacts, VerifyVersionInfo) {
    // major.minor.spmajor.spminor as the machine gives it, the request, the answer.
    struct Case {
        const char* machine;
        DWORD type_mask;
        BYTE condition;
        DWORD major, minor;
        WORD sp_major;
        bool holds;
    } const cases[] = {
        {"10.0.0", VER_MAJORVERSION | VER_MINORVERSION, VER_GREATER_EQUAL, 6, 0, 0, true},
        {"6.0.0", VER_MAJORVERSION | VER_MINORVERSION, VER_GREATER_EQUAL, 6, 0, 0, true},
        // 6.1 >= 6.2 fails on the minor version although the major is equal...
        {"6.1.0", VER_MAJORVERSION | VER_MINORVERSION, VER_GREATER_EQUAL, 6, 2, 0, false},
        // ... and 10.0 >= 6.2 holds although its minor version is lower.
        {"10.0.0", VER_MAJORVERSION | VER_MINORVERSION, VER_GREATER_EQUAL, 6, 2, 0, true},
        {"5.1.3", VER_MAJORVERSION | VER_MINORVERSION, VER_GREATER_EQUAL, 6, 0, 0, false},
        {"5.1.3", VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL, 5,
         1, 3, true},
        {"5.1.2", VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL, 5,
         1, 3, false},
        {"5.1.2", VER_MAJORVERSION | VER_MINORVERSION, VER_EQUAL, 5, 1, 3, true},
        {"5.1.2", VER_MAJORVERSION, VER_LESS, 6, 9, 9, true},
    };
    for (const Case& c : cases) {
        unsigned major = 0, minor = 0, sp = 0;
        std::sscanf(c.machine, "%u.%u.%u", &major, &minor, &sp);
        dvtest::TempMachine tm({"windows.major=" + std::to_string(major),
                                "windows.minor=" + std::to_string(minor),
                                "windows.service_pack_major=" + std::to_string(sp)});
        OSVERSIONINFOEXW want{};
        want.dwOSVersionInfoSize = sizeof want;
        want.dwMajorVersion = c.major;
        want.dwMinorVersion = c.minor;
        want.wServicePackMajor = c.sp_major;
        ULONGLONG mask = VerSetConditionMask(0, c.type_mask, c.condition);
        SetLastError(0);
        EXPECT_EQ(VerifyVersionInfoW(&want, c.type_mask, mask), c.holds ? TRUE : FALSE)
            << c.machine << " against " << c.major << "." << c.minor << "." << c.sp_major;
        EXPECT_EQ(GetLastError(), c.holds ? 0u : ERROR_OLD_WIN_VERSION);
    }

    dvtest::TempMachine tm;
    OSVERSIONINFOEXW want{};
    want.dwOSVersionInfoSize = sizeof want;
    want.dwPlatformId = VER_PLATFORM_WIN32_NT;
    EXPECT_TRUE(VerifyVersionInfoW(&want, VER_PLATFORMID,
                                   VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)));
    // Each item sits in its own three bits of the mask.
    EXPECT_EQ(VerSetConditionMask(0, VER_MAJORVERSION | VER_MINORVERSION, VER_GREATER_EQUAL),
              0x1Bu);
    EXPECT_FALSE(VerifyVersionInfoW(&want, 0, 0x1B));
    EXPECT_EQ(GetLastError(), ERROR_BAD_ARGUMENTS);
    EXPECT_FALSE(VerifyVersionInfoW(&want, VER_MAJORVERSION | VER_BUILDNUMBER,
                                    VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL)));
    EXPECT_EQ(GetLastError(), ERROR_BAD_ARGUMENTS);
}

TEST(SystemFacts, ProcessorAndUser) {
    {
        dvtest::TempMachine tm(
            {"processor.sse2=0", "user.name=Ana", "user.langid=0x040C", "user.lcid=0x040C"});
        EXPECT_FALSE(IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
        EXPECT_EQ(GetUserDefaultLangID(), 0x040C);
        EXPECT_EQ(GetUserDefaultLCID(), 0x040Cu);
        wchar_t name[8];
        DWORD size = 3;
        EXPECT_FALSE(GetUserNameW(name, &size));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(size, 4u);
        ASSERT_TRUE(GetUserNameW(name, &size));
        EXPECT_STREQ(name, L"Ana");
        EXPECT_EQ(size, 4u);
    }
    dvtest::TempMachine tm({"processor.sse2=1"});
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    EXPECT_FALSE(IsProcessorFeaturePresent(12345));
}

TEST(SystemFacts, SystemFolders) {
    dvtest::TempMachine tm;
    struct Case {
        UINT (*query)(LPWSTR, UINT);
        const wchar_t* folder;
    };
    const Case cases[] = {
        {GetWindowsDirectoryW, L"C:\\Windows"},
        {GetSystemWindowsDirectoryW, L"C:\\Windows"},
        {GetSystemDirectoryW, L"C:\\Windows\\System32"},
    };
    for (const auto& c : cases) {
        UINT len = static_cast<UINT>(std::wcslen(c.folder));
        wchar_t buf[MAX_PATH + 1];
        EXPECT_EQ(c.query(buf, MAX_PATH + 1), len);
        EXPECT_STREQ(buf, c.folder);
        EXPECT_EQ(c.query(buf, len), len + 1); // too short: the size needed
        EXPECT_EQ(c.query(nullptr, 0), len + 1);
    }
}

TEST(ShellFolders, EveryFolderTheProgramUses) {
    dvtest::TempMachine tm({"user.name=Ana"});
    struct Case {
        int csidl;
        const wchar_t* path;
    };
    const Case cases[] = {
        {CSIDL_PROGRAMS,
         L"C:\\Users\\Ana\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"},
        {CSIDL_PERSONAL, L"C:\\Users\\Ana\\Documents"},
        {CSIDL_STARTMENU, L"C:\\Users\\Ana\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu"},
        {CSIDL_DESKTOPDIRECTORY, L"C:\\Users\\Ana\\Desktop"},
        {CSIDL_COMMON_STARTMENU, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu"},
        {CSIDL_COMMON_PROGRAMS, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"},
        {CSIDL_COMMON_DESKTOPDIRECTORY, L"C:\\Users\\Public\\Desktop"},
        {CSIDL_APPDATA, L"C:\\Users\\Ana\\AppData\\Roaming"},
        {CSIDL_COMMON_APPDATA, L"C:\\ProgramData"},
        {CSIDL_WINDOWS, L"C:\\Windows"},
        {CSIDL_SYSTEM, L"C:\\Windows\\System32"},
        {CSIDL_PROGRAM_FILES, L"C:\\Program Files"},
        {CSIDL_PROGRAM_FILES_COMMON, L"C:\\Program Files\\Common Files"},
        {CSIDL_COMMON_DOCUMENTS, L"C:\\Users\\Public\\Documents"},
    };
    for (const auto& c : cases) {
        // The machine was made for another user name: the folders of "Ana" come on demand.
        wchar_t buf[MAX_PATH];
        EXPECT_EQ(SHGetFolderPathW(nullptr, c.csidl | CSIDL_FLAG_CREATE, nullptr,
                                   SHGFP_TYPE_CURRENT, buf),
                  S_OK)
            << c.csidl;
        EXPECT_STREQ(buf, c.path);
        EXPECT_EQ(SHGetFolderPathW(nullptr, c.csidl, nullptr, SHGFP_TYPE_CURRENT, buf), S_OK);
        wchar_t special[MAX_PATH];
        EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, special, c.csidl, FALSE));
        EXPECT_STREQ(special, c.path);
        EXPECT_NE(GetFileAttributesW(c.path) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
    wchar_t buf[MAX_PATH] = L"junk";
    EXPECT_EQ(SHGetFolderPathW(nullptr, 0x7F, nullptr, SHGFP_TYPE_CURRENT, buf), E_INVALIDARG);
    EXPECT_STREQ(buf, L"");
}

TEST(ShellFolders, MissingAndRemovedFolders) {
    dvtest::TempMachine tm({"switches.removed_shell_folders=common_appdata, 0x19"});
    wchar_t buf[MAX_PATH] = L"junk";
    // Taken away by the machine's switches: fails whatever the flags, and nothing is made.
    for (int csidl : {CSIDL_COMMON_APPDATA, CSIDL_COMMON_DESKTOPDIRECTORY}) {
        EXPECT_EQ(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf),
                  HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
        EXPECT_STREQ(buf, L"");
        EXPECT_TRUE(FAILED(SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, 0, buf)));
        EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, buf, csidl, TRUE));
    }
    // Missing on disk: E_FAIL, unless asked to create it.
    fs::remove_all(tm.host(L"C:\\Users\\Public\\Documents"));
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, buf),
              E_FAIL);
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, buf, CSIDL_COMMON_DOCUMENTS, FALSE));
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS | CSIDL_FLAG_DONT_VERIFY, nullptr,
                               SHGFP_TYPE_CURRENT, buf),
              S_OK);
    EXPECT_FALSE(fs::exists(tm.host(L"C:\\Users\\Public\\Documents")));
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, buf, CSIDL_COMMON_DOCUMENTS, TRUE));
    EXPECT_STREQ(buf, L"C:\\Users\\Public\\Documents");
    EXPECT_TRUE(fs::is_directory(tm.host(L"C:\\Users\\Public\\Documents")));
}

} // namespace
