#include "core/feed/CAnnounceFeed.h"
#include "core/platform/RegistryKey.h"
#include "support/ManualExecutor.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

namespace tw {
namespace {

using Answer = CAnnounceFeed::Answer;

/// Serves /announce.dat with the body the test sets, a 1 MB file and a file that trickles.
class AnnounceServer {
public:
    AnnounceServer() {
        m_server.Get("/announce.dat", [this](const httplib::Request&, httplib::Response& res) {
            ++gets;
            std::lock_guard lock(m_mutex);
            res.set_content(m_body, "text/plain");
        });
        m_server.Get("/big.dat", [this](const httplib::Request&, httplib::Response& res) {
            ++gets;
            res.set_content("ID__: 9\n" + std::string(1 << 20, 'x'), "text/plain");
        });
        m_server.Get("/slow.dat", [this](const httplib::Request&, httplib::Response& res) {
            ++gets;
            res.set_chunked_content_provider("text/plain", [this](size_t, httplib::DataSink& sink) {
                if (m_stop) {
                    return false;
                }
                sink.write("I", 1);
                {
                    std::lock_guard lock(m_mutex);
                    ++m_dripped;
                }
                m_changed.notify_all();
                std::unique_lock lock(m_mutex);
                m_changed.wait_for(lock, std::chrono::milliseconds(50),
                                   [this] { return m_stop.load(); });
                return !m_stop;
            });
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~AnnounceServer() {
        m_stop = true;
        m_changed.notify_all();
        m_server.stop();
        m_thread.join();
    }

    std::string address(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    void setBody(std::string body) {
        std::lock_guard lock(m_mutex);
        m_body = std::move(body);
    }
    void waitDripping() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_dripped >= 3; });
    }

    std::atomic<int> gets{0};

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_body;
    int m_dripped = 0;
    std::atomic<bool> m_stop{false};
};

/// An owner that is closing: every question is refused.
class RefusingExecutor : public test::ManualExecutor {
public:
    [[nodiscard]] bool send(const std::function<void()>&) override { return false; }
};

struct Outcome {
    int asked = 0;
    int results = 0;
    std::optional<std::string> url;
    int status = -1;
    std::string annId;
};

class AnnounceFeedTest : public ::testing::Test {
protected:
    std::string keyPath() const { return std::string(CAnnounceFeed::kKeyPrefix) + "\\Tarnwick"; }
    std::string readValue(const std::string& name) {
        return RegistryKey(keyPath(), true, nullptr, m_config.path()).readString(name);
    }
    void writeValue(const std::string& name, const std::string& value) {
        RegistryKey(keyPath(), false, nullptr, m_config.path()).writeString(name, value);
    }

    /// One run of the program's feed: created, started, the result awaited, destroyed.
    Outcome run(const std::string& location, Answer answer = Answer::Yes, int version = 120,
                const std::string& category = "free", test::ManualExecutor* executor = nullptr) {
        test::ManualExecutor& owner = executor ? *executor : m_executor;
        Outcome outcome;
        CAnnounceFeed* self = nullptr;
        CAnnounceFeed feed({owner, m_data.path(), m_config.path(), nullptr,
                            [&] {
                                ++outcome.asked;
                                return answer;
                            },
                            [&](const std::string* url) {
                                ++outcome.results;
                                if (url) {
                                    outcome.url = *url;
                                }
                                outcome.status = self->status();
                                self->destroy();
                            }});
        self = &feed;
        writeValue("Location", location);
        feed.create("Tarnwick", "");
        feed.start(0, version, category);
        while (outcome.results == 0) {
            if (!owner.runNext()) {
                break;
            }
        }
        owner.runPending();
        outcome.annId = readValue("AnnID");
        return outcome;
    }

    Outcome offer(const std::string& file, Answer answer = Answer::Yes, int version = 120,
                  const std::string& category = "free") {
        m_server.setBody(file);
        return run(m_server.address("/announce.dat"), answer, version, category);
    }

