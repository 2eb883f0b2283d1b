#include "dv/language.h"
#include "dv/messages.h"
#include "tests/support/temp_machine.h"
#include "tests/win32/helper_client.h"
#include "win32/memory.h"
#include "win32/message.h"

#include <gtest/gtest.h>
#include <string>

using namespace win32;

namespace {

// The system's text for `code` as FormatMessageW gives it (with its line break).
std::wstring raw_text(DWORD code) {
    LPWSTR buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", n);
    LocalFree(buffer);
    return text;
}

std::wstring trimmed(DWORD code) {
    std::wstring text = raw_text(code);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    return text;
}

using Messages = dvtest::MachineTest;

TEST_F(Messages, SystemTextsWithoutLineBreaks) {
    const std::wstring busy = raw_text(ERROR_BUSY);
    ASSERT_GE(busy.size(), 3u);
    ASSERT_EQ(busy.substr(busy.size() - 2), L"\r\n");
    ASSERT_FALSE(trimmed(0x80004005u).empty());

    const struct {
        DWORD code;
        LANGID language;
        std::wstring expected;
    } cases[] = {
        {ERROR_BUSY, 0, busy.substr(0, busy.size() - 2)},
        // A language the system has no texts in: its default choice.
        {ERROR_BUSY, 0x040C, busy.substr(0, busy.size() - 2)},
        {0x80070005u, 0, trimmed(ERROR_ACCESS_DENIED)},
        // No text for the code: that of E_FAIL.
        {0x2000FFFFu, 0, trimmed(0x80004005u)},
        {0x2000FFFFu, 0x040C, trimmed(0x80004005u)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(dv::get_error_text(c.code, c.language), c.expected);
    }
}

TEST_F(Messages, ProgramCodesNameStringResources) {
    const std::wstring failed = dv::get_error_text(0x80004005u, 0);
    EXPECT_EQ(dv::get_message_text(0x28000000u | 1126),
              L"Vous devez disposer des droits d'administrateur pour procéder à l'installation.");
    EXPECT_EQ(dv::get_message_text(0x28000000u | 999), failed);  // no such string
    EXPECT_EQ(dv::get_message_text(0x20000000u | 1126), failed); // not a resource code
    EXPECT_EQ(dv::get_message_text(ERROR_BUSY), dv::get_error_text(ERROR_BUSY, 0));
}

std::wstring application_name() {
    return L"Marquetta 6.05f Installation";
}

TEST_F(Messages, DisplayNameOfAPreReleaseBuild) {
    const struct {
        dv::LanguageIndex language;
        const wchar_t* expected;
    } cases[] = {
        {1, L"Marquetta beta 6.05f (bêta)"},
        {2, L"Marquetta beta 6.05f (bêta)"},
        {0, L"Marquetta bêta 6.05f (bêta)"},
    };
    for (const auto& c : cases) {
        dv::SetLanguage(c.language);
        EXPECT_EQ(dv::get_app_display_name(), c.expected) << c.language;
    }
    dv::set_app_name_source(application_name);
    EXPECT_EQ(dv::get_app_display_name(), application_name());
    dv::set_app_name_source(nullptr);
}

TEST_F(Messages, DisplayNameOfAProgramWithoutVersion) {
    dvtest::HelperProcess probe; // tests/dv/sync_probe.cpp
    EXPECT_EQ(probe.ask("app-name"), "dv_sync_probe");
}

} // namespace
