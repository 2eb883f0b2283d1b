#include "dv/security.h"
#include "dv/sync.h"
#include "product/control.h"
#include "tests/support/temp_machine.h"
#include "tests/win32/helper_client.h"
#include "win32/error.h"
#include "win32/handles.h"
#include "win32/process.h"
#include "win32/sync.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>

using namespace win32;
using Probe = dvtest::HelperProcess; // tests/dv/sync_probe.cpp

namespace {

class Objects : public ::testing::Test {
protected:
    Objects() { dv::advapi32::reset_binding(); }
    ~Objects() override { dv::advapi32::reset_binding(); }
    dvtest::TempMachine tm;
};

constexpr wchar_t kName[] = L"Marquetta6.{2bec007e-acee-011f-5d8a-f8103eef842a}";

TEST(ObjectNames, ProductFamilyNames) {
    EXPECT_EQ(dv::product_mutex_name(), kName);
    EXPECT_EQ(dv::instance_counter_name(), L"Marquetta6.{a3526b56-ca7c-4e16-8a26-da7758a378fd}");
}

TEST_F(Objects, MutexOwnedElsewhereUntilReleasedOrAbandoned) {
    Probe other;
    ASSERT_EQ(other.ask("lock Marquetta6.{2bec007e-acee-011f-5d8a-f8103eef842a}"), "1");
    {
        dv::NamedMutex mutex(kName, false, true);
        ASSERT_NE(mutex.handle(), nullptr);
        EXPECT_FALSE(mutex.owned());
        EXPECT_FALSE(mutex.try_lock());
        EXPECT_EQ(other.ask("unlock"), "ok");
        EXPECT_TRUE(mutex.try_lock());
        EXPECT_TRUE(mutex.try_lock()); // owned already: no second count
        EXPECT_EQ(other.ask("lock"), "0");
    }
    // Destroying the owner gave the mutex up.
    EXPECT_EQ(other.ask("lock"), "1");
    other.kill();
    dv::NamedMutex mutex(kName, false, true);
    EXPECT_TRUE(mutex.try_lock()); // abandoned
    mutex.release();
    EXPECT_FALSE(mutex.owned());
    EXPECT_EQ(WaitForSingleObject(mutex.handle(), 0), WAIT_OBJECT_0);
    ReleaseMutex(mutex.handle());
}

TEST_F(Objects, InitialOwnerWaitsForAnExistingMutex) {
    Probe other;
    ASSERT_EQ(other.ask("lock Marquetta6.{2bec007e-acee-011f-5d8a-f8103eef842a}"), "1");
    std::string unlocked;
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        unlocked = other.ask("unlock");
    });
    {
        dv::NamedMutex mutex(kName, true, true);
        release.join();
        EXPECT_EQ(unlocked, "ok");
        EXPECT_TRUE(mutex.owned());
        EXPECT_EQ(other.ask("lock"), "0");
    }
    EXPECT_EQ(other.ask("lock"), "1");

    // A new mutex asked with ownership is owned at once; without security, by its own name.
    dv::NamedMutex plain(L"Plain", true, false);
    EXPECT_TRUE(plain.owned());
    EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"Global\\Plain"), nullptr);
    HANDLE local = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"Local\\Plain");
    EXPECT_NE(local, nullptr);
    CloseHandle(local);
}

TEST(SecureObjects, NamespacePrefixFollowsTheVersionRecord) {
    const struct {
        const char* major;
        const char* platform;
        bool global;
    } cases[] = {{"10", "2", true}, {"5", "2", true}, {"4", "2", false}, {"10", "1", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.major) + "/" + c.platform);
        dvtest::TempMachine tm({std::string("windows.major=") + c.major,
                                std::string("windows.platform_id=") + c.platform});
        Probe other; // a process of its own reads the version record afresh
        ASSERT_EQ(other.ask("secure-mutex Prefixed"), "ok 0");
        ASSERT_EQ(other.ask("secure-mutex Prefixed"), "ok 183"); // the creation's last error
        HANDLE global = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"Global\\Prefixed");
        HANDLE local = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"Local\\Prefixed");
        EXPECT_EQ(global != nullptr, c.global);
        EXPECT_EQ(local != nullptr, !c.global);
        CloseHandle(global ? global : local);
    }
}

TEST_F(Objects, SecureSemaphoreKeepsTheCreationsLastError) {
    HANDLE first = dv::create_secure_semaphore(0, 5, L"Counted");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE second = dv::create_secure_semaphore(0, 5, L"Counted");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(dv::create_secure_semaphore(6, 5, L"Invalid"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(first);
    CloseHandle(second);
}

TEST_F(Objects, CounterCountsRegisteredProcessesAndTakesItsUnitBack) {
    Probe first;
    EXPECT_EQ(first.ask("count"), "1 1"); // registered during its static initialisation
    EXPECT_EQ(first.ask("saw-counter"), "1");
    {
        Probe second;
        EXPECT_EQ(second.ask("count"), "1 2");
        EXPECT_EQ(first.ask("count"), "1 2");
        EXPECT_EQ(second.exit(0), 0);
    }
    EXPECT_EQ(first.ask("count"), "1 1");

    // Here too: one unit while registered, none once finished.
    {
        dv::InstanceCounter counter;
        EXPECT_EQ(counter.running_count(), 0); // not created yet
        counter.register_instance();
        EXPECT_EQ(counter.held(), 1);
        EXPECT_EQ(counter.running_count(), 2);
        EXPECT_EQ(first.ask("count"), "1 2");
    }
    EXPECT_EQ(first.ask("count"), "1 1");
}

TEST_F(Objects, CounterCountsTheRunningProduct) {
    const std::wstring folder = L"C:\\Program Files\\Dravik & Rodezura\\Marquetta 6";
    std::filesystem::create_directories(tm.host(folder));
    std::filesystem::copy_file(DV_MARQUETTA, tm.host(folder + L"\\Marquetta.exe"));
    dv::InstanceCounter counter;
    counter.register_instance();
    ASSERT_EQ(counter.running_count(), 1);

    std::wstring command = L"\"" + folder + L"\\Marquetta.exe\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               folder.c_str(), &si, &pi));
    ASSERT_TRUE(product::wait_until_running(pi.dwProcessId, 30000)) << GetLastError();
    EXPECT_EQ(counter.running_count(), 2);
    EXPECT_TRUE(product::request_quit(pi.dwProcessId));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(counter.running_count(), 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

TEST_F(Objects, CounterTakesNothingFromOthersWhenItsUnitsAreGone) {
    Probe other;
    ASSERT_EQ(other.ask("count"), "1 1");
    HANDLE raw = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE,
                                (L"Global\\" + dv::instance_counter_name()).c_str());
    ASSERT_NE(raw, nullptr);
    {
        dv::InstanceCounter counter;
        counter.register_instance();
        counter.register_instance();
        ASSERT_EQ(counter.held(), 2);
        // Someone took two of the three units: the two waits cannot both succeed, and the one
        // unit taken goes back.
        ASSERT_EQ(WaitForSingleObject(raw, 0), WAIT_OBJECT_0);
        ASSERT_EQ(WaitForSingleObject(raw, 0), WAIT_OBJECT_0);
    }
    LONG previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(raw, 1, &previous));
    EXPECT_EQ(previous, 1);
    CloseHandle(raw);
}

} // namespace
