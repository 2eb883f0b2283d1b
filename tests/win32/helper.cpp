// A second process for the tests of named objects and processes.
//
//   helper serve            reads commands on stdin, answers one line each on stdout:
//                           create-mutex NAME OWNER | open-mutex NAME | create-sem NAME INIT MAX |
//                           open-sem NAME | wait MS | release-mutex | release-sem N | close |
//                           exit CODE
//   helper exit CODE        ends with ExitProcess(CODE)
//   helper hold NAME CODE   waits until it obtains the named mutex, then ends with CODE
//   helper report FILE ...  writes what it was started with to the host file FILE, then ends 0
#include "win32/machine.h"
#include "win32/process.h"
#include "win32/sync.h"
#include "win32/text.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

using namespace win32;

namespace {

int serve() {
    HANDLE h = nullptr;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, name;
        in >> cmd;
        std::ostringstream out;
        if (cmd == "create-mutex" || cmd == "open-mutex" || cmd == "create-sem" ||
            cmd == "open-sem") {
            in >> name;
            std::wstring wname = from_utf8(name);
            if (cmd == "create-mutex") {
                int owner = 0;
                in >> owner;
                h = CreateMutexW(nullptr, owner, wname.c_str());
            } else if (cmd == "open-mutex") {
                h = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, wname.c_str());
            } else if (cmd == "create-sem") {
                LONG initial = 0, maximum = 0;
                in >> initial >> maximum;
                h = CreateSemaphoreW(nullptr, initial, maximum, wname.c_str());
            } else {
                h = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, wname.c_str());
            }
            out << (h ? "ok " : "fail ") << GetLastError();
        } else if (cmd == "wait") {
            DWORD ms = 0;
            in >> ms;
            out << WaitForSingleObject(h, ms);
        } else if (cmd == "release-mutex") {
            BOOL ok = ReleaseMutex(h);
            out << ok << " " << (ok ? 0 : GetLastError());
        } else if (cmd == "release-sem") {
            LONG n = 0, previous = -1;
            in >> n;
            BOOL ok = ReleaseSemaphore(h, n, &previous);
            out << ok << " " << (ok ? previous : static_cast<LONG>(GetLastError()));
        } else if (cmd == "close") {
            out << CloseHandle(h);
            h = nullptr;
        } else if (cmd == "exit") {
            int code = 0;
            in >> code;
            ExitProcess(static_cast<UINT>(code));
        } else {
            out << "unknown";
        }
        std::cout << out.str() << std::endl;
    }
    return 0;
}

int report(const char* file, int argc, char** argv) {
    std::ofstream out(file, std::ios::binary);
    const char* machine = std::getenv("DV_MACHINE");
    const char* show = std::getenv("DV_SHOW_WINDOW");
    out << "machine=" << (machine ? machine : "") << "\n";
    out << "cwd=" << to_utf8(Machine::current().current_directory()) << "\n";
    out << "show=" << (show ? show : "") << "\n";
    out << "cmdline=" << to_utf8(GetCommandLineW()) << "\n";
    for (int i = 0; i < argc; ++i)
        out << "arg=" << argv[i] << "\n";
    return out ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    // Started by an unquoted path with blanks, the path itself spans several arguments: the
    // mode is the first known word.
    int at = 1;
    while (at < argc && std::string(argv[at]) != "serve" && std::string(argv[at]) != "exit" &&
           std::string(argv[at]) != "hold" && std::string(argv[at]) != "report")
        ++at;
    std::string mode = at < argc ? argv[at] : "";
    int rest = argc - at;
    if (mode == "serve")
        return serve();
    if (mode == "exit" && rest == 2)
        ExitProcess(static_cast<UINT>(std::atoi(argv[at + 1])));
    if (mode == "hold" && rest == 3) {
        HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, from_utf8(argv[at + 1]).c_str());
        if (!h || WaitForSingleObject(h, INFINITE) == WAIT_FAILED)
            return 100;
        ExitProcess(static_cast<UINT>(std::atoi(argv[at + 2])));
    }
    if (mode == "report" && rest >= 2)
        return report(argv[at + 1], argc, argv);
    std::cerr << "usage: helper serve | exit CODE | hold NAME CODE | report FILE [ARGS...]\n";
    return 2;
}