    test::TempFolder m_data;
    test::TempFolder m_config;
    test::ManualExecutor m_executor;
    AnnounceServer m_server;
};

TEST(AnnouncementLines, LaterLinesWinShortLinesAndOverflowAreHarmless) {
    CAnnounceFeed::Announcement ann;
    ann.parseLine("ID__: 7\n");
    ann.parseLine("  ID__: 12\n");
    ann.parseLine("Vers:");
    EXPECT_EQ(ann.id, 12);
    EXPECT_EQ(ann.versionLimit, 0);
    EXPECT_EQ(CAnnounceFeed::decimalValue(" 42abc"), 42);
    EXPECT_EQ(CAnnounceFeed::decimalValue("99999999999999"), INT_MAX);
    EXPECT_EQ(CAnnounceFeed::decimalValue("x"), 0);
}

TEST_F(AnnounceFeedTest, AnnouncedIdMustExceedTheLastAnswered) {
    writeValue("AnnID", "5");
    Outcome same = offer("Url_: http://news.example/5.html\nID__: 5\n");
    EXPECT_EQ(same.asked, 0);
    EXPECT_EQ(same.results, 1);
    EXPECT_FALSE(same.url);

    Outcome next = offer("Url_: http://news.example/6.html\nID__: 6\n");
    EXPECT_EQ(next.asked, 1);
    EXPECT_EQ(next.results, 1);
    EXPECT_EQ(next.url, "http://news.example/6.html");
    EXPECT_EQ(next.annId, "6");
    EXPECT_EQ(next.status, CAnnounceFeed::Read);
}

TEST_F(AnnounceFeedTest, VersionLimitAndCategories) {
    const std::string base = "Url_: http://news.example/a.html\nID__: 1\n";
    EXPECT_EQ(offer(base + "Vers: 120\n", Answer::Later).asked, 0);
    EXPECT_EQ(offer(base + "Vers: 121\n", Answer::Later).asked, 1);
    EXPECT_EQ(offer(base, Answer::Later).asked, 1);

    EXPECT_EQ(offer(base + "Cate: beta\n", Answer::Later).asked, 0);
    EXPECT_EQ(offer(base + "Cate: beta,free\n", Answer::Later).asked, 1);
    EXPECT_EQ(offer(base + "Cate: beta,free\n", Answer::Later, 120, "").asked, 0);

    EXPECT_EQ(offer("Url_: https://news.example/a.html\nID__: 1\n").asked, 0);
    EXPECT_EQ(offer("Url_: HTTP://news.example/a.html\nID__: 1\n").asked, 0);
    EXPECT_EQ(readValue("AnnID"), "");
}

TEST_F(AnnounceFeedTest, AnotherTimeOffersAgainAndDeclineDoesNot) {
    const std::string file = "Url_: http://news.example/3.html\nID__: 3\n";
    Outcome later = offer(file, Answer::Later);
    EXPECT_EQ(later.asked, 1);
    EXPECT_FALSE(later.url);
    EXPECT_EQ(later.annId, "");

    Outcome declined = offer(file, Answer::Decline);
    EXPECT_EQ(declined.asked, 1);
    EXPECT_FALSE(declined.url);
    EXPECT_EQ(declined.annId, "3");

    EXPECT_EQ(offer(file, Answer::Yes).asked, 0);
}

TEST_F(AnnounceFeedTest, QuestionRefusedWhileClosingCountsAsAnotherTime) {
    m_server.setBody("Url_: http://news.example/4.html\nID__: 4\n");
    RefusingExecutor closing;
    Outcome outcome = run(m_server.address("/announce.dat"), Answer::Yes, 120, "free", &closing);
    EXPECT_EQ(outcome.asked, 0);
    EXPECT_EQ(outcome.results, 1);
    EXPECT_FALSE(outcome.url);
    EXPECT_EQ(outcome.annId, "");
}

TEST_F(AnnounceFeedTest, CrLfFileGivesAnAddressWithoutCarriageReturn) {
    Outcome outcome = offer("Url_: http://news.example/crlf.html\r\nID__: 8\r\nVers: 121\r\n"
                            "Cate: free\r\n");
    EXPECT_EQ(outcome.asked, 1);
    EXPECT_EQ(outcome.url, "http://news.example/crlf.html");
    EXPECT_EQ(outcome.annId, "8");
    EXPECT_EQ(test::TempFolder::readFile(m_data / CAnnounceFeed::kFileName).substr(0, 5), "Url_:");
}

TEST_F(AnnounceFeedTest, OneMegabyteAnswerIsAFailedDownload) {
    Outcome outcome = run(m_server.address("/big.dat"));
    EXPECT_EQ(m_server.gets, 1);
    EXPECT_EQ(outcome.asked, 0);
    EXPECT_EQ(outcome.results, 1);
    EXPECT_EQ(outcome.status, CAnnounceFeed::DownloadFailed);
    EXPECT_FALSE(std::filesystem::exists(m_data / CAnnounceFeed::kFileName));
}

TEST_F(AnnounceFeedTest, StopDuringTheDelayEndsWithoutARequest) {
    int results = 0;
    {
        CAnnounceFeed feed({m_executor, m_data.path(), m_config.path(), nullptr,
                            [] { return Answer::Yes; }, [&](const std::string*) { ++results; }});
        writeValue("Location", m_server.address("/announce.dat"));
        feed.create("Tarnwick", "");
        feed.start(3600 * 1000, 120, "free");
        feed.destroy();
    }
    EXPECT_EQ(m_executor.runPending(), 0);
    EXPECT_EQ(results, 0);
    EXPECT_EQ(m_server.gets, 0);
}

TEST_F(AnnounceFeedTest, DestroyDuringATricklingDownloadCancelsIt) {
    int results = 0;
    auto feed = std::make_unique<CAnnounceFeed>(CAnnounceFeed::Services{
        m_executor, m_data.path(), m_config.path(), nullptr, [] { return Answer::Yes; },
        [&](const std::string*) { ++results; }});
    writeValue("Location", m_server.address("/slow.dat"));
    feed->create("Tarnwick", "");
    feed->start(0, 120, "free");
    m_server.waitDripping();
    feed.reset();
    EXPECT_EQ(m_executor.runPending(), 0);
    EXPECT_EQ(results, 0);
    EXPECT_FALSE(std::filesystem::exists(m_data / CAnnounceFeed::kFileName));
}

TEST_F(AnnounceFeedTest, DormantWithoutLocationAndDefaultIsStored) {
    {
        CAnnounceFeed feed({m_executor, m_data.path(), m_config.path(), nullptr, {}, {}});
        feed.create("Tarnwick", "");
        EXPECT_FALSE(feed.ready());
        feed.start(0, 120, "free");
        EXPECT_EQ(feed.status(), -1);
    }
    EXPECT_EQ(m_executor.runPending(), 0);
    EXPECT_EQ(m_server.gets, 0);

    CAnnounceFeed feed({m_executor, m_data.path(), m_config.path(), nullptr, {}, {}});
    feed.create("Tarnwick", "http://built.in/announce.dat");
    EXPECT_TRUE(feed.ready());
    EXPECT_EQ(readValue("Location"), "http://built.in/announce.dat");
}

} // namespace
} // namespace tw
