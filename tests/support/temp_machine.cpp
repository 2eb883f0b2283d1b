#include "tests/support/temp_machine.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace dvtest {

TempMachine::TempMachine(std::initializer_list<std::string> ini_overrides) {
    std::string pattern = (fs::temp_directory_path() / "dvmachine-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    machine_ = &win32::Machine::use(root_);
    for (const auto& line : ini_overrides) {
        auto dot = line.find('.');
        auto eq = line.find('=');
        if (dot == std::string::npos || eq == std::string::npos || dot > eq)
            throw std::runtime_error("bad override: " + line);
        machine_->set_setting(line.substr(0, dot), line.substr(dot + 1, eq - dot - 1),
                              line.substr(eq + 1));
    }
}

TempMachine::~TempMachine() {
    std::error_code ec;
    // Read-only files and folders would stop the removal.
    for (auto it = fs::recursive_directory_iterator(root_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
}

fs::path TempMachine::host(const std::wstring& win_path) const {
    win32::HostPath hp;
    if (machine_->map(win_path, hp, 32768) != 0)
        throw std::runtime_error("unmappable path");
    return hp.host;
}

void write_host_file(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_host_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string run(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    char buf[4096];
    std::size_t n;
    while (p && (n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = p ? ::pclose(p) : -1;
    if (status)
        *status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
    return out;
}

} // namespace dvtest
