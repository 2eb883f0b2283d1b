#include "dv/product.h"
#include "dv/sysinfo.h"
#include "product/control.h"
#include "tests/support/temp_machine.h"
#include "win32/error.h"
#include "win32/handles.h"
#include "win32/process.h"
#include "win32/registry.h"
#include "win32/sync.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

using namespace win32;
namespace fs = std::filesystem;

namespace {

const std::wstring kFolder = L"C:\\Program Files\\Dravik & Rodezura\\Marquetta 6";
const std::wstring kProgram = kFolder + L"\\Marquetta.exe";

class Marquetta : public dvtest::MachineTest {
protected:
    Marquetta() {
        fs::create_directories(tm.host(kFolder));
        fs::copy_file(DV_MARQUETTA, tm.host(kProgram));
    }

    // Starts the program as the installer's registration run does.
    PROCESS_INFORMATION start(const std::wstring& switches) {
        std::wstring command = L"\"" + kProgram + L"\"" + switches;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                                   HIGH_PRIORITY_CLASS, nullptr, kFolder.c_str(), &si, &pi))
            << GetLastError();
        return pi;
    }

    DWORD finish(PROCESS_INFORMATION& pi) {
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
        DWORD code = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return code;
    }

    std::wstring class_value(const std::wstring& key) {
        wchar_t data[MAX_PATH] = {};
        DWORD bytes = sizeof data;
        DWORD type = 0;
        if (SHGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, &type, data, &bytes) !=
            ERROR_SUCCESS)
            return L"<none>";
        return data;
    }

    // The number of registered product processes, as the installer counts them.
    LONG running_count(HANDLE counter) {
        LONG previous = -1;
        EXPECT_TRUE(ReleaseSemaphore(counter, 1, &previous));
        EXPECT_EQ(WaitForSingleObject(counter, 0), WAIT_OBJECT_0);
        return previous;
    }
};

TEST_F(Marquetta, VersionResource) {
    dv::FileVersionInfo info;
    info.request = dv::FileVersionInfo::All;
    EXPECT_TRUE(dv::read_version_info(info, kProgram.c_str()));
    EXPECT_EQ(info.displayText, L"Marquetta 6.05f");
    EXPECT_EQ(info.productName, L"Marquetta");
    EXPECT_EQ(info.productVersion, L"6.05f");
    EXPECT_EQ(info.fileVersion, 0x0006000500060003u);
}

TEST_F(Marquetta, RegistrationRunLeavesItsMarkAndEndsWithMinusTen) {
    PROCESS_INFORMATION pi = start(L" /Register /Background");
    EXPECT_EQ(static_cast<int>(finish(pi)), -10);
    EXPECT_EQ(class_value(L".mqd6"), L"Marquetta.Document.6");
    EXPECT_EQ(class_value(L"Marquetta.Document.6\\shell\\open\\command"),
              L"\"" + kProgram + L"\" \"%1\"");
    // Its unit went with it: nobody holds the counter any more.
    EXPECT_EQ(OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE,
                             dv::product_object_name(dv::instanceCounterSuffix).c_str()),
              nullptr);
}

TEST_F(Marquetta, FailedRegistrations) {
    struct Case {
        const char* section;
        const char* key;
        const char* value;
        int code;
    } const cases[] = {
        {"switches", product::registerExitCodeSwitch, "3", 3},
        {"switches", product::registerExitCodeSwitch, "-2", -2},
        // A standard user cannot write the machine's classes.
        {"token", "administrators", "deny_only", 1},
    };
    for (const Case& c : cases) {
        dvtest::TempMachine machine({std::string(c.section) + "." + c.key + "=" + c.value});
        fs::create_directories(machine.host(kFolder));
        fs::copy_file(DV_MARQUETTA, machine.host(kProgram));
        PROCESS_INFORMATION pi = start(L" /register /background");
        EXPECT_EQ(static_cast<int>(finish(pi)), c.code) << c.key << "=" << c.value;
        EXPECT_EQ(class_value(L".mqd6"), L"<none>") << c.key << "=" << c.value;
    }
}

TEST_F(Marquetta, CountsAsRunningUntilAskedToQuit) {
    HANDLE counter = CreateSemaphoreW(nullptr, 0, dv::instanceCounterMaximum,
                                      dv::product_object_name(dv::instanceCounterSuffix).c_str());
    ASSERT_NE(counter, nullptr);
    EXPECT_EQ(running_count(counter), 0);

    PROCESS_INFORMATION first = start(L"");
    PROCESS_INFORMATION second = start(L"");
    ASSERT_TRUE(product::wait_until_running(first.dwProcessId, 30000)) << GetLastError();
    ASSERT_TRUE(product::wait_until_running(second.dwProcessId, 30000)) << GetLastError();
    EXPECT_TRUE(product::wait_until_running(first.dwProcessId, 0)); // asked again
    EXPECT_EQ(running_count(counter), 2);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(first.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    EXPECT_TRUE(product::request_quit(first.dwProcessId));
    EXPECT_EQ(finish(first), 0u);
    EXPECT_EQ(running_count(counter), 1);
    EXPECT_TRUE(product::request_quit(second.dwProcessId));
    EXPECT_EQ(finish(second), 0u);
    EXPECT_EQ(running_count(counter), 0);

    EXPECT_FALSE(product::request_quit(second.dwProcessId)); // ended: nobody listens
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    CloseHandle(counter);
}

} // namespace
