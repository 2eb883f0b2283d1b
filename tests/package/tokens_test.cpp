#include "package/errors.h"
#include "package/tokens.h"
#include "tests/support/temp_machine.h"

#include <gtest/gtest.h>

namespace {

const dv::path_table table = {L"C:\\Apps\\Product", L"Marquetta Examples", L"C:\\Temp\\dravik_1"};

bool refused(const std::wstring& templ, const dv::path_table& paths) {
    try {
        dv::expand_destination(templ, paths);
        return false;
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(dv::compress_error::unexpected_error));
        return true;
    }
}

using Tokens = dvtest::MachineTest;

TEST_F(Tokens, EveryTokenOnAFullMachine) {
    std::wstring user = tm.machine().user_profile();
    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"<InstallPath>", L"C:\\Apps\\Product"},
        {L"<InstallPath>\\Lang", L"C:\\Apps\\Product\\Lang"},
        {L"<InstallPath>/Lang//sub\\", L"C:\\Apps\\Product\\Lang\\sub"},
        {L"<SamplePath>", L"C:\\Users\\Public\\Desktop\\Marquetta Examples"},
        {L"<ProgramFiles>\\X", L"C:\\Program Files\\X"},
        {L"<ProgramCommon>", L"C:\\Program Files\\Common Files"},
        {L"<CommonData>\\Dravik & Rodezura\\Materials",
         L"C:\\ProgramData\\Dravik & Rodezura\\Materials"},
        {L"<UserData>\\Dravik & Rodezura", user + L"\\AppData\\Roaming\\Dravik & Rodezura"},
        {L"<CommonDocuments>", L"C:\\Users\\Public\\Documents"},
        {L"<Documents>", user + L"\\Documents"},
        {L"<CommonDesktop>", L"C:\\Users\\Public\\Desktop"},
        {L"<Desktop>", user + L"\\Desktop"},
        {L"<WinDir>", L"C:\\Windows"},
        {L"<System>", L"C:\\Windows\\System32"},
        {L"<Temporary>", L"C:\\Temp\\dravik_1"},
        // Complete paths and half-bracketed first elements are used as they stand.
        {L"D:\\Data", L"D:\\Data"},
        {L"<InstallPath\\Lang", L"<InstallPath\\Lang"},
        {L"InstallPath>\\Lang", L"InstallPath>\\Lang"},
        {L"", L""},
    };
    for (const auto& [templ, expected] : cases)
        EXPECT_EQ(dv::expand_destination(templ, table), expected) << templ;

    // Tokens match exactly; unknown ones are refused rather than left relative.
    EXPECT_TRUE(refused(L"<installpath>\\Lang", table));
    EXPECT_TRUE(refused(L"<Bogus>\\x", table));
    EXPECT_TRUE(refused(L"<>", table));
}

TEST_F(Tokens, SampleAndTemporaryFolders) {
    const std::pair<dv::path_table, std::wstring> cases[] = {
        {{L"C:\\P", L"", L""}, L"C:\\Users\\Public\\Desktop"},
        {{L"C:\\P", L"D:\\Samples", L""}, L"D:\\Samples"},
        {{L"C:\\P", L"\\\\server\\share\\s", L""}, L"\\\\server\\share\\s"},
        {{L"C:\\P", L"Ex\\Deep", L""}, L"C:\\Users\\Public\\Desktop\\Ex\\Deep"},
    };
    for (const auto& [paths, expected] : cases)
        EXPECT_EQ(dv::expand_destination(L"<SamplePath>", paths), expected) << paths[1];
    EXPECT_EQ(dv::expand_destination(L"<Temporary>\\dx", {L"C:\\P", L"", L""}), L"C:\\P\\dx");
}

TEST(TokenFallbacks, CommonFoldersFallBackToTheUsersOwn) {
    dvtest::TempMachine tm({"switches.removed_shell_folders=0x23, 0x2E, 0x19"});
    std::wstring user = tm.machine().user_profile();
    EXPECT_EQ(dv::expand_destination(L"<CommonData>\\Dravik & Rodezura\\Materials", table),
              user + L"\\AppData\\Roaming\\Dravik & Rodezura\\Materials");
    EXPECT_EQ(dv::expand_destination(L"<CommonDocuments>", table), user + L"\\Documents");
    EXPECT_EQ(dv::expand_destination(L"<CommonDesktop>", table), user + L"\\Desktop");
    EXPECT_EQ(dv::expand_destination(L"<SamplePath>", table),
              user + L"\\Desktop\\Marquetta Examples");
}

TEST(TokenFallbacks, MissingFolderWithoutFallbackIsRefused) {
    dvtest::TempMachine tm({"switches.removed_shell_folders=0x1A, 0x10, 0x19, 0x24"});
    for (const wchar_t* templ : {L"<UserData>", L"<Desktop>", L"<SamplePath>", L"<WinDir>"})
        EXPECT_TRUE(refused(templ, table)) << templ;
    // With the common folder gone as well, the fallback has nothing to fall back to.
    dvtest::TempMachine both({"switches.removed_shell_folders=0x23, 0x1A"});
    EXPECT_TRUE(refused(L"<CommonData>\\X", table));
    EXPECT_EQ(dv::expand_destination(L"<InstallPath>", table), L"C:\\Apps\\Product");
}

} // namespace
