// Costs of the kernel32 side of the layer: finding and mapping a program's resources (the
// 8.5 MB package among them) against reading the same bytes, the named-object calls the
// installer makes at start-up, and system message formatting.
#include "win32/machine.h"
#include "win32/memory.h"
#include "win32/message.h"
#include "win32/resource.h"
#include "win32/sync.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;
using namespace win32;

namespace {

// Opening the program's resources from scratch and locating the package: what the first
// FindResourceW of a process pays. The package's bytes are not touched.
void BM_OpenResourcesAndFindPackage(benchmark::State& state) {
    for (auto _ : state) {
        DWORD error = 0;
        auto image = ResourceImage::open("/proc/self/exe", error);
        auto* e = image->find(ResourceKey::from(MAKEINTRESOURCEW(260)),
                              ResourceKey::from(MAKEINTRESOURCEW(134)), 0, true, error);
        benchmark::DoNotOptimize(e->data);
        if (e->size < 8 * 1024 * 1024)
            state.SkipWithError("the package resource is missing");
    }
}
BENCHMARK(BM_OpenResourcesAndFindPackage);

// The copy the mapping avoids: reading the package's bytes into memory.
void BM_ReadPackageIntoMemory(benchmark::State& state) {
    for (auto _ : state) {
        std::ifstream in(DV_BENCH_PACKAGE, std::ios::binary);
        std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(BM_ReadPackageIntoMemory);

// A string lookup once the program's resources are mapped (the text layer's every call).
void BM_FindStringBlock(benchmark::State& state) {
    for (auto _ : state) {
        HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(2006 / 16 + 1), MAKEINTRESOURCEW(6));
        benchmark::DoNotOptimize(LockResource(LoadResource(nullptr, r)));
    }
}
BENCHMARK(BM_FindStringBlock);

struct Machine {
    Machine() {
        root = fs::temp_directory_path() / ("objects-bench-" + std::to_string(::getpid()));
        win32::Machine::use(root);
    }
    ~Machine() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path root;
};

// The product mutex at start-up: open it, try to take it, give it back, close it.
void BM_NamedMutexOpenTryRelease(benchmark::State& state) {
    Machine m;
    for (auto _ : state) {
        HANDLE h = CreateMutexW(nullptr, FALSE,
                                L"Global\\Marquetta6.{2bec007e-acee-011f-5d8a-f8103eef842a}");
        if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0)
            ReleaseMutex(h);
        CloseHandle(h);
    }
}
BENCHMARK(BM_NamedMutexOpenTryRelease);

// The instance counter's probe on an open semaphore: release one, read the previous count,
// take it back.
void BM_SemaphoreProbe(benchmark::State& state) {
    Machine m;
    HANDLE h = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF,
                                L"Global\\Marquetta6.{a3526b56-ca7c-4e16-8a26-da7758a378fd}");
    for (auto _ : state) {
        LONG previous = 0;
        ReleaseSemaphore(h, 1, &previous);
        WaitForSingleObject(h, 0);
        benchmark::DoNotOptimize(previous);
    }
    CloseHandle(h);
}
BENCHMARK(BM_SemaphoreProbe);

void BM_SystemMessageText(benchmark::State& state) {
    for (auto _ : state) {
        LPWSTR text = nullptr;
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, 170, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
        LocalFree(text);
    }
}
BENCHMARK(BM_SystemMessageText);

} // namespace

BENCHMARK_MAIN();
