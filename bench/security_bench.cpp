// Costs of the security services and the product's named objects as the installer meets
// them at start-up and when it grants access to installed files.
#include "dv/security.h"
#include "dv/sync.h"
#include "win32/files.h"
#include "win32/machine.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace win32;

namespace {

struct TempMachine {
    explicit TempMachine(const char* removed = "") {
        // A root of its own each time: a module loaded for an earlier machine at the same
        // place would be taken for this one's.
        static int made = 0;
        root = fs::temp_directory_path() /
               ("security-bench-" + std::to_string(::getpid()) + "-" + std::to_string(++made));
        fs::remove_all(root);
        win32::Machine::use(root).set_setting("switches", "removed_advapi32_exports", removed);
        dv::advapi32::reset_binding();
    }
    ~TempMachine() {
        dv::advapi32::reset_binding();
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path root;
};

// First use in a process: loading advapi32.dll and binding the entry points.
void BM_IsUserAdminFirstUse(benchmark::State& state) {
    TempMachine m;
    for (auto _ : state) {
        dv::advapi32::reset_binding();
        benchmark::DoNotOptimize(dv::is_user_admin());
    }
}
BENCHMARK(BM_IsUserAdminFirstUse);

void BM_IsUserAdminMembership(benchmark::State& state) {
    TempMachine m;
    for (auto _ : state)
        benchmark::DoNotOptimize(dv::is_user_admin());
}
BENCHMARK(BM_IsUserAdminMembership);

void BM_IsUserAdminAccessCheck(benchmark::State& state) {
    TempMachine m("CheckTokenMembership");
    for (auto _ : state)
        benchmark::DoNotOptimize(dv::is_user_admin());
}
BENCHMARK(BM_IsUserAdminAccessCheck);

void BM_EnablePrivilege(benchmark::State& state) {
    TempMachine m;
    for (auto _ : state)
        benchmark::DoNotOptimize(dv::enable_privilege(L"SeBackupPrivilege", true));
}
BENCHMARK(BM_EnablePrivilege);

// Per installed file: read the list, rebuild it, write it back.
void BM_GrantUsersAccess(benchmark::State& state) {
    TempMachine m;
    const wchar_t* path = L"C:\\Program Files\\data.bin";
    CloseHandle(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    for (auto _ : state)
        benchmark::DoNotOptimize(dv::grant_users_access(path, 0x13019F));
}
BENCHMARK(BM_GrantUsersAccess);

// The product mutex as start-up uses it: open with its descriptor, take it, give it up.
void BM_ProductMutexOpenLockClose(benchmark::State& state) {
    TempMachine m;
    const std::wstring name = dv::product_mutex_name();
    for (auto _ : state) {
        dv::NamedMutex mutex(name.c_str(), false, true);
        benchmark::DoNotOptimize(mutex.try_lock());
    }
}
BENCHMARK(BM_ProductMutexOpenLockClose);

void BM_RunningCount(benchmark::State& state) {
    TempMachine m;
    dv::InstanceCounter counter;
    counter.register_instance();
    for (auto _ : state)
        benchmark::DoNotOptimize(counter.running_count());
}
BENCHMARK(BM_RunningCount);

} // namespace

BENCHMARK_MAIN();
