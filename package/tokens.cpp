#include "package/tokens.h"

#include "package/errors.h"
#include "win32/machine.h"
#include "win32/sysinfo.h"

#include <string_view>
#include <system_error>
#include <vector>

namespace dv {
namespace {

[[noreturn]] void unexpected(const char* what) {
    throw std::system_error(make_error_code(compress_error::unexpected_error), what);
}

std::vector<std::wstring> split_elements(const std::wstring& path) {
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos)
            end = path.size();
        // Doubled or trailing separators make no element of their own.
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::wstring desktop_folder() {
    return folder_path(win32::CSIDL_COMMON_DESKTOPDIRECTORY, win32::CSIDL_DESKTOPDIRECTORY);
}

// Absolute in the Windows sense: a drive or server part and a root backslash.
bool is_absolute(const std::wstring& p) {
    bool drive_rooted = p.size() >= 3 && p[1] == L':' && (p[2] == L'\\' || p[2] == L'/');
    bool unc = p.size() >= 3 && (p[0] == L'\\' || p[0] == L'/') && (p[1] == L'\\' || p[1] == L'/');
    return drive_rooted || unc;
}

std::wstring sample_folder(const std::wstring& configured) {
    if (configured.empty())
        return desktop_folder();
    if (is_absolute(configured))
        return configured;
    return join_path(desktop_folder(), configured);
}

std::wstring token_folder(std::wstring_view token, const path_table& paths) {
    using namespace win32;
    if (token == L"<InstallPath>")
        return paths[0];
    if (token == L"<SamplePath>")
        return sample_folder(paths[1]);
    if (token == L"<ProgramFiles>")
        return folder_path(CSIDL_PROGRAM_FILES);
    if (token == L"<ProgramCommon>")
        return folder_path(CSIDL_PROGRAM_FILES_COMMON);
    if (token == L"<CommonData>")
        return folder_path(CSIDL_COMMON_APPDATA, CSIDL_APPDATA);
    if (token == L"<UserData>")
        return folder_path(CSIDL_APPDATA);
    if (token == L"<CommonDocuments>")
        return folder_path(CSIDL_COMMON_DOCUMENTS, CSIDL_PERSONAL);
    if (token == L"<Documents>")
        return folder_path(CSIDL_PERSONAL);
    if (token == L"<CommonDesktop>")
        return folder_path(CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY);
    if (token == L"<Desktop>")
        return folder_path(CSIDL_DESKTOPDIRECTORY);
    if (token == L"<WinDir>")
        return folder_path(CSIDL_WINDOWS);
    if (token == L"<System>")
        return folder_path(CSIDL_SYSTEM);
    if (token == L"<Temporary>")
        return paths[2].empty() ? paths[0] : paths[2];
    // An unknown token would leave a path relative to whatever the current folder is; a
    // package that names one is damaged, so nothing of it is written.
    unexpected("unknown destination token");
}

std::wstring query_folder(int csidl) {
    wchar_t buffer[win32::MAX_PATH] = {};
    // Only the buffer counts: a folder the shell cannot give leaves it empty. These folders
    // never need the shell to ask the user anything, so no owner window is passed.
    win32::SHGetFolderPathW(nullptr, csidl, nullptr, win32::SHGFP_TYPE_CURRENT, buffer);
    buffer[win32::MAX_PATH - 1] = L'\0';
    return buffer;
}

} // namespace

std::wstring join_path(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty())
        return name;
    if (folder.back() == L'\\' || folder.back() == L'/')
        return folder + name;
    return folder + L'\\' + name;
}

std::wstring folder_path(int csidl, std::optional<int> fallback) {
    std::wstring path = query_folder(csidl);
    if (path.empty() && fallback)
        path = query_folder(*fallback);
    if (path.empty())
        unexpected("shell folder not available");
    return path;
}

std::wstring expand_destination(const std::wstring& templ, const path_table& paths) {
    std::vector<std::wstring> parts = split_elements(templ);
    if (parts.empty())
        return templ;
    const std::wstring& first = parts.front();
    if (first.size() < 2 || first.front() != L'<' || first.back() != L'>')
        return templ;
    std::wstring result = token_folder(first, paths);
    for (std::size_t i = 1; i < parts.size(); ++i)
        result = join_path(result, parts[i]);
    return result;
}

} // namespace dv
