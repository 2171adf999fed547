// Peak memory of the check-area path on a large page with an anchor keyword: the page is read,
// its code detected, converted to 932 and the area cut, in a child process whose peak resident
// size (ru_maxrss) is reported beside that of a child that does nothing.
//
// TARNWICK_BENCH_PAGE_MB (default 200) sets the size of the UTF-8 page; a Shift_JIS page of the
// same size (no conversion) is measured too. The whole comparison of the checker refuses pages
// over 64 MiB; BM_CompareAtLimit measures it on a page just under that limit.

#include "core/platform/CodeConverter.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CheckArea.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;

std::size_t pageBytes() {
    std::size_t megabytes = 200;
    if (const char* value = std::getenv("TARNWICK_BENCH_PAGE_MB")) {
        if (const long parsed = std::atol(value); parsed > 0) {
            megabytes = static_cast<std::size_t>(parsed);
        }
    }
    return megabytes * 1024 * 1024;
}

/// Writes a page of about `size` bytes line by line, never holding it whole, with the keyword
/// near its end.
std::string writePage(const char* name, std::size_t size, bool utf8) {
    const std::string path = tw::bench::benchFolder().path(name);
    if (fs::exists(path)) {
        return path;
    }
    std::ofstream out(path, std::ios::binary);
    const std::string head = utf8 ? "<meta charset=\"utf-8\">\n" : "<meta charset=Shift_JIS>\n";
    const std::string line = utf8 ? std::string("日本語の本文とascii text, 価格は変わる。\n")
                                  : tw::jp("日本語の本文とascii text, 価格は変わる。\n");
    const std::string tail = utf8 ? std::string("価格：1200円\n") : tw::jp("価格：1200円\n");
    out << head;
    std::string block;
    while (block.size() < 1024 * 1024) {
        block += line;
    }
    std::size_t written = head.size();
    while (written + block.size() + tail.size() < size) {
        out << block;
        written += block.size();
    }
    out << tail;
    return path;
}

void measureArea(benchmark::State& state, bool utf8) {
    const std::size_t size = pageBytes();
    const std::string page = writePage(utf8 ? "page-utf8.html" : "page-sjis.html", size, utf8);
    const std::string keyword = tw::jp("価格：");
    double peak = 0;
    double idle = 0;
    for (auto _ : state) {
        idle = tw::bench::childPeakMiB([] { return true; });
        peak = tw::bench::childPeakMiB([&] {
            auto converter = tw::createCodeConverter();
            const auto text = tw::loadConverted(converter.get(), page, 0);
            return text && tw::extractArea(*text, keyword, 1, 0, 4) == "1200";
        });
        if (peak < 0) {
            state.SkipWithError("area not found");
            return;
        }
    }
    const double pageMiB = static_cast<double>(size) / (1024.0 * 1024.0);
    state.counters["page_MiB"] = pageMiB;
    state.counters["peak_MiB"] = peak;
    state.counters["idle_child_MiB"] = idle;
    state.counters["peak_per_page"] = (peak - idle) / pageMiB;
}

void BM_AreaPeakMemoryUtf8(benchmark::State& state) {
    measureArea(state, true);
}
BENCHMARK(BM_AreaPeakMemoryUtf8)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_AreaPeakMemoryShiftJis(benchmark::State& state) {
    measureArea(state, false);
}
BENCHMARK(BM_AreaPeakMemoryShiftJis)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_CompareAtLimit(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(tw::kMaxAreaPageBytes) - 4096;
    const std::string page = writePage("page-limit.html", size, true);
    double peak = 0;
    for (auto _ : state) {
        peak = tw::bench::childPeakMiB([&] {
            auto converter = tw::createCodeConverter();
            tw::WatchSettings item;
            item.anchorKeyword = tw::jp("価格：");
            item.areaSize = 4;
            return tw::compare(item, page, converter.get()) == 1 && item.areaText == "1200";
        });
        if (peak < 0) {
            state.SkipWithError("area not found");
            return;
        }
    }
    state.counters["page_MiB"] = static_cast<double>(size) / (1024.0 * 1024.0);
    state.counters["peak_MiB"] = peak;
}
BENCHMARK(BM_CompareAtLimit)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace
