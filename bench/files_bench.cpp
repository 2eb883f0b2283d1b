// Cost of the file layer against the host's own calls: an open/write/close cycle pays for
// the path mapping and the share-mode lock file; streaming pays for the handle stream.
#include "win32/files.h"
#include "win32/filestream.h"
#include "win32/handles.h"
#include "win32/machine.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct BenchMachine {
    BenchMachine() {
        std::string pattern = (fs::temp_directory_path() / "dvbench-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        win32::Machine::use(root);
        win32::CreateDirectoryW(L"C:\\Bench", nullptr);
    }
    ~BenchMachine() { fs::remove_all(root); }
    fs::path root;
};

BenchMachine& machine() {
    static BenchMachine m;
    return m;
}

void BM_CreateWriteClose_Layer(benchmark::State& state) {
    machine();
    std::vector<char> block(4096, 'x');
    for (auto _ : state) {
        win32::HANDLE h =
            win32::CreateFileW(L"C:\\Bench\\Some Folder Name.bin", win32::GENERIC_WRITE, 0, nullptr,
                               win32::CREATE_ALWAYS, win32::FILE_ATTRIBUTE_NORMAL, nullptr);
        win32::DWORD n = 0;
        win32::WriteFile(h, block.data(), 4096, &n, nullptr);
        win32::CloseHandle(h);
    }
}
BENCHMARK(BM_CreateWriteClose_Layer);

void BM_CreateWriteClose_Host(benchmark::State& state) {
    fs::path p = machine().root / "drive_c" / "Bench" / "Some Folder Name.bin";
    std::vector<char> block(4096, 'x');
    for (auto _ : state) {
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        benchmark::DoNotOptimize(::write(fd, block.data(), 4096));
        ::close(fd);
    }
}
BENCHMARK(BM_CreateWriteClose_Host);

// 8 MiB through the stream in 4096-byte writes, as the extraction engine writes.
void BM_StreamWrite8MiB(benchmark::State& state) {
    machine();
    std::vector<char> block(4096, 'y');
    for (auto _ : state) {
        win32::file_stream out(L"C:\\Bench\\stream.bin",
                               std::ios::out | std::ios::binary | std::ios::trunc, 0);
        for (int i = 0; i < 2048; ++i)
            out.write(block.data(), 4096);
        out.close();
    }
    state.SetBytesProcessed(state.iterations() * 8 * 1024 * 1024);
}
BENCHMARK(BM_StreamWrite8MiB)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
