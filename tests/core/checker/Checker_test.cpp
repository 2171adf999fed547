#include "core/history/HistoryStore.h"
#include "core/platform/CodeConverter.h"
#include "core/ports/CheckReceiver.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CReNew.h"
#include "core/watch/HostPacing.h"
#include "support/FakeClock.h"
#include "support/FakeDesktop.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using namespace tw;
using namespace std::chrono_literals;

namespace {

/// A page server whose body and Last-Modified the test changes; counts GET and HEAD requests.
class PageServer {
public:
    PageServer() {
        m_server.Get("/page.html", [this](const httplib::Request&, httplib::Response& res) {
            ++gets;
            if (m_blockGet) {
                std::unique_lock lock(m_mutex);
                m_release.wait(lock, [this] { return !m_blockGet.load(); });
            }
            respond(res);
        });
        // Declares more than it sends, then drops the connection.
        m_server.Get("/cut.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(100000, "text/html",
                                     [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                         sink.write(std::string(5000, 'c').data(), 5000);
                                         return false;
                                     });
        });
        // A block, then one byte at a time until the client goes or the test ends.
        m_server.Get("/drip.html", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "text/html", [this](std::size_t offset, httplib::DataSink& sink) {
                    const std::string bytes = offset == 0 ? std::string(4096, 'd') : "d";
                    if (m_stopDrip || !sink.write(bytes.data(), bytes.size())) {
                        return false;
                    }
                    {
                        std::lock_guard lock(m_mutex);
                        ++m_dripped;
                    }
                    m_release.notify_all();
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    return true;
                });
        });
        m_server.Get("/private.html", [](const httplib::Request& req, httplib::Response& res) {
            if (req.get_header_value("Authorization") != "Basic dXNlcjpzZWNyZXQ=") {
                res.status = 401;
                res.set_header("WWW-Authenticate", "Basic realm=\"test\"");
                return;
            }
            res.set_content("<html>private</html>", "text/html");
        });
        m_server.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) {
                if (req.method == "HEAD" && req.path == "/page.html") {
                    ++heads;
                    if (m_refuseHead) {
                        res.status = 405;
                        res.set_header("Last-Modified", "Wed, 02 Dec 2026 10:00:00 GMT");
                        return httplib::Server::HandlerResponse::Handled;
                    }
                    respond(res);
                    return httplib::Server::HandlerResponse::Handled;
                }
                return httplib::Server::HandlerResponse::Unhandled;
            });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~PageServer() {
        m_stopDrip = true;
        release();
        m_server.stop();
        m_thread.join();
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/page.html"; }
    void setBody(const std::string& body) {
        std::lock_guard lock(m_mutex);
        m_body = body;
    }
    void setLastModified(const std::string& value) {
        std::lock_guard lock(m_mutex);
        m_lastModified = value;
    }
    void blockGets() { m_blockGet = true; }
    void release() {
        m_blockGet = false;
        m_release.notify_all();
    }

    /// Waits until the drip has sent a few pieces, so a transfer is running.
    void waitDripping() {
        std::unique_lock lock(m_mutex);
        m_release.wait(lock, [this] { return m_dripped >= 3; });
    }
    void stopDrip() { m_stopDrip = true; }
    void refuseHead() { m_refuseHead = true; }
    std::string address(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

    std::atomic<int> gets{0};
    std::atomic<int> heads{0};

private:
    void respond(httplib::Response& res) {
        std::lock_guard lock(m_mutex);
        if (!m_lastModified.empty()) {
            res.set_header("Last-Modified", m_lastModified);
        }
        res.set_content(m_body, "text/html");
    }

    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_release;
    std::atomic<bool> m_blockGet{false};
    std::atomic<bool> m_stopDrip{false};
    std::atomic<bool> m_refuseHead{false};
    int m_dripped = 0;
    std::string m_body = "<html>one</html>";
    std::string m_lastModified;
};

class Receiver : public CheckReceiver {
public:
    void checkDone(WatchSettings copy, WatchItemId) override {
        std::lock_guard lock(m_mutex);
        m_reports.push_back(std::move(copy));
        m_arrived.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(m_mutex);
        return m_arrived.wait_for(lock, limit, [&] { return m_reports.size() >= count; });
    }
    std::vector<WatchSettings> reports() {
        std::lock_guard lock(m_mutex);
        return m_reports;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<WatchSettings> m_reports;
};

class CheckerTest : public ::testing::Test {
protected:
    CheckerTest() : m_converter(createCodeConverter()) {
        clock.set(1'800'000'000);
        services.clock = &clock;
        services.prompter = &prompter;
        services.converter = m_converter.get();
        services.programFolder = home.path();
        services.actions.sound = &sound;
        services.connectTimeoutSeconds = 5;
        services.stallTimeoutSeconds = 5;
    }

    WatchSettings item(int downloadMode = 0) const {
        WatchSettings w;
        w.targetUrl = server.url();
        w.downloadMode = downloadMode;
        w.soundMode = 1;
        w.popUp = 0;
        return w;
    }

    /// Arms a fresh checker with the item due now and returns the reported copy.
    WatchSettings checkOnce(const WatchSettings& w) {
        CReNew checker(services);
        return checkWith(checker, w);
    }
    /// The same with a checker that lives on between checks, as the program's one does.
    WatchSettings checkWith(CReNew& checker, const WatchSettings& w) {
        Receiver receiver;
        checker.setReceiver(&receiver);
        checker.arm(w);
        EXPECT_TRUE(receiver.waitFor(1));
        checker.waitDone();
        checker.setIdle();
        const auto reports = receiver.reports();
        return reports.empty() ? WatchSettings() : reports.front();
    }

    std::vector<std::string> filesIn(const std::string& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TempFolder home;
    test::FakeClock clock;
    test::FakePrompter prompter;
    test::FakeSoundPlayer sound;
    PageServer server;
    CheckerServices services;

private:
    std::unique_ptr<CodeConverter> m_converter;
};

} // namespace

TEST_F(CheckerTest, DueNowIsCheckedAtOnceAndReported) {
    WatchSettings w = item();
    w.lastModified = 0; // no shortcut: download and compare
    const WatchSettings first = checkOnce(w);
    EXPECT_EQ(first.lastResult, 2);
    EXPECT_EQ(first.lastCheck, clock.now());
    ASSERT_FALSE(first.compareFile.empty());
    EXPECT_EQ(test::TempFolder::readFile(first.compareFile), "<html>one</html>");
    EXPECT_EQ(sound.played(), std::vector<std::string>{"notify.wav"});

    const WatchSettings second = checkOnce(first);
    EXPECT_EQ(second.lastResult, 1);
    EXPECT_EQ(second.compareFile, first.compareFile);
    EXPECT_EQ(filesIn(home / "comp"), std::vector<std::string>{"temp.tmp"});

    server.setBody("<html>two</html>");
    const WatchSettings third = checkOnce(second);
    EXPECT_EQ(third.lastResult, 2);
    EXPECT_EQ(test::TempFolder::readFile(third.compareFile), "<html>two</html>");
    EXPECT_EQ(filesIn(home / "comp"), std::vector<std::string>{"temp.tmp"});
    EXPECT_EQ(sound.played().size(), 2u);
}

TEST_F(CheckerTest, FarDueItemWaitsAndStopEndsWithoutCheck) {
    CReNew checker(services);
    Receiver receiver;
    checker.setReceiver(&receiver);
    WatchSettings w = item();
    w.nextCheck = clock.now() + 30 * 86400;
    checker.arm(w);
    EXPECT_EQ(checker.waitTime(), std::chrono::milliseconds(30LL * 86400 * 1000));
    EXPECT_FALSE(checker.isBusy());
    EXPECT_FALSE(receiver.waitFor(1, 100ms));
    checker.stop();
    EXPECT_TRUE(receiver.reports().empty());
    EXPECT_EQ(server.gets + server.heads, 0);
}

TEST_F(CheckerTest, LastSecondBeforeACheckCountsAsBusy) {
    CReNew checker(services);
    WatchSettings w = item();
    w.nextCheck = clock.now() + 1;
    checker.arm(w);
    EXPECT_TRUE(checker.isBusy());
    checker.stop();
}

TEST_F(CheckerTest, ClosingDuringCheckReportsNothingAndRunsNoAction) {
    CReNew checker(services);
    Receiver receiver;
    checker.setReceiver(&receiver);
    server.blockGets();
    WatchSettings w = item();
    w.lastModified = 0;
    checker.arm(w);
    while (server.gets == 0) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(checker.isBusy());
    checker.setClosing();
    server.release();
    checker.waitDone();
    EXPECT_TRUE(receiver.reports().empty());
    EXPECT_TRUE(sound.played().empty());
    EXPECT_FALSE(checker.isBusy());
}

TEST_F(CheckerTest, ReArmingStopsAPendingWait) {
    // A waiting worker (the midnight item) must not survive a new arm and check the new copy.
    CReNew checker(services);
    Receiver receiver;
    checker.setReceiver(&receiver);
    WatchSettings midnight;
    midnight.nextCheck = clock.now() + 3600;
    checker.arm(midnight);
    WatchSettings w = item();
    w.lastModified = 0;
    checker.arm(w);
    ASSERT_TRUE(receiver.waitFor(1));
    checker.waitDone();
    EXPECT_EQ(receiver.reports().size(), 1u);
    EXPECT_EQ(server.gets, 1);
}

TEST_F(CheckerTest, OverwriteModeKeepsDestFileUnlessChanged) {
    const std::string dest = home / "keep/page.html";
    fs::create_directories(home / "keep");
    WatchSettings w = item(1);
    w.destFile = dest;
    w.lastModified = 0;
    test::TempFolder::writeFile(dest, "<html>one</html>");
    w.compareFile = dest;

    const WatchSettings same = checkOnce(w);
    EXPECT_EQ(same.lastResult, 1);
    EXPECT_EQ(filesIn(home / "keep"), std::vector<std::string>{"page.html"});

    server.setBody("<html>new</html>");
    const WatchSettings changed = checkOnce(same);
    EXPECT_EQ(changed.lastResult, 2);
    EXPECT_EQ(test::TempFolder::readFile(dest), "<html>new</html>");
    EXPECT_EQ(filesIn(home / "keep"), std::vector<std::string>{"page.html"});
}

TEST_F(CheckerTest, NumberedSeriesContinuesAfterTheNewest) {
    fs::create_directories(home / "keep");
    for (const char* name : {"page.html", "page_1.html", "page_2.html", "page_3.html"}) {
        test::TempFolder::writeFile(home / (std::string("keep/") + name), "old");
    }
    WatchSettings w = item(2);
    w.destFile = home / "keep/page_3.html";
    w.compareFile = home / "keep/page_3.html";
    w.lastModified = 0;
    const WatchSettings changed = checkOnce(w);
    EXPECT_EQ(changed.lastResult, 2);
    EXPECT_EQ(changed.destFile, home / "keep/page_4.html");
    EXPECT_EQ(test::TempFolder::readFile(changed.destFile), "<html>one</html>");
    EXPECT_EQ(filesIn(home / "keep").size(), 5u);
}

TEST_F(CheckerTest, RelativeDestinationsStayInTheDataFolder) {
    // Started from another folder: a bare name and a relative path name files of the data
    // folder, and a name that climbs out of it is refused before anything is written.
    test::TempFolder elsewhere;
    const fs::path savedCwd = fs::current_path();
    fs::current_path(elsewhere.path());
    const std::string data = home / "data";
    fs::create_directories(data + "/keep");
    services.programFolder = data;

    WatchSettings w = item(1);
    w.destFile = "page.html";
    w.lastModified = 0;
    test::TempFolder::writeFile(data + "/page.html", "<html>one</html>");
    const WatchSettings same = checkOnce(w);
    EXPECT_EQ(same.lastResult, 1) << same.errorText;
    server.setBody("<html>new</html>");
    const WatchSettings changed = checkOnce(same);
    EXPECT_EQ(changed.lastResult, 2) << changed.errorText;
    EXPECT_EQ(test::TempFolder::readFile(data + "/page.html"), "<html>new</html>");

    // A numbered series keeps a relative name relative.
    w = item(2);
    w.destFile = "keep/page.html";
    w.lastModified = 0;
    test::TempFolder::writeFile(data + "/keep/page.html", "old");
    const WatchSettings series = checkOnce(w);
    EXPECT_EQ(series.lastResult, 2) << series.errorText;
    EXPECT_EQ(series.destFile, "keep/page_1.html");
    EXPECT_EQ(test::TempFolder::readFile(data + "/keep/page_1.html"), "<html>new</html>");

    w = item(1);
    w.destFile = "keep/../../escape.html";
    w.lastModified = 0;
    const WatchSettings escaped = checkOnce(w);
    EXPECT_EQ(escaped.lastResult, -1);
    EXPECT_EQ(escaped.errorText, jp("保存先のファイル名がデータフォルダの外を指しています"));
    EXPECT_FALSE(fs::exists(home / "escape.html"));

    EXPECT_TRUE(filesIn(elsewhere.path()).empty());
    fs::current_path(savedCwd);
}

TEST_F(CheckerTest, StoredCopyNeverLeavesComp) {
    const std::string data = home / "data";
    fs::create_directories(data);
    services.programFolder = data;

    WatchSettings w = item(0);
    w.lastModified = 0;
    w.compareFile = "../../h.html";
    const WatchSettings climbed = checkOnce(w);
    EXPECT_EQ(climbed.lastResult, 2) << climbed.errorText;
    EXPECT_EQ(climbed.compareFile, data + "/comp/h.html");
    EXPECT_EQ(test::TempFolder::readFile(data + "/comp/h.html"), "<html>one</html>");
    EXPECT_FALSE(fs::exists(home / "h.html"));
    // Pages may be private: the stored copy is the user's alone.
    struct stat status {};
    ASSERT_EQ(::stat(climbed.compareFile.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // A copy left outside comp by a moved data folder still counts, but is not written there
    // again.
    w.compareFile = home / "moved.html";
    test::TempFolder::writeFile(w.compareFile, "<html>one</html>");
    EXPECT_EQ(checkOnce(w).lastResult, 1);
    test::TempFolder::writeFile(w.compareFile, "old");
    const WatchSettings moved = checkOnce(w);
    EXPECT_EQ(moved.lastResult, 2) << moved.errorText;
    EXPECT_EQ(fs::path(moved.compareFile).parent_path(), fs::path(data + "/comp"));
    EXPECT_EQ(test::TempFolder::readFile(moved.compareFile), "<html>one</html>");
    EXPECT_EQ(test::TempFolder::readFile(home / "moved.html"), "old");
    EXPECT_EQ(checkOnce(moved).lastResult, 1);
}

TEST_F(CheckerTest, AFileThatCannotBePutInPlaceIsAnError) {
    fs::create_directories(home / "keep");
    WatchSettings w = item(1);
    w.lastModified = 0;
    w.destFile = home / ("keep/" + std::string(5000, 'n') + ".html");
    const WatchSettings result = checkOnce(w);
    EXPECT_EQ(result.lastResult, -1);
    EXPECT_EQ(result.errorKind, 2);
    EXPECT_FALSE(result.errorText.empty());
    EXPECT_TRUE(filesIn(home / "keep").empty());
    EXPECT_TRUE(sound.played().empty());

    // A changed area that could not be kept is not taken as the new area either.
    w.anchorKeyword = "<html>";
    w.areaSize = 3;
    w.areaText = "old";
    const WatchSettings area = checkOnce(w);
    EXPECT_EQ(area.lastResult, -1);
    EXPECT_EQ(area.areaText, "old");
    EXPECT_TRUE(filesIn(home / "keep").empty());
}

TEST_F(CheckerTest, AFifoInPlaceOfTheKeptFileIsAnError) {
    fs::create_directories(home / "keep");
    const std::string dest = home / "keep/page.html";
    ASSERT_EQ(::mkfifo(dest.c_str(), 0600), 0);
    WatchSettings w = item(1);
    w.lastModified = 0;
    w.destFile = dest;
    const WatchSettings result = checkOnce(w);
    EXPECT_EQ(result.lastResult, -1);
    EXPECT_EQ(result.errorText, jp("比較用のファイルが通常のファイルではありません"));
    EXPECT_TRUE(fs::is_fifo(dest));
    EXPECT_EQ(filesIn(home / "keep"), std::vector<std::string>{"page.html"});
}

TEST_F(CheckerTest, ACutDownloadLeavesNoWorkFile) {
    WatchSettings w = item(0);
    w.targetUrl = server.address("/cut.html");
    w.lastModified = 0;
    const WatchSettings result = checkOnce(w);
    EXPECT_EQ(result.lastResult, -1);
    EXPECT_TRUE(filesIn(home / "comp").empty());
}

TEST_F(CheckerTest, ClosingCancelsARunningTransfer) {
    CReNew checker(services);
    Receiver receiver;
    checker.setReceiver(&receiver);
    WatchSettings w = item(0);
    w.targetUrl = server.address("/drip.html");
    w.lastModified = 0;
    checker.arm(w);
    server.waitDripping();
    checker.setClosing();
    // The drip never ends by itself: only the cancel ends this check.
    auto done = std::async(std::launch::async, [&] { checker.waitDone(); });
    const bool ended = done.wait_for(60s) == std::future_status::ready;
    server.stopDrip();
    done.wait();
    EXPECT_TRUE(ended);
    EXPECT_TRUE(receiver.reports().empty());
    EXPECT_TRUE(sound.played().empty());
    EXPECT_TRUE(filesIn(home / "comp").empty());
}

TEST_F(CheckerTest, CredentialsFromThePromptReachTheFinishedCopy) {
    prompter.setNextCredentials({true, "user", "secret"});
    WatchSettings w = item(0);
    w.targetUrl = server.address("/private.html");
    w.lastModified = 0;
    const WatchSettings result = checkOnce(w);
    EXPECT_EQ(result.lastResult, 2) << result.errorText;
    EXPECT_EQ(result.userName, "user");
    EXPECT_EQ(result.password, "secret");
    EXPECT_EQ(prompter.authAddresses().size(), 1u);
}

TEST_F(CheckerTest, CredentialsRefusedAtTheTimeQueryEndTheCheck) {
    prompter.setNextCredentials({false, "", ""});
    WatchSettings w = item(0); // lastModified -1: the time query runs first
    w.targetUrl = server.address("/private.html");
    const WatchSettings result = checkOnce(w);
    EXPECT_EQ(result.outcome(), CheckOutcome::Failed);
    EXPECT_EQ(result.errorKind, WatchSettings::kErrorWithText);
    EXPECT_EQ(result.errorText, jp("認証が否定されました"));
    // Not asked a second time for a download.
    EXPECT_EQ(prompter.authAddresses().size(), 1u);
}

TEST_F(CheckerTest, LastModifiedShortcut) {
    server.setLastModified("Wed, 02 Dec 2026 10:00:00 GMT");
    WatchSettings w = item(0); // lastModified -1: the query runs on the first check
    const WatchSettings first = checkOnce(w);
    EXPECT_EQ(first.lastResult, 2);
    EXPECT_GT(first.lastModified, 0);
    EXPECT_EQ(server.gets, 0); // decided by the time alone
    EXPECT_EQ(server.heads, 1);

    const WatchSettings second = checkOnce(first);
    EXPECT_EQ(second.lastResult, 1);
    EXPECT_EQ(server.gets, 0);

    server.setLastModified("Thu, 03 Dec 2026 10:00:00 GMT");
    const WatchSettings third = checkOnce(second);
    EXPECT_EQ(third.lastResult, 2);
    EXPECT_GT(third.lastModified, second.lastModified);
}

TEST_F(CheckerTest, ServerWithoutLastModifiedFallsBackToComparing) {
    const WatchSettings first = checkOnce(item(0));
    EXPECT_EQ(first.lastResult, 2);
    EXPECT_EQ(first.lastModified, 0);
    EXPECT_EQ(server.gets, 0);
    const int headsAfterFirst = server.heads;

    const WatchSettings second = checkOnce(first);
    const WatchSettings third = checkOnce(second);
    EXPECT_EQ(third.lastResult, 1);
    EXPECT_EQ(server.heads, headsAfterFirst); // no more queries once the server sent none
    EXPECT_EQ(server.gets, 2);
}

TEST_F(CheckerTest, KeywordAreaIsStoredWhenItChanges) {
    server.setBody("<p>price: 100 yen</p>");
    WatchSettings w = item(0);
    w.lastModified = 0;
    w.anchorKeyword = "price: ";
    w.areaSize = 3;
    const WatchSettings first = checkOnce(w);
    EXPECT_EQ(first.lastResult, 2);
    EXPECT_EQ(first.areaText, "100");
    EXPECT_EQ(checkOnce(first).lastResult, 1);
    server.setBody("<p>price: 120 yen</p>");
    const WatchSettings changed = checkOnce(first);
    EXPECT_EQ(changed.lastResult, 2);
    EXPECT_EQ(changed.areaText, "120");
}

TEST_F(CheckerTest, FailedFetchKeepsStoredState) {
    WatchSettings w = item(0);
    w.targetUrl = server.url() + ".missing";
    w.lastModified = 0;
    w.compareFile = home / "stored.html";
    const WatchSettings result = checkOnce(w);
    EXPECT_EQ(result.lastResult, -1);
    EXPECT_EQ(result.errorKind, 404);
    EXPECT_EQ(result.compareFile, home / "stored.html");
    EXPECT_TRUE(sound.played().empty());
}

TEST_F(CheckerTest, NewTimeDoesNotSettleACheckArea) {
    // Only the area counts: a page whose time moved but whose area did not is unchanged.
    server.setBody("<p>price: 100 yen</p><p>1</p>");
    server.setLastModified("Wed, 02 Dec 2026 10:00:00 GMT");
    WatchSettings w = item(0);
    w.anchorKeyword = "price: ";
    w.areaSize = 3;
    const WatchSettings first = checkOnce(w);
    EXPECT_EQ(first.lastResult, 2);
    EXPECT_EQ(first.areaText, "100");
    EXPECT_EQ(server.gets, 1);

    server.setBody("<p>price: 100 yen</p><p>2</p>");
    server.setLastModified("Thu, 03 Dec 2026 10:00:00 GMT");
    const WatchSettings second = checkOnce(first);
    EXPECT_EQ(second.lastResult, 1);
    EXPECT_EQ(server.gets, 2);

    // An unchanged time still spares the download.
    EXPECT_EQ(checkOnce(second).lastResult, 1);
    EXPECT_EQ(server.gets, 2);
}

TEST_F(CheckerTest, RefusedHeadFallsBackToADownload) {
    server.refuseHead();
    const WatchSettings first = checkOnce(item(0)); // lastModified -1: the query runs
    EXPECT_EQ(server.heads, 1);
    EXPECT_EQ(server.gets, 1);
    EXPECT_EQ(first.lastResult, 2);
    EXPECT_EQ(test::TempFolder::readFile(first.compareFile), "<html>one</html>");
}

TEST_F(CheckerTest, MissingPageIsAnErrorOnTheFirstCheckToo) {
    // The first check of a new item asks for the time first; a 404 there is no update.
    WatchSettings w = item(0);
    w.targetUrl = server.url() + ".missing";
    const WatchSettings result = checkOnce(w);
    EXPECT_EQ(result.lastResult, -1);
    EXPECT_EQ(result.errorKind, 404);
    EXPECT_TRUE(sound.played().empty());
}

TEST_F(CheckerTest, AJapaneseDownloadFolderKeepsThePageUnderItsUtf8Name) {
    // The default download folder of a Japanese desktop.
    fs::create_directories(home / "ダウンロード");
    WatchSettings w = item(1);
    w.destFile = jp(home / "ダウンロード/価格.html");
    w.lastModified = 0;
    const WatchSettings first = checkOnce(w);
    ASSERT_EQ(first.lastResult, 2) << fromCp932(first.errorText);
    EXPECT_EQ(filesIn(home / "ダウンロード"), std::vector<std::string>{"価格.html"});
    EXPECT_EQ(test::TempFolder::readFile(home / "ダウンロード/価格.html"), "<html>one</html>");
    // Nothing under the 932 bytes beside it.
    EXPECT_EQ(filesIn(home.path()), std::vector<std::string>{"ダウンロード"});

    const WatchSettings same = checkOnce(first);
    EXPECT_EQ(same.lastResult, 1) << fromCp932(same.errorText);
    server.setBody("<html>two</html>");
    const WatchSettings changed = checkOnce(same);
    EXPECT_EQ(changed.lastResult, 2) << fromCp932(changed.errorText);
    EXPECT_EQ(test::TempFolder::readFile(home / "ダウンロード/価格.html"), "<html>two</html>");

    // As a numbered series the next page is 価格_1.html.
    WatchSettings series = changed;
    series.downloadMode = 2;
    server.setBody("<html>three</html>");
    const WatchSettings numbered = checkOnce(series);
    ASSERT_EQ(numbered.lastResult, 2) << fromCp932(numbered.errorText);
    EXPECT_EQ(numbered.destFile, jp(home / "ダウンロード/価格_1.html"));
    EXPECT_EQ(filesIn(home / "ダウンロード"),
              (std::vector<std::string>{"価格.html", "価格_1.html"}));
}

TEST_F(CheckerTest, AFileAnEarlierVersionWroteUnderIts932BytesIsStillUsed) {
    fs::create_directories(home / "ダウンロード");
    const std::string legacy = home / "ダウンロード/" + jp("価格.html");
    test::TempFolder::writeFile(legacy, "<html>one</html>");
    WatchSettings w = item(1);
    w.destFile = jp(home / "ダウンロード/価格.html");
    w.lastModified = 0;
    const WatchSettings same = checkOnce(w);
    EXPECT_EQ(same.lastResult, 1) << fromCp932(same.errorText);

    server.setBody("<html>two</html>");
    const WatchSettings changed = checkOnce(same);
    EXPECT_EQ(changed.lastResult, 2) << fromCp932(changed.errorText);
    EXPECT_EQ(test::TempFolder::readFile(legacy), "<html>two</html>");
    EXPECT_EQ(filesIn(home / "ダウンロード"), std::vector<std::string>{jp("価格.html")});
}

TEST_F(CheckerTest, AJapaneseDataFolderHoldsTheStoredCopies) {
    fs::create_directories(home / "データ");
    services.programFolder = jp(home / "データ");
    WatchSettings w = item();
    w.lastModified = 0;
    const WatchSettings first = checkOnce(w);
    ASSERT_EQ(first.lastResult, 2) << fromCp932(first.errorText);
    EXPECT_EQ(first.compareFile, jp(home / "データ/comp/temp.tmp"));
    EXPECT_EQ(filesIn(home / "データ/comp"), std::vector<std::string>{"temp.tmp"});
    EXPECT_EQ(filesIn(home.path()), std::vector<std::string>{"データ"});
    EXPECT_EQ(checkOnce(first).lastResult, 1);
}

TEST_F(CheckerTest, KeepingTheDownloadWithoutADestinationSaysSoInJapanese) {
    for (const int mode : {1, 2}) {
        WatchSettings w = item(mode);
        w.lastModified = 0;
        const WatchSettings result = checkOnce(w);
        EXPECT_EQ(result.lastResult, -1);
        EXPECT_EQ(result.errorText, jp("ダウンロードするファイルが指定されていません"))
            << result.errorText;
        EXPECT_TRUE(filesIn(home.path()).empty());
    }
}

namespace {

std::vector<std::string> keptTexts(const HistoryStore& store, const std::string& key) {
    std::vector<std::string> texts;
    for (const HistoryVersion& v : store.versions(key)) {
        texts.push_back(store.read(key, v).value_or("<unreadable>"));
    }
    return texts;
}

} // namespace

TEST_F(CheckerTest, EachChangeOfAPageIsKeptWithItsCheckTimeAndCode) {
    HistoryStore history(home.path(), {});
    services.history = &history;
    const std::string one = "<html><meta charset=\"utf-8\">一</html>";
    server.setBody(one);
    WatchSettings w = item();
    w.lastModified = 0;
    const WatchSettings first = checkOnce(w);
    ASSERT_EQ(first.lastResult, 2);
    const std::string key = HistoryStore::keyOf(first.compareFile);
    EXPECT_EQ(key, "temp.tmp");
    clock.advance(60);
    EXPECT_EQ(checkOnce(first).lastResult, 1);
    clock.advance(60);
    server.setBody("<html>two</html>");
    const WatchSettings changed = checkOnce(first);
    ASSERT_EQ(changed.lastResult, 2);

    const auto versions = history.versions(key);
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_EQ(versions[0].checkedAt, 1'800'000'000);
    EXPECT_EQ(versions[1].checkedAt, 1'800'000'120);
    EXPECT_EQ(versions[0].codePage, 65001);
    EXPECT_TRUE(versions[0].html);
    EXPECT_FALSE(versions[0].area);
    EXPECT_EQ(keptTexts(history, key), (std::vector<std::string>{one, "<html>two</html>"}));
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(CheckerTest, AnAreaIsKeptAndAnItemWithoutHistoryGetsItsFirstVersionUnchanged) {
    HistoryStore history(home.path(), {});
    services.history = &history;
    server.setBody(jp("<p>価格：100円です</p>"));
    WatchSettings w = item();
    w.lastModified = 0;
    w.japaneseCode = 4;
    w.anchorKeyword = jp("価格：");
    w.areaSize = 5;
    // Checked before this program kept history: the area is known, nothing is kept yet.
    w.areaText = jp("100円");
    w.compareFile = home / "comp/temp_4.tmp";
    fs::create_directories(home / "comp");
    test::TempFolder::writeFile(w.compareFile, "old page");
    const WatchSettings same = checkOnce(w);
    EXPECT_EQ(same.lastResult, 1);
    EXPECT_EQ(keptTexts(history, "temp_4.tmp"), std::vector<std::string>{jp("100円")});
    EXPECT_EQ(checkOnce(same).lastResult, 1);
    server.setBody(jp("<p>価格：120円です</p>"));
    EXPECT_EQ(checkOnce(same).lastResult, 2);
    const auto versions = history.versions("temp_4.tmp");
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_TRUE(versions[1].area);
    EXPECT_EQ(versions[1].codePage, 932);
    EXPECT_EQ(keptTexts(history, "temp_4.tmp"),
              (std::vector<std::string>{jp("100円"), jp("120円")}));
}

TEST_F(CheckerTest, AnItemKeepingItsDownloadsGetsAStableHistoryName) {
    HistoryStore history(home.path(), {});
    services.history = &history;
    fs::create_directories(home / "keep");
    WatchSettings w = item(2);
    w.destFile = home / "keep/page.html";
    w.lastModified = 0;
    const WatchSettings first = checkOnce(w);
    ASSERT_EQ(first.lastResult, 2) << first.errorText;
    EXPECT_EQ(first.compareFile, home / "comp/temp.tmp");
    server.setBody("<html>two</html>");
    const WatchSettings second = checkOnce(first);
    ASSERT_EQ(second.lastResult, 2);
    EXPECT_EQ(second.compareFile, first.compareFile);
    EXPECT_NE(second.destFile, first.destFile);
    EXPECT_EQ(keptTexts(history, "temp.tmp"),
              (std::vector<std::string>{"<html>one</html>", "<html>two</html>"}));
}

TEST_F(CheckerTest, AFullDiskLeavesTheCheckStandingAndIsToldOnce) {
    HistoryStore history(home.path(), {});
    services.history = &history;
    WatchSettings w = item();
    w.lastModified = 0;
    const WatchSettings first = checkOnce(w);
    ASSERT_EQ(first.lastResult, 2);
    const std::string key = HistoryStore::keyOf(first.compareFile);

    // Files may grow to the page's size, not to a version of it with its header.
    const std::string page(2000, 'p');
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit tight{page.size() + 10, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    CReNew checker(services);
    server.setBody(page);
    const WatchSettings full = checkWith(checker, first);
    server.setBody(page + "2");
    const WatchSettings fullAgain = checkWith(checker, full);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(full.lastResult, 2) << fromCp932(full.errorText);
    EXPECT_EQ(fullAgain.lastResult, 2);
    EXPECT_EQ(test::TempFolder::readFile(fullAgain.compareFile), page + "2");
    ASSERT_EQ(prompter.messages().size(), 1u);
    EXPECT_EQ(prompter.messages()[0].find(jp("変更履歴を保存できませんでした")), 0u);
    EXPECT_EQ(history.versions(key).size(), 1u);
    EXPECT_EQ(filesIn(home / ("history/" + key)).size(), 1u); // no part of a version left

    // The next change is kept.
    server.setBody("<html>three</html>");
    EXPECT_EQ(checkWith(checker, fullAgain).lastResult, 2);
    EXPECT_EQ(keptTexts(history, key),
              (std::vector<std::string>{"<html>one</html>", "<html>three</html>"}));
    EXPECT_EQ(prompter.messages().size(), 1u);
}

TEST_F(CheckerTest, WithHistoryAChangeTheTimeDecidedIsFetchedOnceAndKept) {
    HistoryStore history(home.path(), {});
    services.history = &history;
    server.setLastModified("Wed, 02 Dec 2026 10:00:00 GMT");
    server.setBody("<html>one</html>");
    const WatchSettings first = checkOnce(item(0));
    EXPECT_EQ(first.lastResult, 2);
    EXPECT_EQ(server.heads, 1);
    EXPECT_EQ(server.gets, 1);
    const std::string key = HistoryStore::keyOf(first.compareFile);
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(test::TempFolder::readFile(first.compareFile), "<html>one</html>");

    // The same time: settled by the time alone, nothing fetched.
    const WatchSettings same = checkOnce(first);
    EXPECT_EQ(same.lastResult, 1);
    EXPECT_EQ(server.gets, 1);

    server.setLastModified("Thu, 03 Dec 2026 10:00:00 GMT");
    server.setBody("<html>two</html>");
    const WatchSettings second = checkOnce(same);
    EXPECT_EQ(second.lastResult, 2);
    EXPECT_EQ(server.gets, 2);
    EXPECT_EQ(second.compareFile, first.compareFile);
    EXPECT_EQ(keptTexts(history, key),
              (std::vector<std::string>{"<html>one</html>", "<html>two</html>"}));
}

namespace {

/// Notes the system's id of the thread each report comes from.
class ThreadNoter : public CheckReceiver {
public:
    void checkDone(WatchSettings, WatchItemId) override {
        std::lock_guard lock(m_mutex);
        tids.push_back(static_cast<long>(::gettid()));
    }
    std::vector<long> taken() {
        std::lock_guard lock(m_mutex);
        return tids;
    }

private:
    std::mutex m_mutex;
    std::vector<long> tids;
};

} // namespace

TEST_F(CheckerTest, ARoundOfManyItemsIsServedByOneThread) {
    CReNew checker(services);
    ThreadNoter noter;
    checker.setReceiver(&noter);
    for (int i = 0; i < 40; ++i) {
        WatchSettings w; // the empty midnight item: checked without a request
        w.nextCheck = WatchSettings::kDueNow;
        checker.arm(w);
        checker.waitDone();
        checker.setIdle();
    }
    const std::vector<long> tids = noter.taken();
    ASSERT_EQ(tids.size(), 40u);
    // Thread ids are handed out anew for every thread started: one id is one thread.
    EXPECT_EQ(std::count(tids.begin(), tids.end(), tids.front()), 40) << "a thread per check";
    EXPECT_NE(tids.front(), static_cast<long>(::gettid()));
}

TEST_F(CheckerTest, AnItemWaitingForItsHostsTurnIsNotBusyAndStopEndsTheWait) {
    HostPacing pacing(clock, "");
    pacing.setLoopbackExempt(false);
    pacing.setGap(std::chrono::hours(1));
    services.pacing = &pacing;
    const WatchSettings w = item();
    pacing.noteRequest(w.targetUrl);
    CReNew checker(services);
    Receiver receiver;
    checker.setReceiver(&receiver);
    checker.arm(w);
    // An edit made now is applied at once rather than queued behind an hour's wait.
    EXPECT_FALSE(checker.isBusy());
    checker.stop();
    checker.waitDone();
    EXPECT_EQ(server.gets + server.heads, 0);
    EXPECT_TRUE(receiver.reports().empty());

    // Once the gap has passed, the host is asked.
    clock.advance(std::chrono::hours(1));
    checker.arm(w);
    ASSERT_TRUE(receiver.waitFor(1));
    checker.waitDone();
    EXPECT_GT(server.gets + server.heads, 0);
}
