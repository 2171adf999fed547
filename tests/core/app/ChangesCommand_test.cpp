#include "core/app/ChangesCommand.h"
#include "core/history/HistoryStore.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "support/LocalTime.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

namespace tw {
namespace {

using test::TempFolder;

/// What a run printed on standard output and standard error, and its exit code.
struct Printed {
    int code = -1;
    std::string out;
    std::string err;
};

std::string contents(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(file);
    return text;
}

class ChangesCommandTest : public ::testing::Test {
protected:
    ChangesCommandTest() {
        WatchSettings price;
        price.name = jp("株価");
        price.targetUrl = "http://127.0.0.1:9/price.html";
        price.anchorKeyword = jp("価格：");
        price.compareFile = m_data / "comp/temp.tmp";
        WatchSettings news;
        news.name = "news";
        news.targetUrl = "http://127.0.0.1:9/news.txt";
        news.compareFile = m_data / "comp/temp_1.tmp";
        WatchSettings fresh;
        fresh.name = "fresh";
        fresh.targetUrl = "http://127.0.0.1:9/fresh.html";
        TempFolder::writeFile(m_data / "WatchList.twl",
                              price.toText() + news.toText() + fresh.toText());

        HistoryStore store(m_data.path(), {});
        const std::string before = jp("価格：100円\n在庫あり\n");
        const std::string after = jp("価格：120円\n在庫あり\n");
        record(store, "temp.tmp", before, 1'796'000'400, true);
        record(store, "temp.tmp", after, 1'796'004'000, true);
        record(store, "temp_1.tmp", "one\ntwo\nthree\nfour\nfive\nsix\n", 1'796'000'000, false);
    }

    static void record(HistoryStore& store, const std::string& key, const std::string& bytes,
                       std::time_t when, bool area) {
        HistoryEntry entry;
        entry.checkedAt = when;
        entry.bytes = bytes;
        entry.codePage = area ? 932 : 65001;
        entry.area = area;
        entry.contentType = area ? "" : "text/plain; charset=utf-8";
        ASSERT_EQ(store.record(key, entry), "");
    }

    Printed run(const std::string& item, bool history = false) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        Printed result;
        result.code = runChangesCommand(m_data.path(), item, history, out, err);
        result.out = contents(out);
        result.err = contents(err);
        return result;
    }

    test::ZoneGuard m_zone{"UTC0"};
    TempFolder m_data;
};

TEST_F(ChangesCommandTest, TheLatestChangeIsAUnifiedDiffWithBothCheckTimes) {
    const Printed byNumber = run("1");
    EXPECT_EQ(byNumber.code, 0) << byNumber.err;
    EXPECT_EQ(byNumber.out, "--- 株価\t2026-11-30 01:00:00 +0000\n"
                            "+++ 株価\t2026-11-30 02:00:00 +0000\n"
                            "@@ -1,2 +1,2 @@\n"
                            "-価格：100円\n"
                            "+価格：120円\n"
                            " 在庫あり\n");
    EXPECT_EQ(byNumber.err, "");
    const Printed byName = run("株価");
    EXPECT_EQ(byName.code, 0);
    EXPECT_EQ(byName.out, byNumber.out);

    const Printed list = run("1", true);
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out, "1\t2026-11-30 01:00:00 +0000\t" +
                            std::to_string(jp("価格：100円\n在庫あり\n").size()) +
                            "\tチェック範囲（Shift_JIS）\n"
                            "2\t2026-11-30 02:00:00 +0000\t" +
                            std::to_string(jp("価格：120円\n在庫あり\n").size()) +
                            "\tチェック範囲（Shift_JIS）\n");
}

TEST_F(ChangesCommandTest, WhatDoesNotExistEndsWithStatusOneAndSaysWhy) {
    const Printed missing = run("4");
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("その項目はウォッチリストにありません: 4"), std::string::npos);
    EXPECT_EQ(run("0").code, 1);
    EXPECT_EQ(run("nobody").code, 1);

    const Printed noHistory = run("fresh");
    EXPECT_EQ(noHistory.code, 1);
    EXPECT_NE(noHistory.err.find("fresh: 変更履歴がありません"), std::string::npos);
    EXPECT_EQ(run("3", true).code, 1);

    // One version: the history is there, a change is not yet.
    const Printed one = run("2");
    EXPECT_EQ(one.code, 1);
    EXPECT_EQ(one.out, "");
    EXPECT_NE(one.err.find("変更はまだありません"), std::string::npos);
    EXPECT_EQ(run("2", true).code, 0);

    // A damaged newest version is named, and the change cannot be shown.
    const std::string newest = m_data / "history/temp.tmp";
    for (const auto& entry : std::filesystem::directory_iterator(newest)) {
        if (entry.path().filename().string().starts_with("00000002")) {
            std::filesystem::resize_file(entry.path(),
                                         std::filesystem::file_size(entry.path()) - 1);
        }
    }
    const Printed cut = run("1");
    EXPECT_EQ(cut.code, 1);
    EXPECT_NE(cut.err.find("途中で切れています"), std::string::npos);

    std::filesystem::remove(m_data / "WatchList.twl");
    ASSERT_EQ(::mkfifo((m_data / "WatchList.twl").c_str(), 0600), 0);
    const Printed fifo = run("1"); // never waits for a writer
    EXPECT_EQ(fifo.code, 1);
    EXPECT_NE(fifo.err.find("ウォッチリストを読み込めません"), std::string::npos);
    std::filesystem::remove(m_data / "WatchList.twl");
    EXPECT_NE(run("1").err.find("ウォッチリストがありません"), std::string::npos);
}

} // namespace
} // namespace tw
