// The engine's own costs, apart from decompression and the disk: CRC-32 throughput, and a
// whole archive of the shipped shape pushed through the sink with every entry skipped, so
// that what remains is the index, the region bookkeeping and one callback call per chunk.
#include "package/archive.h"
#include "package/crc32.h"
#include "package/extract.h"

#include <benchmark/benchmark.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

void BM_Crc32(benchmark::State& state) {
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131);
    for (auto _ : state)
        benchmark::DoNotOptimize(dv::crc32(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_Crc32);

// About 24.9 MB in 300 entries, as the shipped package.
const std::string& shipped_shape_archive() {
    static const std::string archive = [] {
        std::vector<dv::package_entry> entries;
        std::uint64_t left = 24'900'000;
        for (int i = 0; i < 300; ++i) {
            std::uint64_t size = i < 3 ? 2'000'000 : (left - 3 * 2'000'000) / 297;
            entries.push_back({L"D:\\build\\file" + std::to_wstring(i) + L".bin",
                               L"<InstallPath>\\Lang", 0, size, 0});
        }
        std::string out = dv::encode_index(entries);
        for (const auto& e : entries)
            out.append(e.size, 'x');
        return out;
    }();
    return archive;
}

void BM_SinkSkippingEverything(benchmark::State& state) {
    const std::string& archive = shipped_shape_archive();
    std::int64_t events = 0;
    for (auto _ : state) {
        dv::imemstream in(archive.data(), archive.size());
        bool ok = dv::extract_archive(in, {L"C:\\P", L"", L""}, [&](dv::notification n) {
            ++events;
            return n.get<dv::notification::file_begin>() ? dv::notification::skip
                                                         : dv::notification::proceed;
        });
        if (!ok)
            state.SkipWithError("extraction failed");
    }
    state.counters["events"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(archive.size()));
}
BENCHMARK(BM_SinkSkippingEverything)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
