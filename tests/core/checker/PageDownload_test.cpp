// The one way a page is downloaded and kept where the next check looks, as the checker and the
// source view both use it: where the work file goes, what each download mode keeps, and that a
// download that fails or is not kept leaves nothing, and never takes another download's file.

#include "core/net/FetchRequest.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/PageDownload.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace tw;
using tw::test::TempFolder;

namespace {

class Server {
public:
    Server() {
        m_server.Get("/page.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html>new</html>", "text/html");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::yield();
        }
    }
    ~Server() {
        m_server.stop();
        m_thread.join();
    }
    std::string url(const char* path = "/page.html") const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

private:
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class PageDownloadTest : public ::testing::Test {
protected:
    WatchSettings item(int mode, const std::string& dest = {}) {
        WatchSettings w;
        w.targetUrl = m_server.url();
        w.downloadMode = mode;
        w.destFile = dest;
        return w;
    }
    /// prepare() and fetch(): the path written, or "" on a failure.
    std::string download(PageDownload& download, const WatchSettings& w) {
        FetchRequest request(w);
        request.connectTimeoutSeconds = 5;
        if (!download.prepare(w, request).empty() || !download.fetch(request, nullptr)) {
            return {};
        }
        return download.path();
    }

    TempFolder m_home;
    Server m_server;
};

TEST_F(PageDownloadTest, WholePageModeMakesTheFirstDownloadTheStoredCopyInComp) {
    WatchSettings w = item(0);
    PageDownload first(m_home.path());
    const std::string written = download(first, w);
    EXPECT_EQ(written, m_home / "comp/temp.tmp");
    struct stat info {};
    ASSERT_EQ(::stat(written.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(first.keep(w), "");
    EXPECT_EQ(w.compareFile, written);
    EXPECT_EQ(first.path(), "");

    // The next one goes beside it and takes its place.
    PageDownload second(m_home.path());
    EXPECT_EQ(download(second, w), m_home / "comp/temp_1.tmp");
    EXPECT_EQ(second.keep(w), "");
    EXPECT_EQ(w.compareFile, m_home / "comp/temp.tmp");
    EXPECT_EQ(filesIn(m_home / "comp"), std::vector<std::string>{"temp.tmp"});
    EXPECT_EQ(TempFolder::readFile(w.compareFile), "<html>new</html>");
}

TEST_F(PageDownloadTest, KeptDownloadsReplaceOrNumberTheSaveFile) {
    fs::create_directory(m_home / "dl");
    for (const char* name : {"page.html", "page_1.html", "page_2.html", "page_3.html"}) {
        TempFolder::writeFile(m_home / "dl/" + name, "old");
    }
    WatchSettings overwrite = item(1, "dl/page.html");
    PageDownload one(m_home.path());
    EXPECT_EQ(download(one, overwrite), m_home / "dl/temp.tmp");
    EXPECT_EQ(one.keep(overwrite), "");
    EXPECT_EQ(overwrite.destFile, "dl/page.html");
    EXPECT_EQ(TempFolder::readFile(m_home / "dl/page.html"), "<html>new</html>");

    WatchSettings numbered = item(2, "dl/page_3.html");
    PageDownload two(m_home.path());
    EXPECT_NE(download(two, numbered), "");
    EXPECT_EQ(two.keep(numbered), "");
    EXPECT_EQ(numbered.destFile, "dl/page_4.html");
    EXPECT_EQ(filesIn(m_home / "dl"),
              (std::vector<std::string>{"page.html", "page_1.html", "page_2.html", "page_3.html",
                                        "page_4.html"}));
    EXPECT_FALSE(fs::exists(m_home / "comp"));
}

TEST_F(PageDownloadTest, ItemsWithoutAPlaceAreRefusedBeforeAnyDownload) {
    FetchRequest request;
    PageDownload download(m_home.path());
    EXPECT_EQ(download.prepare(item(1), request),
              jp("ダウンロードするファイルが指定されていません"));
    EXPECT_EQ(download.prepare(item(2, "../outside.html"), request),
              jp("保存先のファイル名がデータフォルダの外を指しています"));
    EXPECT_TRUE(filesIn(m_home.path()).empty());
}

TEST_F(PageDownloadTest, AFailedKeepRemovesTheDownloadAndChangesNothing) {
    fs::create_directory(m_home / "dl");
    WatchSettings w = item(1, "dl/page.html");
    PageDownload download(m_home.path());
    ASSERT_NE(this->download(download, w), "");
    // The save file cannot take its place: a folder stands there.
    fs::create_directory(m_home / "dl/page.html");
    const std::string failure = download.keep(w);
    EXPECT_EQ(failure.rfind(jp("ダウンロードしたファイルを保存できませんでした: "), 0), 0u)
        << failure;
    EXPECT_EQ(w.destFile, "dl/page.html");
    EXPECT_EQ(download.path(), "");
    EXPECT_EQ(filesIn(m_home / "dl"), std::vector<std::string>{"page.html"});
}

// A download is created under the first free name when its body arrives, so the name it was
// prepared with may by then be another download's: a failure must leave that file alone.
TEST_F(PageDownloadTest, AFailedDownloadRemovesOnlyWhatItWrote) {
    WatchSettings w = item(0);
    w.targetUrl = m_server.url("/missing.html");
    FetchRequest request(w);
    PageDownload failing(m_home.path());
    ASSERT_EQ(failing.prepare(w, request), "");
    ASSERT_EQ(request.destFile, m_home / "comp/temp.tmp");
    TempFolder::writeFile(request.destFile, "another download's page");
    EXPECT_FALSE(failing.fetch(request, nullptr));
    EXPECT_EQ(request.errorKind, 404);
    EXPECT_EQ(TempFolder::readFile(m_home / "comp/temp.tmp"), "another download's page");

    // Cancelled: nothing of it stays either.
    std::atomic<bool> cancel{true};
    w.targetUrl = m_server.url();
    FetchRequest cancelled(w);
    cancelled.cancelRequested = &cancel;
    PageDownload stopped(m_home.path());
    ASSERT_EQ(stopped.prepare(w, cancelled), "");
    EXPECT_FALSE(stopped.fetch(cancelled, nullptr));
    EXPECT_EQ(filesIn(m_home / "comp"), std::vector<std::string>{"temp.tmp"});
}

TEST_F(PageDownloadTest, DiscardLeavesNothing) {
    WatchSettings w = item(0);
    PageDownload download(m_home.path());
    ASSERT_NE(this->download(download, w), "");
    download.discard();
    EXPECT_TRUE(filesIn(m_home / "comp").empty());
    EXPECT_EQ(w.compareFile, "");
}

} // namespace
