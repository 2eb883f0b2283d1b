#include "dv/language.h"
#include "tests/support/temp_machine.h"
#include "win32/locale.h"
#include "win32/module.h"
#include "win32/resource.h"
#include "win32/text.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <iterator>
#include <locale>
#include <stdexcept>
#include <string>

using namespace win32;

namespace {

using dvtest::run;

std::string probe(const std::string& args) {
    return run(std::string("'") + DV_PROBE + "' " + args);
}

// The base numbers every table holds.
std::vector<UINT> all_bases() {
    std::vector<UINT> bases;
    for (UINT b = 1000; b <= 1018; ++b)
        bases.push_back(b);
    for (UINT b = 1100; b <= 1131; ++b)
        if (b != 1109 && b != 1116 && b != 1128 && b != 1130)
            bases.push_back(b);
    return bases;
}

// Tests choose their language; the state itself lives as long as the process.
class Language : public dvtest::MachineTest {
protected:
    ~Language() override { dv::SetLanguage(0); }
};

TEST(LanguageTable, IndicesLanguagesAndFlags) {
    const LANGID langids[] = {0x040C, 0x0409, 0x0407, 0x0C0A, 0x0816, 0x0413,
                              0x0406, 0x041F, 0x0402, 0x0418, 0x0804, 0x0410,
                              0x0405, 0x0414, 0x0408, 0x0415, 0x040D, 0x042A};
    static_assert(std::size(langids) == dv::LanguageCount);
    DWORD texts = 0, product = 0;
    for (dv::LanguageIndex i = 0; i < dv::LanguageCount; ++i) {
        EXPECT_EQ(dv::LanguageLangId(i), langids[i]) << i;
        texts |= dv::HasInstallerTexts(i) ? 1u << i : 0;
        product |= dv::IsProductLanguage(i) ? 1u << i : 0;
    }
    EXPECT_EQ(texts, 0x20A9Fu);   // 0-4, 7, 9, 11, 17
    EXPECT_EQ(product, 0x14E3Fu); // 0-5, 9-11, 14, 16
    EXPECT_EQ(dv::SupportedLanguageMask, 0x34E3Fu);
}

TEST_F(Language, TextIdFallsBackToEnglishThenToTheBaseTable) {
    dv::SetLanguage(2); // German
    EXPECT_EQ(dv::TextId(1005), 3005u);
    EXPECT_EQ(dv::LoadText(1005), L"Zurück");
    dv::SetLanguage(6); // Danish has a translation of 1005, but no installer texts
    EXPECT_EQ(dv::TextId(1005), 2005u);
    EXPECT_EQ(dv::LoadText(1005), L"Back");
    dv::SetLanguage(17); // Vietnamese has no table at all
    EXPECT_EQ(dv::TextId(1005), 1005u);
    EXPECT_EQ(dv::LoadText(1000), L"Installeur");
    dv::SetLanguage(1);
    EXPECT_EQ(dv::LoadText(1000), L"Installer");

    // Whatever the language, every text shows something real, and 1131 is the French one.
    for (dv::LanguageIndex i = 0; i < dv::LanguageCount; ++i) {
        dv::SetLanguage(i);
        EXPECT_EQ(dv::TextId(1131), 1131u) << i;
        EXPECT_EQ(dv::LoadText(1131), L"Mise à jour de DirectX...") << i;
        for (UINT base : all_bases()) {
            const std::wstring text = dv::LoadText(base);
            EXPECT_FALSE(text.empty() || text == L"#") << "language " << i << " base " << base;
        }
    }
}

TEST_F(Language, ResourceStringsAcrossBlocks) {
    dv::SetLanguage(1);
    EXPECT_EQ(dv::ResourceModule(), GetModuleHandleW(nullptr));
    // 1007 ends the block of ids 992-1007, 1008 starts the next; ids are absolute.
    EXPECT_EQ(dv::LoadResourceString(1007), L"Installer");
    EXPECT_EQ(dv::LoadResourceString(1008), L"Parcourir...");
    EXPECT_EQ(dv::LoadResourceString(2000), L"Installer");
    EXPECT_EQ(dv::LoadResourceString(2131), L"#");
    EXPECT_EQ(dv::LoadResourceString(1110),
              L"L'installation n'est pas terminée.\r\n\r\nVoulez-vous vraiment quitter "
              L"l'installation ?");
    // Unused numbers inside a block, a block that does not exist, id 0.
    EXPECT_EQ(dv::LoadResourceString(1019), L"");
    EXPECT_EQ(dv::LoadResourceString(60000), L"");
    EXPECT_EQ(dv::LoadResourceString(0), L"");
    EXPECT_EQ(dv::LoadText(1019), L"");

    // A block cut short: the entries it still holds, then nothing (not bytes past its end).
    EXPECT_EQ(probe("string 3184"), "AB\n");
    EXPECT_EQ(probe("string 3185"), "<empty>\n");
    EXPECT_EQ(probe("string 3199"), "<empty>\n");

    EXPECT_EQ(dv::LoadTextOrId(nullptr), L"");
    EXPECT_EQ(dv::LoadTextOrId(dv::MakeTextId(2002)), L"Cancel");
    EXPECT_EQ(dv::LoadTextOrId(L"Plain"), L"Plain");
}

TEST_F(Language, Formatting) {
    dv::SetLanguage(1);
    EXPECT_EQ(dv::FormatText(1003, L"Installer"), L"About 'Installer'");
    EXPECT_EQ(dv::FormatText(1101, std::wstring(L"Marquetta 6.05e"), L"Marquetta 6.05f"),
              L"Update from 'Marquetta 6.05e' to 'Marquetta 6.05f'.");
    EXPECT_EQ(dv::FormatText(1115, L"a.dll"), L"Copying File  a.dll...");
    EXPECT_EQ(dv::FormatString(L"%2, %1: 100%%", L"one", L"two"), L"two, one: 100%");
    // An insert with no argument stands for nothing rather than for what lies past them.
    EXPECT_EQ(dv::FormatString(L"[%1|%3]", L"x"), L"[x|]");
    EXPECT_THROW(dv::FormatString(L""), std::invalid_argument);
    EXPECT_THROW(dv::FormatText(1019), std::invalid_argument);
    dv::SetLanguage(2);
    EXPECT_EQ(dv::FormatText(1127, L"Marquetta"),
              dv::FormatString(dv::LoadText(1127), L"Marquetta"));
    EXPECT_NE(dv::FormatText(1127, L"Marquetta").find(L"'Marquetta'"), std::wstring::npos);
}

TEST_F(Language, LanguageFromTheUsersSettings) {
    struct Case {
        LANGID user;
        DWORD mask;
        dv::LanguageIndex expected;
    } const cases[] = {
        {0x0404, 0x34E3F, 1},                        // Traditional Chinese: not offered, English
        {0x0C04, 0x34E3F, 1},                        // Hong Kong
        {0x0804, 0x34E3F, 10},                       // Simplified Chinese (PRC)
        {0x1004, 0x34E3F, 10},                       // Singapore
        {0x0407, 0x34E3F, 2},  {0x0807, 0x34E3F, 2}, // any German
        {0x0809, 0x34E3F, 1},  {0x042A, 0x34E3F, 17},
        {0x0406, 0x34E3F, 1}, // Danish is not in the mask
        {0x0406, 0x00001, 0}, // ... and without English the fallback is French
        {0x0419, 0x34E3F, 1}, // Russian: no such language
        {0x0407, 0, 0},       // the default mask holds French only
        {0x0409, 0, 0},        {0x040C, 0, 0},
    };
    for (const Case& c : cases) {
        char langid[16];
        std::snprintf(langid, sizeof langid, "0x%04X", c.user);
        tm.machine().set_setting("user", "langid", langid);
        EXPECT_EQ(dv::LanguageFromUserDefault(c.mask), c.expected) << langid << " " << c.mask;
    }
}

TEST_F(Language, LocaleIdentifiers) {
    tm.machine().set_setting("user", "langid", "0x0407");
    tm.machine().set_setting("user", "lcid", "0x10407"); // German, phone-book sort
    EXPECT_EQ(dv::LcidFor(2), 0x10407u);
    EXPECT_EQ(dv::LcidFor(0), 0x040Cu);
    EXPECT_EQ(dv::LcidFor(3), 0x0C0Au);
    dv::SetLanguage(2);
    EXPECT_EQ(dv::CurrentLanguage(), 2);
    EXPECT_EQ(dv::CurrentLangId(), 0x0407);
    dv::SetLanguage(16);
    EXPECT_EQ(dv::CurrentLangId(), 0x040D);

    // A new process: the state starts French, with the French thread locale for good.
    tm.machine().set_setting("user", "lcid", "0x040C");
    tm.machine().set_setting("user", "langid", "0x040C");
    EXPECT_EQ(probe("state"), "language=0 langid=040C thread=040C default=0\n");
    tm.machine().set_setting("user", "lcid", "0x0407");
    tm.machine().set_setting("user", "langid", "0x0407");
    EXPECT_EQ(probe("state"), "language=0 langid=040C thread=040C default=0\n");
}

TEST_F(Language, NativeNamesAndReadingOrder) {
    EXPECT_EQ(dv::LanguageNativeName(0), L"Français");
    EXPECT_EQ(dv::LanguageNativeName(2), L"Deutsch");
    EXPECT_EQ(dv::LanguageNativeName(3), L"Español");
    EXPECT_EQ(dv::LanguageNativeName(1), L"English");
    EXPECT_EQ(dv::LanguageNativeName(16), L"עברית");
    EXPECT_TRUE(dv::IsRightToLeft(16));
    EXPECT_FALSE(dv::IsRightToLeft(0));
    EXPECT_FALSE(dv::IsRightToLeft(1));
    dv::SetLanguage(16);
    EXPECT_FALSE(dv::IsLeftToRight());
    dv::SetLanguage(0);
    EXPECT_TRUE(dv::IsLeftToRight());
}

TEST(LanguageWithoutLocaleData, FallbacksOfMissingItems) {
    // No font signatures, no native names, no locale names on this machine.
    dvtest::TempMachine tm({"switches.removed_locale_info=0x58, 0x04, 0x5C"});
    EXPECT_TRUE(dv::IsRightToLeft(16));
    EXPECT_FALSE(dv::IsRightToLeft(0));
    EXPECT_EQ(dv::LanguageNativeName(0), L"French");
    EXPECT_THROW(dv::RuntimeLocaleName(2), std::runtime_error);
    EXPECT_NO_THROW(dv::SetLanguage(2));
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
    dv::SetLanguage(0);
}

TEST_F(Language, RunTimeLocale) {
    tm.machine().set_setting("user", "langid", "0x0409");
    tm.machine().set_setting("user", "lcid", "0x0409");
    EXPECT_EQ(dv::RuntimeLocaleName(1), "");
    EXPECT_EQ(dv::RuntimeLocaleName(2), "de-DE");
    EXPECT_EQ(dv::RuntimeLocaleName(3), "es-ES");
    EXPECT_EQ(dv::RuntimeLocaleName(4), "pt-PT");
    EXPECT_EQ(probe("localename 2"), "[de-DE]\n");
    tm.machine().set_setting("windows", "major", "5");
    tm.machine().set_setting("windows", "minor", "1");
    EXPECT_EQ(probe("localename 10"), "[zh-CN]\n"); // from the ISO names on older systems

    // Collation and classification follow the language where the host has its locale; the
    // other categories stay classic, and a locale the host lacks leaves "C" behind.
    dv::SetLanguage(2);
    const std::locale global;
    EXPECT_TRUE(std::has_facet<std::numpunct<char>>(global));
    EXPECT_EQ(std::use_facet<std::numpunct<char>>(global).decimal_point(), '.');
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_STREQ(std::setlocale(LC_MONETARY, nullptr), "C");
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    EXPECT_TRUE(std::strcmp(ctype, "C") == 0 || std::strncmp(ctype, "de_DE", 5) == 0) << ctype;
}

TEST_F(Language, DataResources) {
    const dv::ResourceData version = dv::FindResourceData(MAKEINTRESOURCEW(1), RT_VERSION);
    ASSERT_NE(version.data, nullptr);
    ASSERT_GT(version.size, 92u);
    dv::imemstream in = dv::OpenResourceStream(RT_VERSION, MAKEINTRESOURCEW(1));
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, std::string(static_cast<const char*>(version.data), version.size));
    // Read in place, and seekable.
    in.clear();
    in.seekg(6);
    EXPECT_EQ(in.tellg(), 6);
    EXPECT_EQ(in.get(), static_cast<const char*>(version.data)[6]);

    const dv::ResourceData missing =
        dv::FindResourceData(MAKEINTRESOURCEW(134), MAKEINTRESOURCEW(260));
    EXPECT_EQ(missing.data, nullptr);
    EXPECT_EQ(missing.size, 0u);
    dv::imemstream none = dv::OpenResourceStream(MAKEINTRESOURCEW(260), MAKEINTRESOURCEW(134));
    EXPECT_EQ(none.peek(), std::char_traits<char>::eof());
}

} // namespace
