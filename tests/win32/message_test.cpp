#include "tests/support/temp_machine.h"
#include "win32/error.h"
#include "win32/memory.h"
#include "win32/message.h"
#include "win32/shellnotify.h"
#include "win32/text.h"

#include <cstdarg>
#include <gtest/gtest.h>
#include <string>

using namespace win32;

namespace {

// What the program's error-text helper does: the system text, inserts ignored, trimmed.
std::wstring system_text(DWORD code, DWORD language = 0, DWORD* error = nullptr) {
    LPWSTR text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             nullptr, code, language, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (error)
        *error = n ? 0 : GetLastError();
    if (!n)
        return L"<none>";
    std::wstring out(text, n);
    EXPECT_EQ(LocalFree(text), nullptr);
    return out;
}

TEST(SystemMessages, EveryCodeTheProgramMeetsHasOneLineEndingInCrLf) {
    const DWORD codes[] = {
        0,           1,           2,           3,          5,           6,           8,
        14,          32,          50,          80,         87,          112,         122,
        123,         126,         127,         145,        161,         170,         183,
        193,         206,         267,         288,        298,         1223,        1314,
        1812,        1813,        1814,        1815,       0x80004005u, 0x80004001u, 0x80070057u,
        0x80070005u, 0x8007000Eu, 0x80004002u, 0x80004003u};
    for (DWORD code : codes) {
        std::wstring text = system_text(code);
        ASSERT_GE(text.size(), 4u) << std::hex << code;
        EXPECT_EQ(text.substr(text.size() - 2), L"\r\n") << std::hex << code;
        EXPECT_EQ(text.find_first_of(L"\r\n"), text.size() - 2) << std::hex << code;
    }
    // An HRESULT of the Win32 facility reads as its Win32 code.
    EXPECT_EQ(system_text(0x80070005u), system_text(5));
    EXPECT_EQ(system_text(0x8007000Eu), system_text(ERROR_OUTOFMEMORY));
    EXPECT_NE(system_text(5), system_text(32));
}

TEST(SystemMessages, TrimmedTextsAndLanguages) {
    auto trimmed = [](DWORD code) {
        std::wstring t = system_text(code);
        while (!t.empty() && (t.back() == L'\r' || t.back() == L'\n'))
            t.pop_back();
        return t;
    };
    EXPECT_EQ(trimmed(5), L"Access is refused.");
    EXPECT_EQ(trimmed(32), L"The file cannot be used: another process has it open.");
    EXPECT_EQ(trimmed(161), L"The path given is not valid.");
    EXPECT_EQ(trimmed(170), L"The resource asked for is in use.");
    EXPECT_EQ(trimmed(0x80004005u), L"Unspecified error");
    EXPECT_EQ(trimmed(193), L"%1 is not a program this system can run."); // insert kept

    DWORD error = 0;
    EXPECT_EQ(system_text(5, 0x0409, &error), system_text(5));
    EXPECT_EQ(system_text(5, 0x0809, &error), system_text(5));
    EXPECT_EQ(system_text(5, 0x0400, &error), system_text(5));
    system_text(5, 0x040C, &error);
    EXPECT_EQ(error, ERROR_RESOURCE_LANG_NOT_FOUND);
    system_text(0x0BADC0DEu, 0, &error);
    EXPECT_EQ(error, ERROR_MR_MID_NOT_FOUND);
    system_text(5, 0x0BAD0409u, &error);
    EXPECT_EQ(error, ERROR_RESOURCE_LANG_NOT_FOUND);
}

std::wstring from_array(const wchar_t* format, std::initializer_list<DWORD_PTR> args,
                        DWORD flags = 0, DWORD* error = nullptr) {
    wchar_t buf[256];
    const DWORD_PTR* array = args.size() ? args.begin() : nullptr;
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | flags, format,
                       0, 0, buf, 256, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(array)));
    if (error)
        *error = n ? 0 : GetLastError();
    return n ? std::wstring(buf, n) : L"<failed>";
}

std::wstring from_va(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    wchar_t buf[256];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING, format, 0, 0, buf, 256, &args);
    va_end(args);
    return n ? std::wstring(buf, n) : L"<failed>";
}

TEST(FormatFromString, InsertsAndEscapes) {
    auto s = [](const wchar_t* w) { return reinterpret_cast<DWORD_PTR>(w); };
    struct Case {
        const wchar_t* format;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"Update from '%1' to '%2'.", L"Update from 'Marquetta 6.05e' to 'Marquetta 6.05f'."},
        {L"%2 %1 %2", L"Marquetta 6.05f Marquetta 6.05e Marquetta 6.05f"},
        {L"100%% sure%n", L"100% sure\r\n"},
        {L"a%rb%tc%.%!% d", L"a\rb\tc.! d"},
        {L"kept%0 dropped", L"kept"},
        {L"Line one\r\nLine two", L"Line one\r\nLine two"},
        {L"%3!d! files, %4!08X!, [%1!-16s!]", L"-3 files, 0000BEEF, [Marquetta 6.05e ]"},
        {L"%%1 is not an insert", L"%1 is not an insert"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(from_array(c.format, {s(L"Marquetta 6.05e"), s(L"Marquetta 6.05f"),
                                        static_cast<DWORD_PTR>(-3), 0xBEEF}),
                  c.expected)
            << to_utf8(c.format);

    EXPECT_EQ(from_va(L"'%1' (%2!u!) %3!hs!", L"wide", 42u, "narrow"), L"'wide' (42) narrow");
    EXPECT_EQ(from_array(L"Keep %1 and %2!d!%n", {}, FORMAT_MESSAGE_IGNORE_INSERTS),
              L"Keep %1 and %2!d!\r\n");
    EXPECT_EQ(from_array(L"one\r\ntwo%nthree", {}, FORMAT_MESSAGE_MAX_WIDTH_MASK),
              L"one two\r\nthree");

    DWORD error = 0;
    from_array(L"needs %1", {}, 0, &error);
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    from_array(L"bad %1!q! format", {s(L"x")}, 0, &error);
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);

    wchar_t small[5];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, L"12345", 0, 0, small, 5, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, L"1234", 0, 0, small, 5, nullptr), 4u);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, nullptr, 5, 0, small, 5, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

using ShellNotify = dvtest::MachineTest;

TEST_F(ShellNotify, NotificationsAreRecordedInTheMachine) {
    EXPECT_TRUE(read_shell_notifications().empty());
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST | SHCNF_FLUSH, nullptr, nullptr);
    SHChangeNotify(SHCNE_RENAMEITEM, SHCNF_PATHW, L"C:\\a\tb.lnk",
                   L"C:\\Users\\Public\\Desktop\\ü.lnk");
    auto log = read_shell_notifications();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].event, SHCNE_ASSOCCHANGED);
    EXPECT_EQ(log[0].flags, SHCNF_FLUSH);
    EXPECT_EQ(log[0].process_id, static_cast<DWORD>(getpid()));
    EXPECT_EQ(log[0].item1, L"");
    EXPECT_EQ(shell_event_name(log[0].event), "ASSOCCHANGED");
    EXPECT_EQ(log[1].item1, L"C:\\a b.lnk");
    EXPECT_EQ(log[1].item2, L"C:\\Users\\Public\\Desktop\\ü.lnk");
}

} // namespace
