#include "app/product.h"

#include "dv/language.h"
#include "tests/support/temp_machine.h"

#include <gtest/gtest.h>

namespace {

TEST(ProductIdentity, NamesAndKeys) {
    EXPECT_EQ(productWord(), L"Marquetta");
    EXPECT_EQ(productTitle(), L"Marquetta 6.05f");
    EXPECT_EQ(productDisplayName(), L"Marquetta 6");
    EXPECT_EQ(productVersionString(), L"6.5.6.3");
    EXPECT_EQ(uninstallKeyPath(),
              L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Marquetta 6");
    EXPECT_EQ(productVersionNumber64(), 0x0006000500060003ull);
    EXPECT_EQ(std::wstring(productKey), L"Marquetta6");
}

TEST(ProductIdentity, InstalledVersionAgainstOurs) {
    struct Case {
        win32::WORD a, b, c, d;
        PreviousInstall expected;
    };
    const Case cases[] = {
        {6, 5, 6, 3, PreviousInstall::SameVersion},
        {6, 5, 6, 2, PreviousInstall::OlderVersion},
        {6, 5, 6, 4, PreviousInstall::NewerVersion},
        {6, 6, 0, 0, PreviousInstall::NewerVersion},
        {5, 9, 9, 9, PreviousInstall::OlderVersion},
        {0, 0, 0, 0, PreviousInstall::SameVersion},
        // The parts compare unsigned: a high part with its top bit set is a larger version.
        {0x8000, 0, 0, 0, PreviousInstall::NewerVersion},
        {6, 5, 0x8000, 0, PreviousInstall::NewerVersion},
        {6, 4, 0xFFFF, 0xFFFF, PreviousInstall::OlderVersion},
    };
    for (const Case& c : cases) {
        auto installed = versionNumber(win32::MAKELONG(c.b, c.a), win32::MAKELONG(c.d, c.c));
        EXPECT_EQ(ComparePreviousVersion(installed), c.expected)
            << c.a << "." << c.b << "." << c.c << "." << c.d;
    }
}

TEST(ProductIdentity, InstallerTitleFollowsTheLanguage) {
    dvtest::TempMachine tm;
    struct Case {
        dv::LanguageIndex language;
        const wchar_t* text1000;
    };
    // Greek has no translation of its own: the English text stands in.
    const Case cases[] = {{0, L"Installeur"},
                          {1, L"Installer"},
                          {2, L"Installationsprogramm"},
                          {14, L"Installer"},
                          {0, L"Installeur"}};
    for (const Case& c : cases) {
        dv::SetLanguage(c.language);
        EXPECT_EQ(installerTitle(false), c.text1000);
        EXPECT_EQ(installerTitle(true), std::wstring(c.text1000) + L" \u2013 Marquetta 6.05f");
    }
}

} // namespace
