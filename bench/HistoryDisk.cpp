// The history's cost at 1,000 items: the disk taken by 20 versions of a 30 KB page each, with
// room for all of them and within the default bound of 200 MB, and the time of one record at
// that size (a version written crash-safe, then pruned by count and by the total).

#include "BenchSupport.h"
#include "core/history/HistoryStore.h"

#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int kItems = 1000;
constexpr int kVersions = 20;
constexpr std::size_t kPageBytes = 30 * 1024;

/// A 30 KB page of Japanese HTML in UTF-8, different for each item and version.
std::string page(int item, int version) {
    std::string text = "<html><head><meta charset=\"utf-8\"><title>ページ " + std::to_string(item) +
                       "</title></head><body>\n";
    int line = 0;
    while (text.size() < kPageBytes - 120) {
        text += "<p>商品 " + std::to_string(line) + " の価格は " +
                std::to_string((item * 7 + line * 13 + version * 31) % 100000) +
                " 円です。在庫があります。</p>\n";
        ++line;
    }
    text += "</body></html>\n";
    text.resize(kPageBytes, '\n');
    return text;
}

std::string key(int item) {
    return item == 0 ? "temp.tmp" : "temp_" + std::to_string(item) + ".tmp";
}

/// Bytes the files under `folder` take on disk (allocated blocks) and their count.
std::pair<double, long> diskUse(const std::string& folder) {
    double bytes = 0;
    long files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info {};
        if (::lstat(entry.path().c_str(), &info) == 0) {
            bytes += static_cast<double>(info.st_blocks) * 512;
            files += S_ISREG(info.st_mode) ? 1 : 0;
        }
    }
    return {bytes, files};
}

void fill(benchmark::State& state, const tw::HistoryLimits& limits, const char* name) {
    const std::string data = tw::bench::benchFolder().folder(name);
    for (auto _ : state) {
        tw::HistoryStore store(data, limits);
        const auto start = std::chrono::steady_clock::now();
        for (int version = 0; version < kVersions; ++version) {
            for (int item = 0; item < kItems; ++item) {
                const std::string bytes = page(item, version);
                tw::HistoryEntry entry;
                entry.checkedAt = 1'800'000'000 + version * 86400 + item;
                entry.bytes = bytes;
                entry.codePage = 65001;
                entry.contentType = "text/html; charset=utf-8";
                if (!store.record(key(item), entry).empty()) {
                    state.SkipWithError("a record failed");
                    return;
                }
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto [bytes, files] = diskUse(store.folder());
        state.counters["disk_MiB"] = bytes / (1 << 20);
        state.counters["kept_MiB"] = static_cast<double>(store.totalBytes()) / (1 << 20);
        state.counters["files"] = static_cast<double>(files);
        state.counters["ms_per_record"] = seconds * 1000 / (kItems * kVersions);
    }
}

void BM_History_1000Items20Versions30KB_AllKept(benchmark::State& state) {
    fill(state, {kVersions, 4LL << 30}, "all");
}
BENCHMARK(BM_History_1000Items20Versions30KB_AllKept)->Iterations(1)->Unit(benchmark::kSecond);

void BM_History_1000Items20Versions30KB_Default200MB(benchmark::State& state) {
    fill(state, {}, "bounded");
}
BENCHMARK(BM_History_1000Items20Versions30KB_Default200MB)->Iterations(1)->Unit(benchmark::kSecond);

/// One record of a 30 KB page into the bounded history of 1,000 items, the first record of
/// the store (which reads what is on disk once) left out.
void BM_History_RecordOne30KB_AtTheBound(benchmark::State& state) {
    const std::string data = tw::bench::benchFolder().folder("bounded");
    tw::HistoryStore store(data, {});
    store.totalBytes(); // the one look at every file, as at a program's first record
    int n = 0;
    for (auto _ : state) {
        const int item = (n * 37) % kItems;
        const std::string bytes = page(item, kVersions + n);
        tw::HistoryEntry entry;
        entry.checkedAt = 1'900'000'000 + n;
        entry.bytes = bytes;
        entry.codePage = 65001;
        entry.contentType = "text/html; charset=utf-8";
        if (!store.record(key(item), entry).empty()) {
            state.SkipWithError("a record failed");
            return;
        }
        ++n;
    }
    state.counters["kept_MiB"] = static_cast<double>(store.totalBytes()) / (1 << 20);
}
BENCHMARK(BM_History_RecordOne30KB_AtTheBound)->Unit(benchmark::kMillisecond);

/// The first record after a start: the store reads the names and sizes of every kept file.
void BM_History_FirstRecordReadsTheFolder(benchmark::State& state) {
    const std::string data = tw::bench::benchFolder().folder("bounded");
    for (auto _ : state) {
        tw::HistoryStore store(data, {});
        benchmark::DoNotOptimize(store.totalBytes());
    }
}
BENCHMARK(BM_History_FirstRecordReadsTheFolder)->Unit(benchmark::kMillisecond);

} // namespace
