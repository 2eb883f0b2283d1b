// Costs of the registry, the file security and the loader: a durable value write (lock,
// re-read check, rewrite, fsync, rename), a cached read, a new file with its inherited
// descriptor against a bare host create, and loading the machine's advapi32.dll.
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/module.h"
#include "win32/registry.h"
#include "win32/security.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace win32;

namespace {

struct BenchMachine {
    BenchMachine() {
        std::string pattern = (fs::temp_directory_path() / "dvbench-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        Machine::use(root);
        CreateDirectoryW(L"C:\\Program Files\\Bench", nullptr);
        RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                        L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Marquetta 6", 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    }
    ~BenchMachine() {
        RegCloseKey(key);
        fs::remove_all(root);
    }
    fs::path root;
    HKEY key = nullptr;
};

BenchMachine& machine() {
    static BenchMachine m;
    return m;
}

void BM_RegSetValue(benchmark::State& state) {
    HKEY key = machine().key;
    const std::wstring text = L"C:\\Program Files\\Dravik & Rodezura\\Marquetta 6\\Uninstall.exe";
    for (auto _ : state)
        RegSetValueExW(key, L"UninstallString", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()), reg_string_bytes(text));
}
BENCHMARK(BM_RegSetValue);

void BM_RegQueryValue(benchmark::State& state) {
    HKEY key = machine().key;
    DWORD lang = 3;
    RegSetValueExW(key, L"DvLanguage", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&lang), 4);
    for (auto _ : state) {
        DWORD v = 0, size = 4;
        RegQueryValueExW(key, L"DvLanguage", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_RegQueryValue);

void BM_NewFile_Layer(benchmark::State& state) {
    machine();
    int i = 0;
    for (auto _ : state) {
        std::wstring name = L"C:\\Program Files\\Bench\\f" + std::to_wstring(i++) + L".bin";
        HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        CloseHandle(h);
    }
}
BENCHMARK(BM_NewFile_Layer);

void BM_NewFile_Host(benchmark::State& state) {
    fs::path dir = machine().root / "drive_c" / "Program Files" / "Bench";
    int i = 0;
    for (auto _ : state) {
        fs::path p = dir / ("h" + std::to_string(i++) + ".bin");
        ::close(::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    }
}
BENCHMARK(BM_NewFile_Host);

// The part of a new file's cost that is its descriptor.
void BM_InheritSecurity(benchmark::State& state) {
    fs::path file = machine().root / "drive_c" / "Program Files" / "Bench" / "inherit.bin";
    ::close(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    for (auto _ : state)
        apply_inherited_security(file, false);
}
BENCHMARK(BM_InheritSecurity);

void BM_LoadAdvapi32(benchmark::State& state) {
    machine();
    for (auto _ : state) {
        HMODULE h = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        benchmark::DoNotOptimize(GetProcAddress(h, "CheckTokenMembership"));
        FreeLibrary(h);
    }
}
BENCHMARK(BM_LoadAdvapi32);

} // namespace

BENCHMARK_MAIN();
