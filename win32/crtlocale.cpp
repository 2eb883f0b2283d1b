#include "win32/crtlocale.h"

#include "win32/locale.h"
#include "win32/sysinfo.h"
#include "win32/text.h"

#include <clocale>
#include <stdexcept>

namespace win32 {

namespace {

// The machine user's locale name ("en-US"), empty when the system has none.
std::string user_locale_name() {
    wchar_t name[85] = {};
    if (GetLocaleInfoW(GetUserDefaultLCID(), LOCALE_SNAME, name, 85) <= 0)
        return {};
    return to_utf8(name);
}

bool plain_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

} // namespace

std::vector<std::string> host_locale_names(std::string_view windows_name) {
    if (windows_name == "C" || windows_name == "POSIX")
        return {std::string(windows_name)};
    std::string name = windows_name.empty() ? user_locale_name() : std::string(windows_name);
    // Only a language tag maps; anything else (a path, a code-page suffix of the old
    // runtime's "Language_Country.cp" names) has no host counterpart worth guessing.
    if (name.empty() || name.size() > 84)
        return {};
    for (char c : name)
        if (!plain_name_char(c))
            return {};
    for (char& c : name)
        if (c == '-')
            c = '_';
    return {name + ".UTF-8", name + ".utf8", name};
}

const char* crt_setlocale(int category, const char* windows_name) {
    if (!windows_name)
        return std::setlocale(category, nullptr);
    for (const std::string& host : host_locale_names(windows_name))
        if (const char* set = std::setlocale(category, host.c_str()))
            return set;
    return nullptr;
}

std::locale crt_locale(std::string_view windows_name) {
    for (const std::string& host : host_locale_names(windows_name)) {
        try {
            return std::locale(host.c_str());
        } catch (const std::runtime_error&) {
        }
    }
    throw std::runtime_error("no host locale for \"" + std::string(windows_name) + "\"");
}

} // namespace win32
