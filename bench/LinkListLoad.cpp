// Time and peak memory of a link list of the largest accepted size (CLinkList::kMaxListBytes,
// 64 MiB), each measured in a child process (ru_maxrss) beside a child that does nothing.
//
//   LoadShortRecords   records of a few lines as the downloader sibling appends them, ~88 bytes
//                      each: some 760,000 links
//   LoadFullRecords    records of all nineteen lines as this program writes them: ~230,000
//   SortAndSave        the short list loaded, sorted by name, one link changed, saved
//
// load_ms includes reading and checking the whole file (SHA-256) and collecting the records;
// peak_per_file is (peak - idle child) / file size.

#include "core/links/CLinkList.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

/// Fills `folder`/brl.hlk with records from `record(i)` up to just under the cap; the number
/// of links written.
int writeList(const std::string& folder, const std::function<std::string(int)>& record) {
    std::ofstream out(folder + "/brl.hlk", std::ios::binary | std::ios::trunc);
    std::int64_t size = 0;
    int count = 0;
    for (;; ++count) {
        const std::string text = record(count);
        if (size + static_cast<std::int64_t>(text.size()) > tw::CLinkList::kMaxListBytes) {
            break;
        }
        out << text;
        size += static_cast<std::int64_t>(text.size());
    }
    return count;
}

std::string shortRecord(int i) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "\t//{{TOP\r\nDest: f%06d.zip\r\nTarg: http://dl.invalid/f%06d.zip\r\n"
                  "Name: n%06d\r\n\tEND}}//\r\n",
                  i, i, i);
    return text;
}

std::string fullRecord(int i) {
    tw::FetchSettings link;
    link.destFile = "file" + std::to_string(i) + ".zip";
    link.targetUrl = "http://downloads.invalid/files/" + std::to_string(i) + ".zip";
    link.name = "link " + std::to_string(i);
    link.lastModified = 1700000000 + i;
    link.loadValue = 1700000000 + i;
    return tw::LinkRecords::blockOf(link);
}

struct Figures {
    double peakMiB = -1;
    double firstMs = 0;
    double secondMs = 0;
    double thirdMs = 0;
    int links = 0;
};

/// Runs `work` in a child process; its peak resident size and the times it reports.
Figures inChild(const std::function<bool(Figures&)>& work) {
    int channel[2];
    if (::pipe(channel) != 0) {
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        Figures figures;
        const bool ok = work(figures);
        const bool sent = ::write(channel[1], &figures, sizeof figures) == sizeof figures;
        ::_exit(ok && sent ? 0 : 1);
    }
    ::close(channel[1]);
    Figures figures;
    const bool got = ::read(channel[0], &figures, sizeof figures) == sizeof figures;
    ::close(channel[0]);
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || !got) {
        return {};
    }
    figures.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return figures;
}

double since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void report(benchmark::State& state, const std::string& folder, const Figures& figures,
            double idle) {
    const double fileMiB =
        static_cast<double>(fs::file_size(folder + "/brl.hlk")) / (1024.0 * 1024.0);
    state.counters["links"] = figures.links;
    state.counters["file_MiB"] = fileMiB;
    state.counters["peak_MiB"] = figures.peakMiB;
    state.counters["idle_child_MiB"] = idle;
    state.counters["peak_per_file"] = (figures.peakMiB - idle) / fileMiB;
}

void measureLoad(benchmark::State& state, const char* name,
                 const std::function<std::string(int)>& record) {
    const std::string folder = tw::bench::benchFolder().folder(name);
    writeList(folder, record);
    Figures figures;
    double idle = 0;
    for (auto _ : state) {
        idle = inChild([](Figures&) { return true; }).peakMiB;
        figures = inChild([&](Figures& out) {
            tw::CLinkList links;
            const auto start = Clock::now();
            const bool loaded = links.load(folder, false) == 1;
            out.firstMs = since(start);
            out.links = links.count();
            return loaded;
        });
        if (figures.peakMiB < 0) {
            state.SkipWithError("the list did not load");
            return;
        }
    }
    report(state, folder, figures, idle);
    state.counters["load_ms"] = figures.firstMs;
}

void BM_LoadShortRecords(benchmark::State& state) {
    measureLoad(state, "short", shortRecord);
}
BENCHMARK(BM_LoadShortRecords)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_LoadFullRecords(benchmark::State& state) {
    measureLoad(state, "full", fullRecord);
}
BENCHMARK(BM_LoadFullRecords)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_SortAndSave(benchmark::State& state) {
    const std::string folder = tw::bench::benchFolder().folder("sorted");
    Figures figures;
    double idle = 0;
    for (auto _ : state) {
        writeList(folder, shortRecord);
        idle = inChild([](Figures&) { return true; }).peakMiB;
        figures = inChild([&](Figures& out) {
            tw::CLinkList links;
            auto start = Clock::now();
            if (links.load(folder, false) != 1) {
                return false;
            }
            out.firstMs = since(start);
            start = Clock::now();
            links.sortBy(tw::CLinkList::Column::Name, true);
            out.secondMs = since(start);
            tw::FetchSettings changed = links.link(0);
            changed.name = "changed";
            links.replace(0, changed);
            start = Clock::now();
            const bool saved = links.save() == 0;
            out.thirdMs = since(start);
            out.links = links.count();
            return saved;
        });
        if (figures.peakMiB < 0) {
            state.SkipWithError("the list was not saved");
            return;
        }
    }
    report(state, folder, figures, idle);
    state.counters["load_ms"] = figures.firstMs;
    state.counters["sort_ms"] = figures.secondMs;
    state.counters["save_ms"] = figures.thirdMs;
}
BENCHMARK(BM_SortAndSave)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace
