// The uninstall log at the sizes of a real product (about 1,500 files) and beyond: an update's
// WriteLog, whose merge compares every earlier record with the new ones, and ReadLog.
#include "journal/journal.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

struct BenchMachine {
    BenchMachine() {
        std::string pattern = (fs::temp_directory_path() / "dvbench-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        win32::Machine::use(root);
        win32::CreateDirectoryW(L"C:\\App", nullptr);
    }
    ~BenchMachine() { fs::remove_all(root); }
    fs::path root;
};

BenchMachine& machine() {
    static BenchMachine m;
    return m;
}

std::wstring file_path(int i) {
    return L"C:\\App\\Data\\file" + std::to_wstring(i) + L".dat";
}

JournalEntry file_entry(const std::wstring& path) {
    JournalEntry e;
    e.kind = JournalEntry::file;
    e.path = path;
    e.detail = 0;
    e.succeeded = 1;
    return e;
}

// An update that writes every earlier file again, plus as many new ones; half of the paths
// exist on disk. With `respelt`, the earlier log spells every path in capitals, so that no
// path matches as written and SamePath asks the file system about each one.
void WriteLogUpdate(benchmark::State& state, bool respelt) {
    machine();
    const int n = static_cast<int>(state.range(0));
    win32::CreateDirectoryW(L"C:\\App\\Data", nullptr);
    for (int i = 0; i < n; i += 2) {
        win32::HANDLE h =
            win32::CreateFileW(file_path(i).c_str(), win32::GENERIC_WRITE, 0, nullptr,
                               win32::CREATE_ALWAYS, win32::FILE_ATTRIBUTE_NORMAL, nullptr);
        win32::CloseHandle(h);
    }
    for (auto _ : state) {
        state.PauseTiming();
        InstallJournal journal;
        for (int i = 0; i < n; ++i)
            journal.previousEntries.push_back(
                file_entry(respelt ? win32::upper(file_path(i)) : file_path(i)));
        for (int i = 0; i < 2 * n; ++i)
            journal.entries.push_back(file_entry(file_path(2 * n - 1 - i)));
        state.ResumeTiming();
        if (!journal.WriteLog(L"C:\\App\\Uninstall.ulog", L"C:\\App", L"C:\\Menu"))
            state.SkipWithError("WriteLog failed");
    }
    state.SetItemsProcessed(state.iterations() * n);
}
void BM_WriteLogUpdate(benchmark::State& state) {
    WriteLogUpdate(state, false);
}
void BM_WriteLogUpdateRespelt(benchmark::State& state) {
    WriteLogUpdate(state, true);
}
BENCHMARK(BM_WriteLogUpdate)->Arg(1500)->Arg(6000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteLogUpdateRespelt)->Arg(1500)->Arg(6000)->Unit(benchmark::kMillisecond);

void BM_ReadLog(benchmark::State& state) {
    machine();
    const int n = static_cast<int>(state.range(0));
    InstallJournal writer;
    for (int i = 0; i < n; ++i)
        writer.entries.push_back(file_entry(file_path(i)));
    writer.WriteLog(L"C:\\App\\Read.ulog", L"C:\\App", L"C:\\Menu");
    for (auto _ : state) {
        InstallJournal journal;
        journal.ReadLog(std::wstring(L"C:\\App\\Read.ulog"));
        if (journal.previousEntries.size() != static_cast<std::size_t>(n))
            state.SkipWithError("ReadLog lost entries");
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ReadLog)->Arg(1500)->Arg(6000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
