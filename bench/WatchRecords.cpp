// The watch list's per-item work at 10,000 items: reading and writing the blocks, picking the
// next item and computing every item's next moment, as the list does after each check.

#include "core/platform/Clock.h"
#include "core/records/WatchSettings.h"
#include "core/util/SafeFile.h"
#include "core/watch/CWatchList.h"
#include "core/watch/ItemChecker.h"
#include "core/watch/Schedule.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kItems = 10000;

/// Ten thousand items of every schedule and timing, with typical field contents.
const std::vector<tw::WatchSettings>& items() {
    static const std::vector<tw::WatchSettings> list = [] {
        static const char* const schedules[] = {"daily", "weekly", "monthly", "once"};
        static const char* const timings[] = {"open", "inter", "defined"};
        std::vector<tw::WatchSettings> result(kItems);
        for (int i = 0; i < kItems; ++i) {
            tw::WatchSettings& item = result[i];
            item.targetUrl = "http://www.example.test/news/page" + std::to_string(i) + ".html";
            item.name = "Page number " + std::to_string(i);
            item.compareFile = "/home/user/.tarnwick/comp/page" + std::to_string(i) + ".html";
            item.schedule = schedules[i % 4];
            item.timing = timings[i % 3];
            item.dateValue = i % 4 == 1 ? 0x7f : i % 4 == 2 ? 1 + i % 28 : 1790000000 + i;
            item.timeValue = item.timing == "inter" ? 60 + i % 3600 : i % 86400;
            item.lastCheck = 1790000000 + i;
            item.lastModified = 1780000000 + i;
            item.lastResult = i % 3 - 1;
            item.anchorKeyword = i % 5 == 0 ? "price: " : "";
            item.areaText = i % 5 == 0 ? "12,800" : "";
        }
        return result;
    }();
    return list;
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "tw-bench-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

void BM_WriteRecord10k(benchmark::State& state) {
    const auto& list = items();
    TempFolder folder;
    const std::string path = folder.path() + "/WatchList.twl";
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        for (const tw::WatchSettings& item : list) {
            item.writeRecord(file);
        }
        std::fclose(file);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(path)));
}
BENCHMARK(BM_WriteRecord10k)->Unit(benchmark::kMillisecond);

void BM_ReadRecord10k(benchmark::State& state) {
    const auto& list = items();
    TempFolder folder;
    const std::string path = folder.path() + "/WatchList.twl";
    std::FILE* out = std::fopen(path.c_str(), "wb");
    for (const tw::WatchSettings& item : list) {
        item.writeRecord(out);
    }
    std::fclose(out);
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        int read = 0;
        tw::WatchSettings item;
        while (item.readRecord(file) == 1) {
            ++read;
        }
        std::fclose(file);
        if (read != kItems) {
            state.SkipWithError("not every block read back");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(path)));
}
BENCHMARK(BM_ReadRecord10k)->Unit(benchmark::kMillisecond);

/// A clock that stands still at a given moment.
class FixedClock : public tw::Clock {
public:
    explicit FixedClock(std::time_t now) : m_now(now) {}
    std::time_t now() const override { return m_now; }

private:
    std::time_t m_now;
};

/// A checker that is never busy and never checks.
class IdleChecker : public tw::ItemChecker {
public:
    void setReceiver(tw::CheckReceiver*) override {}
    void arm(const tw::WatchSettings&) override {}
    void stop() override {}
    bool isBusy() const override { return false; }
    void setClosing() override {}
    void setIdle() override {}
};

void BM_ComputeNextCheck10k(benchmark::State& state) {
    std::vector<tw::WatchSettings> list = items();
    const FixedClock clock(1790000000 + 3600 * 10);
    for (auto _ : state) {
        for (tw::WatchSettings& item : list) {
            item.nextCheck = -1;
            tw::computeNextCheck(item, true, clock, nullptr);
        }
        benchmark::DoNotOptimize(list.data());
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_ComputeNextCheck10k)->Unit(benchmark::kMillisecond);

void BM_PickNext10k(benchmark::State& state) {
    TempFolder folder;
    std::string text;
    for (const tw::WatchSettings& item : items()) {
        text += item.toText();
    }
    tw::replaceFileContents(folder.path() + "/WatchList.twl", text);
    const FixedClock clock(1790000000 + 3600 * 10);
    IdleChecker checker;
    tw::CWatchList list(checker, clock, nullptr, folder.path());
    list.load();
    if (list.count() != kItems) {
        state.SkipWithError("list did not load");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.pickNext());
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_PickNext10k)->Unit(benchmark::kMicrosecond);

} // namespace
