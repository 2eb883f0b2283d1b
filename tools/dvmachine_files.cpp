#include "tools/dvmachine_files.h"

#include "win32/files.h"
#include "win32/text.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string attribute_letters(win32::DWORD a) {
    if (a == win32::INVALID_FILE_ATTRIBUTES)
        return "????";
    std::string s = "----";
    if (a & win32::FILE_ATTRIBUTE_READONLY)
        s[0] = 'R';
    if (a & win32::FILE_ATTRIBUTE_HIDDEN)
        s[1] = 'H';
    if (a & win32::FILE_ATTRIBUTE_SYSTEM)
        s[2] = 'S';
    if (a & win32::FILE_ATTRIBUTE_ARCHIVE)
        s[3] = 'A';
    return s;
}

void print_tree(const fs::path& host, int depth) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(host, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    // Windows order: by name, whatever the case.
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return win32::upper(win32::from_utf8(a.path().filename().string())) <
               win32::upper(win32::from_utf8(b.path().filename().string()));
    });
    for (const auto& e : entries) {
        bool dir = e.is_directory(ec);
        std::cout << std::string(static_cast<std::size_t>(depth) * 2, ' ')
                  << attribute_letters(win32::host_file_attributes(e.path()))
                  << (dir ? " [D] " : "     ") << e.path().filename().string();
        if (!dir)
            std::cout << "  (" << e.file_size(ec) << " bytes)";
        std::cout << "\n";
        if (dir)
            print_tree(e.path(), depth + 1);
    }
}

} // namespace

int dvmachine_tree(win32::Machine& m, const std::wstring& win) {
    win32::HostPath hp;
    if (win32::DWORD e = m.map(win, hp, 32768);
        e != 0 || !hp.exists || !fs::is_directory(hp.host)) {
        std::cerr << "dvmachine: no such folder: " << win32::to_utf8(win) << "\n";
        return 1;
    }
    std::cout << win32::to_utf8(hp.full) << "\n";
    print_tree(hp.host, 1);
    return 0;
}
