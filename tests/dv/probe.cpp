// Runs one dv call in a process of its own and prints what it saw.
//   dv_probe load NAME       the loaded module's path, or error=N
//   dv_probe vista | windir | state | localename INDEX | string ID

#include "dv/language.h"
#include "dv/sysinfo.h"
#include "win32/error.h"
#include "win32/locale.h"
#include "win32/module.h"
#include "win32/text.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

using namespace win32;

namespace {

void print(const std::wstring& text) {
    std::printf("%s\n", to_utf8(text).c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const std::string what = argv[1];
    const std::wstring arg = argc > 2 ? from_utf8(argv[2]) : std::wstring();
    if (what == "load") {
        HMODULE module = dv::load_system_library(arg.c_str());
        if (!module) {
            std::printf("error=%u\n", GetLastError());
            return 0;
        }
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(module, path, MAX_PATH);
        print(path);
    } else if (what == "vista") {
        std::printf("%d\n", dv::is_vista_or_later() ? 1 : 0);
    } else if (what == "windir") {
        wchar_t dir[261];
        dv::get_system_windows_dir(dir);
        print(dir);
    } else if (what == "state") {
        // The first call makes the state; nothing has chosen a language yet.
        const dv::LanguageIndex index = dv::CurrentLanguage();
        std::printf("language=%d langid=%04X thread=%04X default=%d\n", index, dv::CurrentLangId(),
                    GetThreadLocale(), dv::LanguageFromUserDefault(0));
    } else if (what == "localename") {
        try {
            std::printf("[%s]\n", dv::RuntimeLocaleName(std::atoi(argv[2])).c_str());
        } catch (const std::runtime_error& e) {
            std::printf("%s\n", e.what());
        }
    } else if (what == "string") {
        const std::wstring text = dv::LoadResourceString(static_cast<WORD>(std::atoi(argv[2])));
        print(text.empty() ? L"<empty>" : text);
    } else {
        return 2;
    }
    return 0;
}
