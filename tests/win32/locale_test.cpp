#include "tests/support/temp_machine.h"
#include "win32/crtlocale.h"
#include "win32/error.h"
#include "win32/locale.h"
#include "win32/text.h"

#include <clocale>
#include <cstring>
#include <gtest/gtest.h>
#include <locale>
#include <stdexcept>
#include <string>
#include <vector>

using namespace win32;

namespace {

std::wstring info(LCID lcid, LCTYPE type) {
    wchar_t buf[128];
    int n = GetLocaleInfoW(lcid, type, buf, 128);
    return n > 0 ? std::wstring(buf, static_cast<std::size_t>(n - 1)) : L"<failed>";
}

bool right_to_left(LCID lcid) {
    wchar_t sig[16]; // as the program asks: 16 characters
    EXPECT_GT(GetLocaleInfoW(lcid, LOCALE_FONTSIGNATURE, sig, 16), 0);
    LOCALESIGNATURE ls;
    std::memcpy(&ls, sig, sizeof ls);
    return (ls.lsUsb[3] >> 27) & 1;
}

using Locale = dvtest::MachineTest;

TEST_F(Locale, NamesAndDirectionOfTheInstallerLanguages) {
    struct Case {
        LCID lcid;
        const wchar_t* name;
        const wchar_t* native;
        bool rtl;
    };
    const Case cases[] = {
        {0x040C, L"fr-FR", L"français", false},   {0x0409, L"en-US", L"English", false},
        {0x0407, L"de-DE", L"Deutsch", false},    {0x0C0A, L"es-ES", L"español", false},
        {0x0816, L"pt-PT", L"português", false},  {0x0413, L"nl-NL", L"Nederlands", false},
        {0x0406, L"da-DK", L"dansk", false},      {0x041F, L"tr-TR", L"Türkçe", false},
        {0x0402, L"bg-BG", L"български", false},  {0x0418, L"ro-RO", L"română", false},
        {0x0804, L"zh-CN", L"中文", false},       {0x0410, L"it-IT", L"italiano", false},
        {0x0405, L"cs-CZ", L"čeština", false},    {0x0414, L"nb-NO", L"norsk bokmål", false},
        {0x0408, L"el-GR", L"Ελληνικά", false},   {0x040D, L"he-IL", L"עברית", true},
        {0x042A, L"vi-VN", L"Tiếng Việt", false}, {0x0415, L"pl-PL", L"polski", false},
        {0x0401, L"ar-SA", L"العربية", true},
    };
    for (const auto& c : cases) {
        std::wstring name = c.name;
        EXPECT_EQ(info(c.lcid, LOCALE_SNAME), name);
        EXPECT_EQ(info(c.lcid, LOCALE_SISO639LANGNAME), name.substr(0, 2));
        EXPECT_EQ(info(c.lcid, LOCALE_SISO3166CTRYNAME), name.substr(3));
        EXPECT_EQ(info(c.lcid, LOCALE_SNATIVELANGNAME), c.native) << to_utf8(name);
        EXPECT_EQ(right_to_left(c.lcid), c.rtl) << to_utf8(name);
    }
    EXPECT_EQ(info(0x040A, LOCALE_SNAME), L"es-ES"); // the traditional sort names the same locale
    EXPECT_EQ(info(0x0408, LOCALE_IDEFAULTANSICODEPAGE), L"1253");
    EXPECT_EQ(info(0x0407, LOCALE_ILANGUAGE), L"0407");
    DWORD cp = 0;
    EXPECT_EQ(GetLocaleInfoW(0x0405, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                             reinterpret_cast<LPWSTR>(&cp), sizeof cp / sizeof(wchar_t)),
              1);
    EXPECT_EQ(cp, 1250u);
}

TEST_F(Locale, BuffersAndErrors) {
    EXPECT_EQ(GetLocaleInfoW(0x0407, LOCALE_SNAME, nullptr, 0), 6);
    wchar_t small[5];
    EXPECT_EQ(GetLocaleInfoW(0x0407, LOCALE_SNAME, small, 5), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(GetLocaleInfoW(0x0407, 0x7777, small, 5), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    EXPECT_EQ(GetLocaleInfoW(0x7777, LOCALE_SNAME, small, 5), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetThreadLocale(0x7777));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(LocaleOfTheUser, DefaultsComeFromTheMachine) {
    dvtest::TempMachine tm({"user.lcid=0x0407", "user.langid=0x0407"});
    EXPECT_EQ(info(LOCALE_USER_DEFAULT, LOCALE_SNAME), L"de-DE");
    EXPECT_EQ(GetThreadLocale(), 0x0407u);
    ASSERT_TRUE(SetThreadLocale(0x040C));
    EXPECT_EQ(GetThreadLocale(), 0x040Cu);
    EXPECT_EQ(GetOEMCP(), 850u);
    SetThreadLocale(LOCALE_USER_DEFAULT);
    EXPECT_EQ(GetThreadLocale(), 0x0407u);
}

std::wstring to_wide(UINT cp, const std::string& bytes, DWORD flags = 0, DWORD* error = nullptr) {
    wchar_t buf[64];
    int n = MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), buf, 64);
    if (error)
        *error = n ? 0 : GetLastError();
    return n ? std::wstring(buf, static_cast<std::size_t>(n)) : L"<failed>";
}

TEST(LocaleOfTheMachine, RemovedItemFailsAsAnUnknownType) {
    dvtest::TempMachine tm({"switches.removed_locale_info=0x58, 92"});
    wchar_t buf[16];
    EXPECT_EQ(GetLocaleInfoW(0x040D, LOCALE_FONTSIGNATURE, buf, 16), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    EXPECT_EQ(info(0x0407, LOCALE_SNAME), L"<failed>");
    EXPECT_EQ(info(0x0407, LOCALE_SISO639LANGNAME), L"de");
}

TEST(RuntimeLocale, WindowsNamesStandForHostNames) {
    dvtest::TempMachine tm({"user.langid=0x0407", "user.lcid=0x0407"});
    using Names = std::vector<std::string>;
    EXPECT_EQ(host_locale_names("de-DE"), (Names{"de_DE.UTF-8", "de_DE.utf8", "de_DE"}));
    // The user's own settings are the machine's user, not the host's LANG.
    EXPECT_EQ(host_locale_names(""), (Names{"de_DE.UTF-8", "de_DE.utf8", "de_DE"}));
    EXPECT_EQ(host_locale_names("C"), (Names{"C"}));
    EXPECT_TRUE(host_locale_names("../../etc/x").empty());
    EXPECT_TRUE(host_locale_names("German_Germany.1252").empty());

    // A name no host has leaves the locale as it was.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    EXPECT_EQ(crt_setlocale(LC_CTYPE, "xx-QQ"), nullptr);
    EXPECT_STREQ(crt_setlocale(LC_CTYPE, nullptr), "C");
    EXPECT_THROW(crt_locale("xx-QQ"), std::runtime_error);
    EXPECT_EQ(crt_locale("C"), std::locale::classic());
}

TEST_F(Locale, AnsiTextThroughTheMachinesCodePage) {
    EXPECT_EQ(GetACP(), 1252u);
    EXPECT_EQ(to_wide(CP_ACP, "\xE9t\xE9 \x80 \x9C"), L"été € œ");
    EXPECT_EQ(to_wide(CP_UTF8, "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"), L"été €");
    EXPECT_EQ(to_wide(CP_UTF8, "a\xFF"
                               "b\xC0\xAF"),
              L"a\xFFFD"
              L"b\xFFFD\xFFFD");
    DWORD error = 0;
    to_wide(CP_UTF8, "a\xFF", MB_ERR_INVALID_CHARS, &error);
    EXPECT_EQ(error, ERROR_NO_UNICODE_TRANSLATION);
    to_wide(CP_UTF8, "a", MB_PRECOMPOSED, &error);
    EXPECT_EQ(error, ERROR_INVALID_FLAGS);
    to_wide(12345, "a", 0, &error);
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);

    // Sizes: -1 counts the null, 0 asks for the size, a short buffer fails.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x80uro", -1, nullptr, 0), 5);
    wchar_t two[2];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, two, 2), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    char out[16];
    BOOL used = TRUE;
    int n = WideCharToMultiByte(CP_ACP, 0, L"é€ш", 3, out, 16, nullptr, &used);
    EXPECT_EQ(std::string(out, static_cast<std::size_t>(n)), "\xE9\x80?");
    EXPECT_TRUE(used);
}

TEST(LocaleOfTheMachine, AnotherAnsiCodePage) {
    dvtest::TempMachine tm({"system.ansi_code_page=1251"});
    EXPECT_EQ(to_wide(CP_ACP, "\xCF\xF0\xE8"), L"При");
}

TEST(Characters, UpperNextAndIntlEqual) {
    wchar_t name[] = L"français";
    CharUpperBuffW(name, static_cast<DWORD>(CharNextW(name) - name));
    EXPECT_STREQ(name, L"Français");
    const wchar_t* combined = L"e\u0301\u0302x";
    EXPECT_EQ(CharNextW(combined), combined + 3);
    EXPECT_EQ(CharNextW(combined + 4), combined + 4); // at the end it stays

    EXPECT_TRUE(StrIsIntlEqualW(FALSE, L"Program Files", L"PROGRAM files\\x", 13));
    EXPECT_FALSE(StrIsIntlEqualW(TRUE, L"Program Files", L"PROGRAM files", 13));
    EXPECT_FALSE(StrIsIntlEqualW(FALSE, L"abc", L"abd", 3));
    EXPECT_TRUE(StrIsIntlEqualW(FALSE, L"ab", L"AB", 10));
    EXPECT_FALSE(StrIsIntlEqualW(FALSE, L"ab", L"abc", 10));
}

} // namespace
