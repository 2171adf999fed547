// Time and peak memory of taking the download helper's hand-over file at its cap (1 MiB): the
// checks, the read and the parse of the record, and the delete. Two shapes of the largest file
// taken: one line of 1 MiB (a record whose referrer fills it), and the same size in short lines
// of keys the record does not know. Peak memory comes from a child process's ru_maxrss, beside
// that of a child that does nothing. A file over the cap (300 MB, sparse) is refused by its
// size; BM_HandOverOverCapRefused shows that nothing of it is read.

#include "core/app/Siblings.h"
#include "core/platform/DesktopShell.h"
#include "core/platform/RegistryKey.h"
#include "core/ports/Prompter.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;

class QuietPrompter : public tw::Prompter {
public:
    void showMessage(const std::string&, Icon) override { ++told; }
    bool ask(const std::string&) override { return false; }
    bool authenticate(std::string&, std::string&, const AuthChallenge&, int) override {
        return false;
    }
    int told = 0;
};

/// A data folder, a settings store and the sibling protocol on them.
class World {
public:
    World() {
        std::string pattern = (fs::temp_directory_path() / "tw-bench-XXXXXX").string();
        m_root = ::mkdtemp(pattern.data());
        fs::create_directories(m_root / "data");
        const std::string config = (m_root / "config").string();
        m_own =
            std::make_unique<tw::RegistryKey>("Software\\Orvane\\Tarnwick", false, nullptr, config);
        m_helper = std::make_unique<tw::RegistryKey>("Software\\Orvane\\brlHelper", false, nullptr,
                                                     config);
        m_brindle =
            std::make_unique<tw::RegistryKey>("Software\\Orvane\\Brindle", true, nullptr, config);
        m_location =
            std::make_unique<tw::RegistryKey>("Software\\Orvane\\Location", false, nullptr, config);
        siblings = std::make_unique<tw::Siblings>(
            tw::SiblingKeys{*m_own, *m_helper, *m_brindle, *m_location}, m_shell, prompter,
            (m_root / "data").string(), (m_root / "bus").string());
    }
    ~World() {
        siblings.reset();
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }
    std::string path(const char* name) const { return (m_root / name).string(); }

    QuietPrompter prompter;
    std::unique_ptr<tw::Siblings> siblings;

private:
    fs::path m_root;
    tw::DesktopShell m_shell;
    std::unique_ptr<tw::RegistryKey> m_own, m_helper, m_brindle, m_location;
};

/// A record exactly at the cap: one line that fills it, or many short lines of unknown keys.
std::string recordAtCap(bool oneLine) {
    tw::FetchSettings record;
    record.targetUrl = "http://127.0.0.1:9/large.html";
    const std::string text = record.toText();
    const std::size_t room = tw::Siblings::kMaxHandOverBytes - text.size();
    if (oneLine) {
        // The referrer line, lengthened: "Refe: " + filler.
        const std::size_t at = text.find("Refe: ") + 6;
        return text.substr(0, at) + std::string(room, 'r') + text.substr(at);
    }
    std::string lines;
    const std::string line = "Xtra: some value of a key the record does not have\n";
    while (lines.size() + line.size() <= room) {
        lines += line;
    }
    lines += std::string(room - lines.size() - 1, 'z') + "\n";
    const std::size_t at = text.find("Targ: ");
    return text.substr(0, at) + lines + text.substr(at);
}

void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void measureAtCap(benchmark::State& state, bool oneLine) {
    World world;
    const std::string bytes = recordAtCap(oneLine);
    const std::string path = world.path("data/HelpToWatch");
    bool taken = true;
    for (auto _ : state) {
        state.PauseTiming();
        write(path, bytes);
        state.ResumeTiming();
        taken = taken && world.siblings->takeHandOverFile(path).has_value();
    }
    if (!taken || fs::exists(path)) {
        state.SkipWithError("the file at the cap was not taken");
        return;
    }
    // Peak memory, in a child so that nothing before it counts.
    write(path, bytes);
    const double idle = tw::bench::childPeakMiB([] { return true; });
    const double peak =
        tw::bench::childPeakMiB([&] { return world.siblings->takeHandOverFile(path).has_value(); });
    state.counters["file_MiB"] = static_cast<double>(bytes.size()) / (1024.0 * 1024.0);
    state.counters["peak_MiB"] = peak;
    state.counters["idle_child_MiB"] = idle;
    state.counters["peak_per_file"] =
        (peak - idle) / (static_cast<double>(bytes.size()) / (1024.0 * 1024.0));
}

void BM_HandOverAtCapOneLine(benchmark::State& state) {
    measureAtCap(state, true);
}
BENCHMARK(BM_HandOverAtCapOneLine)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HandOverAtCapManyLines(benchmark::State& state) {
    measureAtCap(state, false);
}
BENCHMARK(BM_HandOverAtCapManyLines)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HandOverOverCapRefused(benchmark::State& state) {
    World world;
    const std::string path = world.path("data/HelpToWatch");
    write(path, recordAtCap(true));
    fs::resize_file(path, 300u * 1024 * 1024);
    for (auto _ : state) {
        if (world.siblings->takeHandOverFile(path).has_value()) {
            state.SkipWithError("a file over the cap was taken");
            return;
        }
    }
    const double idle = tw::bench::childPeakMiB([] { return true; });
    const double peak = tw::bench::childPeakMiB(
        [&] { return !world.siblings->takeHandOverFile(path).has_value(); });
    state.counters["file_MiB"] = 300;
    state.counters["peak_MiB"] = peak;
    state.counters["idle_child_MiB"] = idle;
}
BENCHMARK(BM_HandOverOverCapRefused)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
