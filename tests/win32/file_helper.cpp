// A second process for the file tests: it opens files of the machine named by DV_MACHINE and
// reports what it saw on stdout, one line per request.
//   file_helper attributes WINPATH          prints the attributes (decimal) or "error N"
//   file_helper hold WINPATH ACCESS SHARE   opens (OPEN_ALWAYS), prints "open" or
//                                           "error N", and keeps the handle until stdin ends
#include "win32/error.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/text.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    using namespace win32;
    if (argc < 3)
        return 2;
    std::string cmd = argv[1];
    std::wstring path = from_utf8(argv[2]);
    if (cmd == "attributes") {
        DWORD a = GetFileAttributesW(path.c_str());
        if (a == INVALID_FILE_ATTRIBUTES)
            std::printf("error %u\n", GetLastError());
        else
            std::printf("%u\n", a);
        return 0;
    }
    if (cmd == "hold" && argc == 5) {
        DWORD access = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0));
        DWORD share = static_cast<DWORD>(std::strtoul(argv[4], nullptr, 0));
        HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::printf("error %u\n", GetLastError());
            return 0;
        }
        std::printf("open\n");
        std::fflush(stdout);
        while (std::fgetc(stdin) != EOF) {
        }
        CloseHandle(h);
        return 0;
    }
    return 2;
}
