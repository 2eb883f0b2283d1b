// A fresh emulated machine in a temporary folder for one test, removed afterwards.
#pragma once

#include "win32/machine.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace dvtest {

class TempMachine {
public:
    // `ini_overrides`: "section.key=value" lines applied to machine.ini after creation.
    explicit TempMachine(std::initializer_list<std::string> ini_overrides = {});
    ~TempMachine();
    TempMachine(const TempMachine&) = delete;
    TempMachine& operator=(const TempMachine&) = delete;

    win32::Machine& machine() { return *machine_; }
    const std::filesystem::path& root() const { return root_; }
    // Host path of a Windows path on this machine (the path need not exist).
    std::filesystem::path host(const std::wstring& win_path) const;

private:
    std::filesystem::path root_;
    win32::Machine* machine_ = nullptr;
};

// A test fixture that gives each test its own machine.
class MachineTest : public ::testing::Test {
protected:
    TempMachine tm;
};

// Writes bytes to a host file, creating its folders.
void write_host_file(const std::filesystem::path& path, std::string_view bytes);
std::string read_host_file(const std::filesystem::path& path);

// Runs a shell command (a helper program of the tests) and returns what it printed;
// `status` receives its exit status (-1 when it did not exit normally).
std::string run(const std::string& command, int* status = nullptr);

} // namespace dvtest
