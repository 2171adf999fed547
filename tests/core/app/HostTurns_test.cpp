#include "core/app/CTarnwickApp.h"
#include "core/app/CheckSession.h"
#include "core/net/CollectingMailProgress.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/Schedule.h"
#include "support/FakeClock.h"
#include "support/FakePrompter.h"
#include "support/ManualExecutor.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::TempFolder;

class Results : public CheckReceiver {
public:
    void checkDone(WatchSettings finished, WatchItemId) override { items.push_back(finished); }
    std::vector<WatchSettings> items;
};

/// A server on one loopback address that notes each request's path and the fake clock's steady
/// time; /busy answers 503 with the Retry-After the test sets.
class NotingServer {
public:
    NotingServer(const char* address, const test::FakeClock& clock) : m_address(address) {
        m_server.Get(".*", [this, &clock](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard lock(m_mutex);
                requests.emplace_back(req.path, clock.steadyNow());
            }
            if (req.path == "/busy") {
                res.status = 503;
                res.set_header("Retry-After", retryAfter);
                return;
            }
            res.set_content("<html>" + req.path + "</html>", "text/html");
        });
        m_port = m_server.bind_to_any_port(address);
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::yield();
        }
    }
    ~NotingServer() {
        m_server.stop();
        m_thread.join();
    }
    std::string url(const std::string& path) const {
        return "http://" + m_address + ":" + std::to_string(m_port) + path;
    }
    std::vector<std::pair<std::string, test::FakeClock::Steady::time_point>> taken() {
        std::lock_guard lock(m_mutex);
        return requests;
    }

    std::string retryAfter = "120";

private:
    std::string m_address;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::pair<std::string, test::FakeClock::Steady::time_point>> requests;
};

class HostTurnsTest : public ::testing::Test {
protected:
    HostTurnsTest() { std::filesystem::create_directories(m_temp / "home/comp"); }

    /// Items checked as the session starts, in this order.
    void writeList(const std::vector<std::string>& addresses) {
        std::string text;
        for (const std::string& address : addresses) {
            text += "\t//{{TOP-W\r\n\t//{{TOP\r\nTarg: " + address + "\r\nName: " + address +
                    "\r\n\tEND}}//\r\nTimi: open\r\nSUse: 0\r\n\tEND-W}}//\r\n";
        }
        TempFolder::writeFile(m_temp / "home/WatchList.twl", text);
    }
    AppPaths paths() const { return {m_temp / "home", m_temp / "config", m_temp / "run"}; }
    /// A session with an executor of its own: stop() closes it.
    std::unique_ptr<CheckSession> session(CTarnwickApp& app) {
        m_executor = std::make_unique<test::ManualExecutor>();
        return std::make_unique<CheckSession>(app, m_prompter, nullptr, *m_executor, m_progress,
                                              &m_clock);
    }

    TempFolder m_temp;
    test::FakeClock m_clock{localMidnight(2001, 3, 4) + 12 * 3600};
    test::FakePrompter m_prompter;
    std::unique_ptr<test::ManualExecutor> m_executor;
    CollectingMailProgress m_progress;
};

TEST_F(HostTurnsTest, TwoHostsDueAtOnceTakeTurnsAndAHostIsAskedAgainOnlyAfterTheGap) {
    NotingServer a("127.0.0.1", m_clock);
    NotingServer b("127.0.0.2", m_clock);
    writeList({a.url("/a1"), a.url("/a2"), b.url("/b1"), b.url("/b2")});
    CTarnwickApp app(m_prompter, paths());
    auto checks = session(app);
    // Both servers are on this machine: the exemption of loopback is turned off for them.
    checks->pacing().setLoopbackExempt(false);
    checks->pacing().setGap(1000ms);
    Results results;
    ASSERT_TRUE(checks->start(&results));
    ASSERT_TRUE(m_executor->runNext()); // a1
    ASSERT_TRUE(m_executor->runNext()); // b1, while a's gap runs
    m_clock.advance(1000ms);
    ASSERT_TRUE(m_executor->runNext());
    ASSERT_TRUE(m_executor->runNext());
    ASSERT_EQ(results.items.size(), 4u);
    std::vector<std::string> order;
    for (const WatchSettings& item : results.items) {
        order.push_back(item.targetUrl.substr(item.targetUrl.rfind('/')));
        EXPECT_NE(item.outcome(), CheckOutcome::Failed) << item.errorText;
    }
    EXPECT_EQ(order, (std::vector<std::string>{"/a1", "/b1", "/a2", "/b2"}));
    // A check may ask twice (its HEAD query, then the page): the gap lies between checks.
    const auto onA = a.taken();
    const auto secondCheck = std::find_if(
        onA.begin(), onA.end(), [](const auto& request) { return request.first == "/a2"; });
    ASSERT_NE(secondCheck, onA.end());
    EXPECT_GE(secondCheck->second - onA.front().second, 1000ms);
    checks->stop();
}

