#include "tests/support/temp_machine.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace win32;

namespace {

using MachineFixture = dvtest::MachineTest;

TEST_F(MachineFixture, CreatesStandardTreeAndConfig) {
    EXPECT_TRUE(fs::exists(tm.root() / "machine.ini"));
    EXPECT_EQ(tm.machine().setting_number("windows", "major", 0), 10u);
    EXPECT_EQ(tm.machine().setting_number("windows", "build", 0), 19045u);
    EXPECT_EQ(tm.machine().setting_number("windows", "platform_id", 0), 2u);
    EXPECT_EQ(tm.machine().setting_number("system", "ansi_code_page", 0), 1252u);
    for (const wchar_t* p : {L"C:\\Windows\\System32", L"C:\\Program Files\\Common Files",
                             L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs",
                             L"C:\\Users\\Public\\Desktop", L"C:\\Users\\Public\\Documents"}) {
        HostPath hp;
        ASSERT_EQ(tm.machine().map(p, hp), 0u);
        EXPECT_TRUE(hp.exists) << to_utf8(p);
    }
    std::wstring user = tm.machine().user_profile();
    for (const wchar_t* sub :
         {L"\\AppData\\Local\\Temp", L"\\Desktop", L"\\Documents", L"\\AppData\\Roaming"}) {
        HostPath hp;
        ASSERT_EQ(tm.machine().map(user + sub, hp), 0u);
        EXPECT_TRUE(hp.exists) << to_utf8(user + sub);
    }
}

TEST_F(MachineFixture, ExistingMachineIsNotRecreated) {
    fs::remove_all(tm.root() / "drive_c/Users/Public/Desktop");
    ASSERT_TRUE(Machine::create(tm.root()));
    EXPECT_FALSE(fs::exists(tm.root() / "drive_c/Users/Public/Desktop"));
}

TEST_F(MachineFixture, FullPathCanonicalisation) {
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
        DWORD error;
    };
    const Case cases[] = {
        {L"C:\\Program Files\\X", L"C:\\Program Files\\X", 0},
        {L"c:/program files//x\\", L"C:\\program files\\x", 0},
        {L"C:\\a\\.\\b\\..\\c", L"C:\\a\\c", 0},
        {L"C:\\..\\..\\a", L"C:\\a", 0},
        {L"C:\\dir. \\file.txt. ", L"C:\\dir\\file.txt", 0},
        {L"relative\\f", L"C:\\relative\\f", 0},
        {L"\\rooted", L"C:\\rooted", 0},
        {L"C:", L"C:\\", 0},
        {L"C:\\a<b", nullptr, ERROR_INVALID_NAME},
        {L"C:\\a\\CON", nullptr, ERROR_INVALID_NAME},
        {L"C:\\a\\nul.txt", nullptr, ERROR_INVALID_NAME},
        {L"C:\\a\\lpt1", nullptr, ERROR_INVALID_NAME},
        {L"C:\\a\\q?", nullptr, ERROR_INVALID_NAME},
        {L"\\\\server\\share\\x", nullptr, ERROR_BAD_NETPATH},
        {L"", nullptr, ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        std::wstring out;
        DWORD e = tm.machine().full_path(c.in, out);
        EXPECT_EQ(e, c.error) << to_utf8(c.in);
        if (c.out && e == 0) {
            EXPECT_EQ(out, c.out) << to_utf8(c.in);
        }
    }
}

TEST_F(MachineFixture, LookupIsCaseInsensitiveAndNewNamesKeepTheirCase) {
    HostPath hp;
    ASSERT_EQ(tm.machine().map(L"c:\\PROGRAM FILES\\common files", hp), 0u);
    EXPECT_TRUE(hp.exists);
    EXPECT_EQ(hp.host, tm.root() / "drive_c/Program Files/Common Files");

    ASSERT_EQ(tm.machine().map(L"C:\\program files\\NewDir\\File.TXT", hp), 0u);
    EXPECT_FALSE(hp.exists);
    EXPECT_FALSE(hp.parent_exists);
    EXPECT_EQ(hp.host, tm.root() / "drive_c/Program Files/NewDir/File.TXT");

    ASSERT_EQ(tm.machine().map(L"C:\\program files\\NewDir", hp), 0u);
    EXPECT_FALSE(hp.exists);
    EXPECT_TRUE(hp.parent_exists);
}

TEST_F(MachineFixture, LengthLimitsAndUnknownDrives) {
    std::wstring base = L"C:\\";
    std::wstring p259 = base + std::wstring(256, L'a'); // 259 characters
    HostPath hp;
    EXPECT_EQ(tm.machine().map(p259, hp), 0u);
    EXPECT_EQ(tm.machine().map(p259 + L"b", hp), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(tm.machine().map(L"D:\\x", hp), ERROR_PATH_NOT_FOUND);
}

TEST(MachineDrives, ExtraDriveFromConfig) {
    dvtest::TempMachine tm({"system.drives=C,D"});
    fs::create_directories(tm.root() / "drive_d");
    HostPath hp;
    ASSERT_EQ(tm.machine().map(L"d:\\data", hp), 0u);
    EXPECT_EQ(hp.host, tm.root() / "drive_d/data");
    std::wstring back;
    ASSERT_TRUE(tm.machine().to_windows(hp.host, back));
    EXPECT_EQ(back, L"D:\\data");
}

} // namespace
