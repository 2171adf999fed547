#include "core/history/HistoryStore.h"

#include "core/util/Cp932.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

HistoryEntry text(std::string_view bytes, std::time_t when, std::string type = "text/html") {
    HistoryEntry entry;
    entry.checkedAt = when;
    entry.bytes = bytes;
    entry.codePage = 65001;
    entry.contentType = std::move(type);
    return entry;
}

std::vector<std::int64_t> serials(const std::vector<HistoryVersion>& versions) {
    std::vector<std::int64_t> result;
    for (const HistoryVersion& v : versions) {
        result.push_back(v.serial);
    }
    return result;
}

class HistoryStoreTest : public ::testing::Test {
protected:
    std::string versionFile(const std::string& key, const HistoryVersion& v) const {
        return m_data / ("history/" + key + "/" + v.fileName);
    }

    TempFolder m_data;
};

TEST_F(HistoryStoreTest, KeepsEachVersionPrivateWithItsFactsAndBytes) {
    HistoryStore store(m_data.path(), {});
    EXPECT_EQ(store.record("temp.tmp", text("<html>一</html>", 1000)), "");
    const std::string price = jp("価格：500円");
    HistoryEntry area;
    area.checkedAt = 2000;
    area.bytes = price;
    area.codePage = 932;
    area.area = true;
    EXPECT_EQ(store.record("temp.tmp", area), "");
    // The same bytes again add nothing.
    EXPECT_EQ(store.record("temp.tmp", area), "");

    std::vector<std::string> problems;
    const auto versions = store.versions("temp.tmp", &problems);
    EXPECT_TRUE(problems.empty());
    ASSERT_EQ(serials(versions), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(versions[0].checkedAt, 1000);
    EXPECT_TRUE(versions[0].html);
    EXPECT_EQ(versions[0].codePage, 65001);
    EXPECT_EQ(versions[0].digest.size(), 64u);
    EXPECT_TRUE(versions[1].area);
    EXPECT_FALSE(versions[1].html);
    EXPECT_EQ(versions[1].codePage, 932);
    EXPECT_EQ(store.read("temp.tmp", versions[0]), std::string("<html>一</html>"));
    EXPECT_EQ(store.read("temp.tmp", versions[1]), jp("価格：500円"));

    struct stat info {};
    ASSERT_EQ(::stat(versionFile("temp.tmp", versions[1]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((m_data / "history").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(HistoryStoreTest, WholePageIsCopiedFromItsFile) {
    const std::string page = std::string(200000, 'a') + "\n<p>end</p>";
    TempFolder::writeFile(m_data / "page.html", page);
    HistoryStore store(m_data.path(), {});
    HistoryEntry entry = text("", 5);
    entry.file = m_data / "page.html";
    EXPECT_EQ(store.record("k", entry), "");
    const auto versions = store.versions("k");
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(versions[0].size, static_cast<std::int64_t>(page.size()));
    EXPECT_EQ(store.read("k", versions[0]), page);

    EXPECT_NE(store.record("k",
                           [&] {
                               HistoryEntry missing = entry;
                               missing.file = m_data / "gone.html";
                               return missing;
                           }()),
              "");
}

TEST_F(HistoryStoreTest, PrunesByCountPerItem) {
    HistoryStore store(m_data.path(), {3, 1 << 20});
    for (int i = 1; i <= 5; ++i) {
        const std::string bytes = "version " + std::to_string(i);
        EXPECT_EQ(store.record("a", text(bytes, i * 10)), "");
    }
    const auto versions = store.versions("a");
    EXPECT_EQ(serials(versions), (std::vector<std::int64_t>{3, 4, 5}));
    EXPECT_EQ(store.read("a", versions[0]), std::string("version 3"));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_data / "history/a"), {}), 3);
}

TEST_F(HistoryStoreTest, PrunesByTotalOldestOfAllItemsFirstKeepingEachNewest) {
    const std::string kilo(1000, 'x');
    // Room for about five versions.
    HistoryStore store(m_data.path(), {20, 5 * 1200});
    EXPECT_EQ(store.record("old", text(kilo + "1", 100)), "");
    EXPECT_EQ(store.record("old", text(kilo + "2", 200)), "");
    EXPECT_EQ(store.record("busy", text(kilo + "1", 300)), "");
    EXPECT_EQ(store.record("busy", text(kilo + "2", 400)), "");
    EXPECT_EQ(store.record("busy", text(kilo + "3", 500)), "");
    EXPECT_EQ(serials(store.versions("old")), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(store.record("busy", text(kilo + "4", 600)), "");
    // The oldest of all went, from the other item.
    EXPECT_EQ(serials(store.versions("old")), (std::vector<std::int64_t>{2}));
    EXPECT_EQ(store.record("busy", text(kilo + "5", 700)), "");
    // "old" keeps its newest while "busy" has older versions to give.
    EXPECT_EQ(serials(store.versions("old")), (std::vector<std::int64_t>{2}));
    EXPECT_EQ(serials(store.versions("busy")), (std::vector<std::int64_t>{2, 3, 4, 5}));
    EXPECT_LE(store.totalBytes(), 5 * 1200);

    // Another store over the same folder (the next start) counts what is there.
    HistoryStore again(m_data.path(), {20, 3 * 1200});
    EXPECT_EQ(again.record("new", text(kilo, 800)), "");
    EXPECT_LE(again.totalBytes(), 3 * 1200);
    EXPECT_EQ(serials(again.versions("busy")), (std::vector<std::int64_t>{5}));
    EXPECT_EQ(serials(again.versions("old")), (std::vector<std::int64_t>{2}));
}

TEST_F(HistoryStoreTest, DamagedCutAndStrangeVersionsAreSkippedAndNamed) {
    HistoryStore store(m_data.path(), {});
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ(store.record("k", text("<p>version " + std::to_string(i) + "</p>", i)), "");
    }
    auto versions = store.versions("k");
    ASSERT_EQ(versions.size(), 6u);
    const std::string folder = m_data / "history/k/";
    // 1: cut short; 2: a FIFO in its place; 3: a link to a good file; 4: not ours at all;
    // 5: a flipped byte (same length: found when read).
    fs::resize_file(versionFile("k", versions[0]),
                    fs::file_size(versionFile("k", versions[0])) - 2);
    fs::remove(versionFile("k", versions[1]));
    ASSERT_EQ(::mkfifo(versionFile("k", versions[1]).c_str(), 0600), 0);
    fs::remove(versionFile("k", versions[2]));
    fs::create_symlink(versionFile("k", versions[5]), versionFile("k", versions[2]));
    TempFolder::writeFile(versionFile("k", versions[3]), "garbage\n\nbytes");
    std::string flipped = TempFolder::readFile(versionFile("k", versions[4]));
    flipped[flipped.size() - 6] = 'X';
    TempFolder::writeFile(versionFile("k", versions[4]), flipped);

    std::vector<std::string> problems;
    const auto left = store.versions("k", &problems);
    EXPECT_EQ(serials(left), (std::vector<std::int64_t>{5, 6}));
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_NE(problems[0].find(jp("途中で切れています")), std::string::npos);
    EXPECT_NE(problems[0].find(versions[0].fileName), std::string::npos);
    EXPECT_NE(problems[1].find(jp("通常のファイルではありません")), std::string::npos);
    EXPECT_NE(problems[2].find(jp("シンボリックリンクです")), std::string::npos);
    EXPECT_NE(problems[3].find(jp("壊れています")), std::string::npos);

    std::string error;
    EXPECT_FALSE(store.read("k", left[0], &error));
    EXPECT_NE(error.find(jp("ハッシュが一致しません")), std::string::npos);
    EXPECT_EQ(store.read("k", left[1]), std::string("<p>version 6</p>"));
    // A FIFO is never waited for, even when read by name.
    EXPECT_FALSE(store.read("k", versions[1], &error));
}

TEST_F(HistoryStoreTest, HistoryInALinkedFolderIsNotRead) {
    HistoryStore store(m_data.path(), {});
    ASSERT_EQ(store.record("real", text("<p>a</p>", 1)), "");
    fs::create_directory_symlink(m_data / "history/real", m_data / "history/linked");
    EXPECT_TRUE(store.versions("linked").empty());
    store.remove("linked");
    EXPECT_EQ(store.versions("real").size(), 1u); // the link went, not what it pointed to
    EXPECT_FALSE(fs::exists(fs::symlink_status(m_data / "history/linked")));
}

TEST_F(HistoryStoreTest, PageThatIsNotTextKeepsSizeAndDigestOnly) {
    HistoryStore store(m_data.path(), {});
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    EXPECT_EQ(store.record("img", text(png, 1, "image/png")), "");
    EXPECT_EQ(store.record("bin", text(png, 1, "")), ""); // no type: by the zero bytes
    EXPECT_EQ(store.record("pdf", text("%PDF-1.4 text only", 1, "application/pdf")), "");
    for (const char* key : {"img", "bin", "pdf"}) {
        const auto versions = store.versions(key);
        ASSERT_EQ(versions.size(), 1u) << key;
        EXPECT_FALSE(versions[0].text) << key;
        EXPECT_FALSE(versions[0].stored) << key;
        EXPECT_EQ(versions[0].codePage, 0) << key;
        EXPECT_EQ(versions[0].digest.size(), 64u) << key;
        std::string error;
        EXPECT_FALSE(store.read(key, versions[0], &error)) << key;
        EXPECT_NE(error.find(jp("ハッシュだけ")), std::string::npos) << key;
    }
    EXPECT_EQ(store.versions("img")[0].size, 16);
    EXPECT_LT(fs::file_size(versionFile("img", store.versions("img")[0])), 200u);

    // A page of no stated type without zero bytes is text, and HTML by its look.
    EXPECT_EQ(store.record("plain", text("<!DOCTYPE html><title>t</title>", 1, "")), "");
    EXPECT_TRUE(store.versions("plain")[0].html);
}

TEST_F(HistoryStoreTest, RemoveAndRenameTakeTheWholeItem) {
    HistoryStore store(m_data.path(), {20, 1 << 20});
    ASSERT_EQ(store.record("a", text("<p>1</p>", 1)), "");
    ASSERT_EQ(store.record("a", text("<p>2</p>", 2)), "");
    ASSERT_EQ(store.record("b", text("<p>b</p>", 3)), "");
    const std::int64_t before = store.totalBytes();
    EXPECT_TRUE(store.rename("a", "c"));
    EXPECT_TRUE(store.versions("a").empty());
    EXPECT_EQ(serials(store.versions("c")), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(store.totalBytes(), before);
    ASSERT_EQ(store.record("c", text("<p>3</p>", 4)), "");
    EXPECT_EQ(serials(store.versions("c")), (std::vector<std::int64_t>{1, 2, 3}));

    store.remove("c");
    EXPECT_FALSE(fs::exists(m_data / "history/c"));
    EXPECT_FALSE(store.has("c"));
    EXPECT_TRUE(store.has("b"));
    EXPECT_EQ(store.totalBytes(),
              static_cast<std::int64_t>(fs::file_size(versionFile("b", store.versions("b")[0]))));
}

TEST_F(HistoryStoreTest, OffRecordsNothingAndLeavesWhatIsKept) {
    {
        HistoryStore store(m_data.path(), {});
        ASSERT_EQ(store.record("a", text("<p>1</p>", 1)), "");
    }
    HistoryStore off(m_data.path(), {0, 1 << 20});
    EXPECT_EQ(off.record("a", text("<p>2</p>", 2)), "");
    EXPECT_EQ(off.record("b", text("<p>2</p>", 2)), "");
    EXPECT_EQ(serials(off.versions("a")), (std::vector<std::int64_t>{1}));
    EXPECT_FALSE(fs::exists(m_data / "history/b"));
}

TEST_F(HistoryStoreTest, AWriteThatFailsLeavesNothingAndSaysWhy) {
    HistoryStore store(m_data.path(), {});
    ASSERT_EQ(store.record("a", text("<p>1</p>", 1)), "");
    const std::string big(4096, 'x');
    // A disk that fills up: files may grow no further than 1 KiB, in a process of its own.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        HistoryStore full(m_data.path(), {});
        const std::string failure = full.record("a", text(big, 2));
        ::_exit(failure.find(jp("変更履歴を保存できませんでした")) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write should have failed with a reason";
    EXPECT_EQ(std::distance(fs::directory_iterator(m_data / "history/a"), {}), 1)
        << "a part of the failed version was left";
    // The next change is written.
    EXPECT_EQ(store.record("a", text(big, 3)), "");
    EXPECT_EQ(serials(store.versions("a")), (std::vector<std::int64_t>{1, 2}));

    EXPECT_NE(store.record("../escape", text("x", 1)), "");
    EXPECT_NE(store.record("", text("x", 1)), "");
}

} // namespace
} // namespace tw
