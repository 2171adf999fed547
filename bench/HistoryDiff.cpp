// The diff of kept versions: two 1 MB Japanese texts with 1% of their lines changed (a price
// inside a sentence; the goal is under 100 ms), the reader's text of a 5 MB page, and the
// bounds: a total change of two 64 MiB texts and a shuffle of 190,000 lines, each with its
// time to give up and its peak memory (in a child process that makes its own inputs: the peak
// is of the inputs and the work together; a child that only makes them is given for scale).

#include "core/history/PageText.h"
#include "core/history/TextDiff.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

/// childPeakMiB() after the memory this process freed is given back, so that the child's peak
/// counts what it touches itself, not pages it inherited.
double peakMiB(const std::function<bool()>& work) {
    ::malloc_trim(0);
    return tw::bench::childPeakMiB(work);
}

/// About `bytes` of Japanese sentences, one a line, each with a price; every `every`-th line
/// (from `offset`) has another price.
std::string japanese(std::size_t bytes, int every, int offset) {
    std::string text;
    for (int i = 0; text.size() < bytes; ++i) {
        const bool changed = every > 0 && i % every == offset;
        text += "第" + std::to_string(i) + "回の特売では、国産の新米五キロを" +
                std::to_string(changed ? 2480 + i : 1980 + i) +
                "円でご用意しました。お一人様二点までとさせていただきます。\n";
    }
    return text;
}

void DiffJapanese1MB(benchmark::State& state) {
    const std::string before = japanese(1 << 20, 0, 0);
    const std::string after = japanese(1 << 20, 100, 37); // 1% of the lines
    std::size_t changed = 0;
    for (auto _ : state) {
        const tw::TextDiff diff = tw::diffTexts(before, after);
        changed = 0;
        for (const tw::DiffHunk& hunk : diff.hunks) {
            changed += static_cast<std::size_t>(
                std::count_if(hunk.lines.begin(), hunk.lines.end(), [](const tw::DiffLine& line) {
                    return line.kind == tw::DiffLine::Kind::Changed;
                }));
        }
        benchmark::DoNotOptimize(diff);
    }
    state.counters["changed_lines"] = static_cast<double>(changed);
}
BENCHMARK(DiffJapanese1MB)->Unit(benchmark::kMillisecond);

/// A shop page of about `bytes`.
std::string shopPage(std::size_t bytes) {
    std::string html = "<html><head><title>特売</title><script>var x=1;</script></head><body>";
    for (int i = 0; html.size() < bytes; ++i) {
        html += "<div class=\"item\"><h3>商品" + std::to_string(i) +
                "</h3><p>国産の新米五キロを<b>1,980</b>円で&nbsp;ご用意しました。</p></div>\n";
    }
    return html + "</body></html>";
}

void ReaderText5MB(benchmark::State& state) {
    std::string html = shopPage(5u << 20);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tw::readerText(html));
    }
    std::string().swap(html);
    state.counters["peak_MiB"] =
        peakMiB([] { return !tw::readerText(shopPage(5u << 20)).empty(); });
    state.counters["inputs_MiB"] = peakMiB([] { return !shopPage(5u << 20).empty(); });
}
BENCHMARK(ReaderText5MB)->Unit(benchmark::kMillisecond)->Iterations(3);

/// Two texts of `bytes` or `lines` (whichever comes first), every line different.
std::pair<std::string, std::string> rewritten(std::size_t bytes, int lines) {
    std::pair<std::string, std::string> texts;
    for (int i = 0; texts.first.size() < bytes && i < lines; ++i) {
        texts.first += "旧い内容の行です。番号" + std::to_string(i) + "\n";
        texts.second += "新しい内容の行です。番号" + std::to_string(i) + "\n";
    }
    return texts;
}

void TotalChange64MiB(benchmark::State& state) {
    auto [before, after] = rewritten(64u << 20, 1 << 30);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tw::diffTexts(before, after));
    }
    std::string().swap(before);
    std::string().swap(after);
    // Within the line bound: 190,000 lines each, all different.
    state.counters["peak_MiB"] = peakMiB([] {
        const auto [a, b] = rewritten(64u << 20, 190000);
        return tw::diffTexts(a, b).tooLarge;
    });
    state.counters["inputs_MiB"] =
        peakMiB([] { return !rewritten(64u << 20, 190000).first.empty(); });
}
BENCHMARK(TotalChange64MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

/// 190,000 lines, and the same lines in another order.
std::pair<std::string, std::string> shuffled() {
    std::vector<std::string> lines;
    for (int i = 0; i < 190000; ++i) {
        lines.push_back("行" + std::to_string(i) + "\n");
    }
    std::pair<std::string, std::string> texts;
    for (const std::string& line : lines) {
        texts.first += line;
    }
    std::shuffle(lines.begin(), lines.end(), std::mt19937(1));
    for (const std::string& line : lines) {
        texts.second += line;
    }
    return texts;
}

void ShuffledLines(benchmark::State& state) {
    auto [before, after] = shuffled();
    for (auto _ : state) {
        benchmark::DoNotOptimize(tw::diffTexts(before, after));
    }
    std::string().swap(before);
    std::string().swap(after);
    state.counters["peak_MiB"] = peakMiB([] {
        const auto [a, b] = shuffled();
        return tw::diffTexts(a, b).tooLarge;
    });
    state.counters["inputs_MiB"] = peakMiB([] { return !shuffled().first.empty(); });
}
BENCHMARK(ShuffledLines)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
