// dvmachine: creates, shows and resets an emulated Windows machine, and lists what is on it.
#include "tools/dvmachine_files.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int reg_command(const std::vector<std::string>& args);
int version_command(const std::vector<std::string>& args);
int notifications_command(const std::vector<std::string>& args);

namespace {

int usage() {
    std::cerr << "usage: dvmachine [--machine DIR] init [DIR] | show | tree [WINPATH] | path "
                 "WINPATH | reset\n"
                 "       dvmachine [--machine DIR] reg query|set|delete|export ...\n"
                 "       dvmachine [--machine DIR] version WINPATH | notifications\n";
    return 2;
}

int cmd_show(win32::Machine& m) {
    std::string text;
    win32::read_whole_file(m.root() / "machine.ini", text);
    std::cout << "machine: " << m.root().string() << "\n\n" << text;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 2 && args[0] == "--machine") {
            win32::Machine::use(args[1]);
            args.erase(args.begin(), args.begin() + 2);
        }
        if (args.empty())
            return usage();
        const std::string& cmd = args[0];
        if (cmd == "init") {
            if (args.size() > 2)
                return usage();
            fs::path root = args.size() == 2 ? fs::path(args[1]) : win32::Machine::default_root();
            std::string error;
            if (!win32::Machine::create(root, &error)) {
                std::cerr << "dvmachine: " << error << "\n";
                return 1;
            }
            std::cout << "machine ready at " << fs::absolute(root).string() << "\n";
            return 0;
        }
        if (cmd == "reg")
            return reg_command(args);
        if (cmd == "version")
            return version_command(args);
        if (cmd == "notifications")
            return notifications_command(args);
        if (cmd == "show" && args.size() == 1)
            return cmd_show(win32::Machine::current());
        if (cmd == "tree" && args.size() <= 2)
            return dvmachine_tree(win32::Machine::current(),
                                  args.size() == 2 ? win32::from_utf8(args[1]) : L"C:\\");
        if (cmd == "path" && args.size() == 2) {
            win32::HostPath hp;
            if (win32::DWORD e =
                    win32::Machine::current().map(win32::from_utf8(args[1]), hp, 32768)) {
                std::cerr << "dvmachine: invalid Windows path (error " << e << ")\n";
                return 1;
            }
            std::cout << hp.host.string() << "\n";
            return 0;
        }
        if (cmd == "reset" && args.size() == 1) {
            fs::path root = win32::Machine::default_root();
            if (fs::exists(root) && !fs::exists(root / "machine.ini")) {
                std::cerr << "dvmachine: " << root.string()
                          << " is not a machine; not removing it\n";
                return 1;
            }
            std::error_code ec;
            fs::remove_all(root, ec);
            std::string error;
            if (ec || !win32::Machine::create(root, &error)) {
                std::cerr << "dvmachine: cannot reset " << root.string() << ": "
                          << (ec ? ec.message() : error) << "\n";
                return 1;
            }
            std::cout << "machine reset at " << root.string() << "\n";
            return 0;
        }
        return usage();
    } catch (const std::exception& e) {
        std::cerr << "dvmachine: " << e.what() << "\n";
        return 1;
    }
}
