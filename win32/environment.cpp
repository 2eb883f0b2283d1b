#include "win32/environment.h"

#include "win32/error.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <cstring>

namespace win32 {

bool machine_environment_variable(std::wstring_view name, std::wstring& value) {
    const Machine& m = Machine::current();
    const std::wstring profile = m.user_profile();
    const struct {
        const wchar_t* name;
        std::wstring value;
    } vars[] = {
        {L"SystemRoot", m.windows_dir()},
        {L"windir", m.windows_dir()},
        {L"SystemDrive", L"C:"},
        {L"ProgramFiles", m.shell_folder(CSIDL_PROGRAM_FILES)},
        {L"CommonProgramFiles", m.shell_folder(CSIDL_PROGRAM_FILES_COMMON)},
        {L"ProgramData", m.shell_folder(CSIDL_COMMON_APPDATA)},
        {L"ALLUSERSPROFILE", m.shell_folder(CSIDL_COMMON_APPDATA)},
        {L"PUBLIC", L"C:\\Users\\Public"},
        {L"USERPROFILE", profile},
        {L"HOMEDRIVE", L"C:"},
        {L"HOMEPATH", profile.substr(2)},
        {L"APPDATA", m.shell_folder(CSIDL_APPDATA)},
        {L"LOCALAPPDATA", m.shell_folder(CSIDL_LOCAL_APPDATA)},
        {L"TEMP", m.shell_folder(CSIDL_LOCAL_APPDATA) + L"\\Temp"},
        {L"TMP", m.shell_folder(CSIDL_LOCAL_APPDATA) + L"\\Temp"},
        {L"USERNAME", m.user_name()},
        {L"OS", L"Windows_NT"},
    };
    for (const auto& v : vars) {
        if (iequals(name, v.name)) {
            value = v.value;
            return true;
        }
    }
    return false;
}

std::wstring expand_environment_strings(std::wstring_view text) {
    std::wstring out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto open = text.find(L'%', pos);
        if (open == std::wstring_view::npos) {
            out += text.substr(pos);
            break;
        }
        out += text.substr(pos, open - pos);
        auto close = text.find(L'%', open + 1);
        if (close == std::wstring_view::npos) {
            out += text.substr(open);
            break;
        }
        std::wstring value;
        if (close > open + 1 &&
            machine_environment_variable(text.substr(open + 1, close - open - 1), value)) {
            out += value;
            pos = close + 1;
        } else {
            // Not a variable: the first '%' stays, and the second may open the next name.
            out += L'%';
            pos = open + 1;
            out += text.substr(pos, close - pos);
            pos = close;
        }
    }
    return out;
}

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
    if (!source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring out = expand_environment_strings(source);
    auto needed = static_cast<DWORD>(out.size() + 1);
    if (destination && size >= needed)
        std::memcpy(destination, out.c_str(), needed * sizeof(wchar_t));
    return needed;
}

} // namespace win32
