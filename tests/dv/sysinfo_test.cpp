#include "dv/sysinfo.h"
#include "tests/support/temp_machine.h"
#include "win32/error.h"
#include "win32/module.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

using namespace win32;
namespace fs = std::filesystem;

namespace {

using dvtest::run;

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

using SystemLibrary = dvtest::MachineTest;

TEST_F(SystemLibrary, LoadsFromTheSystemFolderWhateverLiesBesideTheProgram) {
    // The probe runs from C:\App, whose own copies would win a plain search.
    fs::create_directories(tm.host(L"C:\\App"));
    fs::copy_file(DV_PROBE, tm.host(L"C:\\App\\probe.exe"));
    for (const wchar_t* copy :
         {L"C:\\App\\advapi32.dll", L"C:\\App\\dvtest.dll", L"C:\\App\\apponly.dll",
          L"C:\\Windows\\System32\\dvtest.dll", L"C:\\Windows\\System32\\gone.dll"})
        fs::copy_file(DV_TEST_MODULE, tm.host(copy));
    const std::string probe = quoted(tm.host(L"C:\\App\\probe.exe")) + " load ";

    EXPECT_EQ(run(probe + "advapi32.dll"), "C:\\Windows\\System32\\advapi32.dll\n");
    EXPECT_EQ(run(probe + "dvtest.dll"), "C:\\Windows\\System32\\dvtest.dll\n");
    // Not in the system folder: the normal search finds the program's copy.
    EXPECT_EQ(run(probe + "apponly.dll"), "C:\\App\\apponly.dll\n");
    // A full path is taken as given: its absence is final, System32 is not asked.
    EXPECT_EQ(run(probe + "'C:\\App\\dvtest.dll'"), "C:\\App\\dvtest.dll\n");
    EXPECT_EQ(run(probe + "'C:\\App\\gone.dll'"), "error=126\n");
    EXPECT_EQ(run(probe + "nowhere.dll"), "error=126\n");
}

TEST(SystemFacts, VistaAndTheWindowsFolder) {
    {
        dvtest::TempMachine tm({"windows.major=5", "windows.minor=1"});
        EXPECT_EQ(run(quoted(DV_PROBE) + " vista"), "0\n");
    }
    dvtest::TempMachine tm({"windows.major=6", "windows.minor=0"});
    EXPECT_EQ(run(quoted(DV_PROBE) + " vista"), "1\n");
    wchar_t dir[261];
    dv::get_system_windows_dir(dir);
    EXPECT_STREQ(dir, L"C:\\Windows");
}

void expect_cleared(const dv::FileVersionInfo& info) {
    EXPECT_EQ(info.displayText, L"");
    EXPECT_EQ(info.productName, L"");
    EXPECT_EQ(info.productVersion, L"");
    EXPECT_EQ(info.fileDescription, L"");
    EXPECT_EQ(info.legalCopyright, L"");
    EXPECT_EQ(info.fileVersion, 0u);
}

dv::FileVersionInfo stale(DWORD request) {
    dv::FileVersionInfo info;
    info.request = request;
    info.displayText = info.productName = info.productVersion = L"stale";
    info.fileDescription = info.legalCopyright = L"stale";
    info.fileVersion = 0x1234;
    return info;
}

using VersionInfo = dvtest::MachineTest;

TEST_F(VersionInfo, TheInstallersOwnVersion) {
    // This program carries the installer's resources; no path means the running program.
    dv::FileVersionInfo info = stale(dv::FileVersionInfo::All);
    ASSERT_TRUE(dv::read_version_info(info));
    EXPECT_EQ(info.displayText, L"Install 2.02");
    EXPECT_EQ(info.productName, L"Install");
    EXPECT_EQ(info.productVersion, L"2.02");
    EXPECT_EQ(info.fileDescription, L"Installeur Marquetta 6.05f");
    EXPECT_NE(info.legalCopyright, L"");
    EXPECT_EQ(info.fileVersion, 0x0002000200000003u);
    EXPECT_EQ(info.fileFlags, 0u);

    // Only what is asked for is filled; the rest is emptied.
    struct Case {
        DWORD request;
        const wchar_t* display;
        const wchar_t* name;
        const wchar_t* copyright;
        ULONGLONG version;
    } const cases[] = {
        {0x11, L"Install 2.02", L"", nullptr, 0},
        {0x41, L"Install 2.02", L"", L"", 0},
        {0x22, L"", L"Install", L"", 0x0002000200000003u},
        {0x00, L"", L"", L"", 0},
    };
    for (const Case& c : cases) {
        info = stale(c.request);
        EXPECT_TRUE(dv::read_version_info(info)) << c.request;
        EXPECT_EQ(info.displayText, c.display) << c.request;
        EXPECT_EQ(info.productName, c.name) << c.request;
        if (c.copyright)
            EXPECT_EQ(info.legalCopyright, c.copyright) << c.request;
        else
            EXPECT_NE(info.legalCopyright, L"") << c.request;
        EXPECT_EQ(info.fileVersion, c.version) << c.request;
        EXPECT_EQ(info.productVersion, L"") << c.request;
    }
}

TEST_F(VersionInfo, MissingItemsAreReportedButWhatWasFoundIsFilled) {
    fs::create_directories(tm.host(L"C:\\Files"));
    fs::copy_file(DV_VERSION_6500, tm.host(L"C:\\Files\\v6500.exe"));
    dv::FileVersionInfo info = stale(dv::FileVersionInfo::All);
    EXPECT_FALSE(dv::read_version_info(info, L"C:\\Files\\v6500.exe"));
    EXPECT_EQ(info.productName, L"Fixture");
    EXPECT_EQ(info.productVersion, L"6.5b");
    EXPECT_EQ(info.displayText, L"Fixture 6.5b \u2013 Private \u2013 Debug");
    EXPECT_EQ(info.fileVersion, 0x0006000500000000u);
    EXPECT_EQ(info.fileFlags, 0x09u); // the prerelease bit is outside the mask
    EXPECT_EQ(info.legalCopyright, L"");
    EXPECT_EQ(info.fileDescription, L"");

    info = stale(dv::FileVersionInfo::DisplayText | dv::FileVersionInfo::FileVersion);
    EXPECT_TRUE(dv::read_version_info(info, L"C:\\Files\\v6500.exe"));

    // A program without version resource, a file that is no program, a missing file.
    fs::copy_file(DV_PROBE, tm.host(L"C:\\Files\\plain.exe"));
    dvtest::write_host_file(tm.host(L"C:\\Files\\notes.txt"), "just text");
    for (const wchar_t* path :
         {L"C:\\Files\\plain.exe", L"C:\\Files\\notes.txt", L"C:\\Files\\missing.exe"}) {
        info = stale(dv::FileVersionInfo::All);
        EXPECT_FALSE(dv::read_version_info(info, path));
        expect_cleared(info);
    }
}

} // namespace
