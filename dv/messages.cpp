#include "dv/messages.h"

#include "dv/language.h"
#include "dv/sysinfo.h"
#include "win32/error.h"
#include "win32/memory.h"
#include "win32/message.h"
#include "win32/module.h"
#include "win32/shlwapi.h"

namespace dv {

using namespace win32;

namespace {

constexpr DWORD kEFail = 0x80004005u;
constexpr DWORD VS_FF_PRERELEASE = 0x02;
constexpr WORD LANG_FRENCH = 0x0C;

// The system's text, or nothing (no message, or no memory for it).
bool system_text(DWORD code, LANGID language, std::wstring& out) {
    constexpr DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    LPWSTR buffer = nullptr;
    DWORD length = FormatMessageW(flags, nullptr, code, language, reinterpret_cast<LPWSTR>(&buffer),
                                  0, nullptr);
    if (length == 0 && GetLastError() == ERROR_RESOURCE_LANG_NOT_FOUND)
        length =
            FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 || !buffer)
        return false;
    out.assign(buffer, length);
    LocalFree(buffer);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r'))
        out.pop_back();
    return true;
}

AppNameSource g_app_name_source = nullptr;

} // namespace

std::wstring get_error_text(DWORD code, LANGID language) {
    std::wstring text;
    if (system_text(code, language, text))
        return text;
    if (code != kEFail && system_text(kEFail, language, text))
        return text;
    return L"Error";
}

std::wstring get_message_text(DWORD code) {
    if (!(code & kCustomerCodeBit))
        return get_error_text(code, 0);
    if (code & kResourceCodeBit) {
        std::wstring text = LoadResourceString(LOWORD(code));
        if (!text.empty())
            return text;
    }
    return get_error_text(kEFail, 0);
}

void set_app_name_source(AppNameSource source) {
    g_app_name_source = source;
}

std::wstring get_app_display_name() {
    if (g_app_name_source) {
        std::wstring name = g_app_name_source();
        if (!name.empty())
            return name;
    }
    FileVersionInfo info;
    info.request = FileVersionInfo::DisplayText | FileVersionInfo::FileFlags;
    if (read_version_info(info, nullptr)) {
        std::wstring name = info.displayText;
        if ((info.fileFlags & VS_FF_PRERELEASE) && PRIMARYLANGID(CurrentLangId()) != LANG_FRENCH) {
            auto at = name.find(L"bêta");
            if (at != std::wstring::npos)
                name.replace(at, 4, L"beta");
        }
        return name;
    }
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = PathFindFileNameW(path);
    const std::wstring extension = PathFindExtensionW(name.c_str());
    name.resize(name.size() - extension.size());
    return name;
}

} // namespace dv
