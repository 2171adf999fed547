// Whole-file comparison of two large equal files (with GNU cmp on the same files for scale), and
// the check-area path on a multi-megabyte EUC-JP page: conversion to 932, then the cut (with
// iconv converting the same page alone for scale).
//
// TARNWICK_BENCH_FILE_MB (default 200) and TARNWICK_BENCH_PAGE_MB (default 10) set the sizes.

#include "core/watch/CheckArea.h"
#include "core/platform/CodeConverter.h"
#include "core/util/Cp932.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::size_t sizeFromEnvironment(const char* name, std::size_t megabytes) {
    if (const char* value = std::getenv(name)) {
        const long parsed = std::atol(value);
        if (parsed > 0) {
            megabytes = static_cast<std::size_t>(parsed);
        }
    }
    return megabytes * 1024 * 1024;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
}

/// Two equal files of pseudo-random bytes.
const std::pair<std::string, std::string>& largeEqualFiles() {
    static const std::pair<std::string, std::string> files = [] {
        const std::size_t size = sizeFromEnvironment("TARNWICK_BENCH_FILE_MB", 200);
        std::string block(1024 * 1024, '\0');
        std::uint32_t state = 12345;
        for (char& byte : block) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<char>(state >> 24);
        }
        std::pair<std::string, std::string> paths{tw::bench::benchFolder().path("a.bin"),
                                                  tw::bench::benchFolder().path("b.bin")};
        for (const std::string& path : {paths.first, paths.second}) {
            std::ofstream out(path, std::ios::binary);
            for (std::size_t written = 0; written < size; written += block.size()) {
                out.write(block.data(),
                          static_cast<std::streamsize>(std::min(block.size(), size - written)));
            }
        }
        return paths;
    }();
    return files;
}

void BM_CompareFilesEqual(benchmark::State& state) {
    const auto& [a, b] = largeEqualFiles();
    for (auto _ : state) {
        const int result = tw::compareFiles(a, b);
        if (result != 0) {
            state.SkipWithError("files compared as different");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 *
                            static_cast<std::int64_t>(fs::file_size(a)));
}
BENCHMARK(BM_CompareFilesEqual)->Unit(benchmark::kMillisecond)->UseRealTime();

/// GNU cmp on the same files, as a yardstick; skipped when cmp is not installed.
void BM_GnuCmpEqual(benchmark::State& state) {
    const auto& [a, b] = largeEqualFiles();
    for (auto _ : state) {
        pid_t pid = 0;
        const char* argv[] = {"cmp", "-s", a.c_str(), b.c_str(), nullptr};
        if (::posix_spawnp(&pid, "cmp", nullptr, nullptr, const_cast<char* const*>(argv),
                           environ) != 0) {
            state.SkipWithError("cmp not found");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("cmp failed or found a difference");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 *
                            static_cast<std::int64_t>(fs::file_size(a)));
}
BENCHMARK(BM_GnuCmpEqual)->Unit(benchmark::kMillisecond)->UseRealTime();

tw::CodeConverter& converter() {
    static const std::unique_ptr<tw::CodeConverter> instance = tw::createCodeConverter();
    return *instance;
}

/// A generated EUC-JP page declaring its charset, with the keyword once near the end.
const std::string& eucPage() {
    static const std::string path = [] {
        const std::size_t size = sizeFromEnvironment("TARNWICK_BENCH_PAGE_MB", 10);
        const std::string line =
            tw::jp("<p>本日の更新情報：新着記事、カタカナ、ひらがな、漢字と ASCII text ①②③ "
                   "の混在した一行です。</p>\r\n");
        std::string page = "<html><head><meta http-equiv=\"Content-Type\" "
                           "content=\"text/html; charset=EUC-JP\"></head><body>\r\n";
        while (page.size() < size) {
            page += line;
        }
        page += tw::jp("<div>価格：12,800円</div></body></html>\r\n");
        std::string euc;
        converter().convert(932, 51932, page, euc);
        const std::string file = tw::bench::benchFolder().path("page-euc.html");
        writeFile(file, euc);
        return file;
    }();
    return path;
}

void BM_LoadConvertedAndExtractArea(benchmark::State& state) {
    const std::string& path = eucPage();
    const std::string keyword = tw::jp("価格：");
    for (auto _ : state) {
        const std::optional<std::string> text = tw::loadConverted(&converter(), path, 0);
        if (!text) {
            state.SkipWithError("page could not be converted");
            break;
        }
        const std::string area = tw::extractArea(*text, keyword, 1, 0, 6);
        if (area != "12,800") {
            state.SkipWithError("area not found");
            break;
        }
        benchmark::DoNotOptimize(area);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(path)));
}
BENCHMARK(BM_LoadConvertedAndExtractArea)->Unit(benchmark::kMillisecond);

/// iconv converting the same page to 932 into /dev/null, as a yardstick; skipped when iconv is
/// not installed or fails. The C library's EUC-JP lacks the NEC row 13 (circled digits), so
/// iconv skips those (-c) and reports it by its exit code 1.
void BM_IconvOnly(benchmark::State& state) {
    const std::string& path = eucPage();
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid = 0;
        const char* argv[] = {"iconv", "-c", "-f", "EUC-JP", "-t", "CP932", path.c_str(), nullptr};
        if (::posix_spawnp(&pid, "iconv", &actions, nullptr, const_cast<char* const*>(argv),
                           environ) != 0) {
            state.SkipWithError("iconv not found");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) {
            state.SkipWithError("iconv failed on the page");
            break;
        }
    }
    ::posix_spawn_file_actions_destroy(&actions);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(path)));
}
BENCHMARK(BM_IconvOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The cut alone on the converted page, searching to the keyword near its end.
void BM_ExtractAreaOnly(benchmark::State& state) {
    const std::optional<std::string> text = tw::loadConverted(&converter(), eucPage(), 0);
    const std::string keyword = tw::jp("価格：");
    for (auto _ : state) {
        benchmark::DoNotOptimize(tw::extractArea(*text, keyword, 1, 0, 6));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text->size()));
}
BENCHMARK(BM_ExtractAreaOnly)->Unit(benchmark::kMillisecond);

} // namespace
