// dvmachine version WINPATH: what GetFileVersionInfoW and VerQueryValueW read from a file.
// dvmachine notifications: the shell change notifications recorded in the machine.
#include "win32/error.h"
#include "win32/shellnotify.h"
#include "win32/text.h"
#include "win32/version.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::string quad(win32::DWORD ms, win32::DWORD ls) {
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
           std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

std::string hex(win32::DWORD v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

} // namespace

int version_command(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        std::cerr << "usage: dvmachine [--machine DIR] version WINPATH\n";
        return 2;
    }
    std::wstring file = win32::from_utf8(args[1]);
    win32::DWORD handle = 0;
    win32::DWORD size = win32::GetFileVersionInfoSizeW(file.c_str(), &handle);
    std::vector<win32::BYTE> buffer(size);
    if (!size || !win32::GetFileVersionInfoW(file.c_str(), handle, size, buffer.data())) {
        std::cerr << "dvmachine: no version information in " << args[1] << " (error "
                  << win32::GetLastError() << ")\n";
        return 1;
    }
    void* p = nullptr;
    win32::UINT n = 0;
    std::cout << args[1] << "\n";
    if (win32::VerQueryValueW(buffer.data(), L"\\", &p, &n) &&
        n >= sizeof(win32::VS_FIXEDFILEINFO)) {
        const auto* f = static_cast<const win32::VS_FIXEDFILEINFO*>(p);
        win32::DWORD flags = f->dwFileFlags & f->dwFileFlagsMask;
        std::string names;
        const std::pair<win32::DWORD, const char*> known[] = {
            {win32::VS_FF_DEBUG, "debug"},           {win32::VS_FF_PRERELEASE, "prerelease"},
            {win32::VS_FF_PATCHED, "patched"},       {win32::VS_FF_PRIVATEBUILD, "private build"},
            {win32::VS_FF_INFOINFERRED, "inferred"}, {win32::VS_FF_SPECIALBUILD, "special build"}};
        for (auto [bit, name] : known)
            if (flags & bit)
                names += std::string(names.empty() ? " (" : ", ") + name;
        if (!names.empty())
            names += ")";
        std::cout << "  file version     " << quad(f->dwFileVersionMS, f->dwFileVersionLS) << "\n"
                  << "  product version  " << quad(f->dwProductVersionMS, f->dwProductVersionLS)
                  << "\n"
                  << "  flags            " << hex(flags, 2) << names << "\n"
                  << "  os               " << hex(f->dwFileOS, 8) << "\n"
                  << "  type             " << hex(f->dwFileType, 1) << "\n";
    }
    std::vector<std::wstring> blocks;
    if (win32::VerQueryValueW(buffer.data(), L"\\VarFileInfo\\Translation", &p, &n)) {
        const auto* t = static_cast<const win32::WORD*>(p);
        std::cout << "  translation     ";
        for (win32::UINT i = 0; i + 1 < n / 2; i += 2) {
            wchar_t key[9];
            std::swprintf(key, 9, L"%04X%04X", t[i], t[i + 1]);
            blocks.push_back(key);
            std::cout << " " << win32::to_utf8(key);
        }
        std::cout << "\n";
    }
    static const wchar_t* const names[] = {
        L"CompanyName",    L"FileDescription", L"FileVersion",      L"InternalName",
        L"LegalCopyright", L"LegalTrademarks", L"OriginalFilename", L"PrivateBuild",
        L"ProductName",    L"ProductVersion",  L"SpecialBuild",     L"Comments"};
    for (const auto& block : blocks) {
        std::cout << "  strings " << win32::to_utf8(block) << "\n";
        for (const wchar_t* name : names) {
            std::wstring query = L"\\StringFileInfo\\" + block + L"\\" + name;
            if (win32::VerQueryValueW(buffer.data(), query.c_str(), &p, &n)) {
                std::string label = win32::to_utf8(name);
                label.resize(18, ' ');
                std::cout << "    " << label << win32::to_utf8(static_cast<const wchar_t*>(p))
                          << "\n";
            }
        }
    }
    return 0;
}

int notifications_command(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        std::cerr << "usage: dvmachine [--machine DIR] notifications\n";
        return 2;
    }
    for (const auto& n : win32::read_shell_notifications()) {
        std::cout << n.time << "  pid " << n.process_id << "  " << win32::shell_event_name(n.event)
                  << "  flags " << hex(n.flags, 4);
        if (!n.item1.empty())
            std::cout << "  " << win32::to_utf8(n.item1);
        if (!n.item2.empty())
            std::cout << "  " << win32::to_utf8(n.item2);
        std::cout << "\n";
    }
    return 0;
}