TEST_F(HostTurnsTest, RetryAfterInSecondsHoldsTheHostAcrossARestart) {
    NotingServer a("127.0.0.1", m_clock);
    a.retryAfter = "120";
    writeList({a.url("/busy"), a.url("/other")});
    const std::time_t start = m_clock.now();
    const std::string busy = jp("サーバーが混雑しています（12:02以降に再確認）");
    std::size_t asked = 0;
    {
        CTarnwickApp app(m_prompter, paths());
        auto checks = session(app);
        Results results;
        ASSERT_TRUE(checks->start(&results));
        ASSERT_TRUE(m_executor->runNext());
        ASSERT_TRUE(m_executor->runNext());
        ASSERT_EQ(results.items.size(), 2u);
        const auto taken = a.taken();
        asked = taken.size();
        EXPECT_TRUE(std::all_of(taken.begin(), taken.end(), [](const auto& request) {
            return request.first == "/busy";
        })) << "the second item of the busy host asks nothing";
        for (const WatchSettings& item : results.items) {
            EXPECT_EQ(item.outcome(), CheckOutcome::Failed);
            EXPECT_EQ(item.errorKind, WatchSettings::kErrorWithText);
            EXPECT_EQ(item.errorText, busy);
        }
        EXPECT_EQ(checks->watchList().itemAt(0).nextCheck, start + 120);
        EXPECT_EQ(checks->watchList().itemAt(1).nextCheck, start + 120);
        EXPECT_TRUE(checks->idle());
        checks->stop();
    }
    m_clock.advance(60);
    CTarnwickApp app(m_prompter, paths());
    auto checks = session(app);
    Results results;
    ASSERT_TRUE(checks->start(&results));
    ASSERT_TRUE(m_executor->runNext());
    ASSERT_FALSE(results.items.empty());
    EXPECT_EQ(results.items[0].errorText, busy);
    EXPECT_EQ(a.taken().size(), asked) << "the wait survives the restart";
    checks->stop();
}

TEST_F(HostTurnsTest, RetryAfterAsADateAndAWaitBeyondSixHoursIsCapped) {
    NotingServer a("127.0.0.1", m_clock);
    // The fetch engine reads a date on the system's clock; the wait is then taken from the
    // session's clock.
    const std::time_t at = std::time(nullptr) + 300;
    char date[64];
    std::tm fields{};
    gmtime_r(&at, &fields);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &fields);
    a.retryAfter = date;
    writeList({a.url("/busy")});
    {
        CTarnwickApp app(m_prompter, paths());
        auto checks = session(app);
        Results results;
        ASSERT_TRUE(checks->start(&results));
        ASSERT_TRUE(m_executor->runNext());
        EXPECT_NEAR(checks->pacing().heldUntil(a.url("/")), m_clock.now() + 300, 2);
        EXPECT_EQ(checks->watchList().itemAt(0).nextCheck, checks->pacing().heldUntil(a.url("/")));
        checks->stop();
    }
    const std::size_t asked = a.taken().size();
    m_clock.advance(302);
    a.retryAfter = "86400";
    CTarnwickApp app(m_prompter, paths());
    auto checks = session(app);
    Results results;
    ASSERT_TRUE(checks->start(&results));
    ASSERT_TRUE(m_executor->runNext());
    EXPECT_GT(a.taken().size(), asked) << "asked again once the wait is over";
    EXPECT_EQ(checks->pacing().heldUntil(a.url("/")), m_clock.now() + 6 * 3600);
    checks->stop();
}

} // namespace
} // namespace tw
