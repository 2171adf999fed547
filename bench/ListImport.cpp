// Time and peak memory of an import at the size cap (8 MiB) in each format: 9,000 entries and
// comments filling the rest, and a single YAML address of 8 MiB, which is refused per entry
// only after the parse. A file over the cap (50 MB, sparse) is refused by its size unread. Peak
// memory comes from a child process's ru_maxrss, beside that of a child that does nothing.

#include "core/lists/ListImport.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <malloc.h>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t kEntries = 9000;

/// A file just under the cap: `entry(i)` for the first entries, `filler` lines after them.
std::string fileAtCap(const char* name, const std::string& head, std::string (*entry)(std::size_t),
                      const std::string& filler, const std::string& tail) {
    std::string text = head;
    for (std::size_t i = 0; text.size() + tail.size() + filler.size() < tw::kMaxImportBytes; ++i) {
        text += i < kEntries ? entry(i) : filler;
    }
    text += tail;
    const std::string path = tw::bench::benchFolder().path(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

void measure(benchmark::State& state, const std::string& path) {
    // The generated file's freed buffers go back to the system first: a child would otherwise
    // count them as its own and reuse them.
    ::malloc_trim(0);
    const double idle = tw::bench::childPeakMiB([] { return true; });
    const double peak = tw::bench::childPeakMiB([&] {
        tw::readImportFile(path);
        return true;
    });
    for (auto _ : state) {
        benchmark::DoNotOptimize(tw::readImportFile(path));
    }
    state.counters["entries"] = static_cast<double>(tw::readImportFile(path).entries.size());
    state.counters["peak_MiB"] = peak;
    state.counters["idle_child_MiB"] = idle;
}

void BM_ImportPlainListAtCap(benchmark::State& state) {
    static const std::string path = fileAtCap(
        "urls.txt", "",
        [](std::size_t i) { return "https://page" + std::to_string(i) + ".example/path\n"; },
        "# " + std::string(200, 'x') + "\n", "");
    measure(state, path);
}
BENCHMARK(BM_ImportPlainListAtCap)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImportOpmlAtCap(benchmark::State& state) {
    static const std::string path = fileAtCap(
        "feeds.opml", "<?xml version=\"1.0\"?>\n<opml version=\"2.0\"><body>\n",
        [](std::size_t i) {
            const std::string n = std::to_string(i);
            return "<outline text=\"Feed " + n + "\" type=\"rss\" xmlUrl=\"https://feed" + n +
                   ".example/rss.xml\" htmlUrl=\"https://site" + n + ".example/\"/>\n";
        },
        "<!-- " + std::string(200, 'x') + " -->\n", "</body></opml>\n");
    measure(state, path);
}
BENCHMARK(BM_ImportOpmlAtCap)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImportYamlAtCap(benchmark::State& state) {
    static const std::string path = fileAtCap(
        "urls.yaml", "",
        [](std::size_t i) {
            const std::string n = std::to_string(i);
            return "---\nname: \"Page " + n + "\"\nurl: https://page" + n + ".example/\n";
        },
        "# " + std::string(200, 'x') + "\n", "");
    measure(state, path);
}
BENCHMARK(BM_ImportYamlAtCap)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImportYamlOneAddressOfTheCap(benchmark::State& state) {
    static const std::string path = [] {
        const std::string name = tw::bench::benchFolder().path("one.yaml");
        std::ofstream(name, std::ios::binary)
            << "url: \"https://a.example/" << std::string(tw::kMaxImportBytes - 100, 'a') << "\"\n";
        return name;
    }();
    measure(state, path);
}
BENCHMARK(BM_ImportYamlOneAddressOfTheCap)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImportOverCapRefused(benchmark::State& state) {
    static const std::string path = [] {
        const std::string name = tw::bench::benchFolder().path("big.txt");
        std::ofstream(name, std::ios::binary) << "https://a.example/\n";
        if (::truncate(name.c_str(), 50LL * 1000 * 1000) != 0) {
            return std::string();
        }
        return name;
    }();
    measure(state, path);
}
BENCHMARK(BM_ImportOverCapRefused)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
