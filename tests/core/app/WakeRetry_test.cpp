#include "core/app/CTarnwickApp.h"
#include "core/app/CheckSession.h"
#include "core/app/MainLoop.h"
#include "core/net/CollectingMailProgress.h"
#include "core/records/WatchSettings.h"
#include "core/watch/Schedule.h"
#include "support/FakeClock.h"
#include "support/FakePrompter.h"
#include "support/ManualExecutor.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace tw {
namespace {

using test::TempFolder;

class Outcomes : public CheckReceiver {
public:
    void checkDone(WatchSettings finished, WatchItemId) override {
        results.push_back(finished.outcome());
    }
    std::vector<CheckOutcome> results;
};

/// A page whose server answers 503 while `m_down` (the network that is not up yet).
class WakeRetryTest : public ::testing::Test {
protected:
    WakeRetryTest() {
        m_server.Get("/page.html", [this](const httplib::Request&, httplib::Response& res) {
            ++m_hits;
            if (m_down) {
                res.status = 503;
                return;
            }
            res.set_content("<html>page</html>", "text/html");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_serverThread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::yield();
        }
        std::filesystem::create_directories(m_temp / "home/comp");
        // Checked when the session starts.
        TempFolder::writeFile(
            m_temp / "home/WatchList.twl",
            "\t//{{TOP-W\r\n\t//{{TOP\r\nTarg: http://127.0.0.1:" + std::to_string(m_port) +
                "/page.html\r\nName: page\r\n\tEND}}//\r\nTimi: open\r\n"
                "SUse: 0\r\n\tEND-W}}//\r\n");
    }
    ~WakeRetryTest() override {
        m_server.stop();
        m_serverThread.join();
    }

    AppPaths paths() const { return {m_temp / "home", m_temp / "config", m_temp / "run"}; }

    TempFolder m_temp;
    httplib::Server m_server;
    std::atomic<int> m_hits{0};
    std::atomic<bool> m_down{true};
    int m_port = 0;
    std::thread m_serverThread;
    test::FakeClock m_clock{localMidnight(2001, 3, 4) + 12 * 3600};
    test::FakePrompter m_prompter;
    test::ManualExecutor m_executor;
    CollectingMailProgress m_progress;
};

TEST_F(WakeRetryTest, AFailureJustAfterAWakeUpIsTriedAgainAndOnlyTheSecondOutcomeCounts) {
    CTarnwickApp app(m_prompter, paths());
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress, &m_clock);
    Outcomes outcomes;
    session.wake().wokeUp(); // logind's word
    m_clock.advance(std::chrono::seconds(59));
    const std::time_t failedAt = m_clock.now();
    ASSERT_TRUE(session.start(&outcomes));

    ASSERT_TRUE(m_executor.runNext());
    EXPECT_TRUE(outcomes.results.empty()) << "the first failure must not be reported";
    const int hitsOfOneCheck = m_hits;
    const WatchItemId id = session.watchList().idAt(0);
    EXPECT_TRUE(session.watchList().retryPending(id));
    EXPECT_EQ(session.watchList().itemAt(0).nextCheck, failedAt + 30);
    // Nothing of the failed check is kept: the item is as it was before it.
    EXPECT_EQ(session.watchList().itemAt(0).lastCheck, 0);
    EXPECT_FALSE(session.idle());

    m_down = false;
    m_clock.advance(30);
    ASSERT_TRUE(m_executor.runNext());
    EXPECT_GT(m_hits, hitsOfOneCheck);
    ASSERT_EQ(outcomes.results.size(), 1u);
    EXPECT_NE(outcomes.results[0], CheckOutcome::Failed);
    EXPECT_FALSE(session.watchList().retryPending(id));
    EXPECT_EQ(session.watchList().itemAt(0).lastCheck, failedAt + 30);
    session.stop();
}

TEST_F(WakeRetryTest, TheSecondFailureCountsAndAFailureAMinuteAfterTheWakeUpCountsAtOnce) {
    CTarnwickApp app(m_prompter, paths());
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress, &m_clock);
    Outcomes outcomes;
    // A suspend without logind: the calendar moved on an hour, the monotonic clock did not.
    m_clock.set(m_clock.now() + 3600);
    ASSERT_TRUE(session.start(&outcomes));
    ASSERT_TRUE(m_executor.runNext());
    EXPECT_TRUE(outcomes.results.empty());
    const int hitsOfOneCheck = m_hits;
    m_clock.advance(30);
    ASSERT_TRUE(m_executor.runNext());
    EXPECT_EQ(m_hits, 2 * hitsOfOneCheck);
    EXPECT_EQ(outcomes.results, std::vector<CheckOutcome>{CheckOutcome::Failed});
    EXPECT_TRUE(session.idle());
    session.stop();

    // A minute after the wake-up a failure is an ordinary one.
    test::ManualExecutor executor;
    CheckSession later(app, m_prompter, nullptr, executor, m_progress, &m_clock);
    Outcomes laterOutcomes;
    later.wake().wokeUp();
    m_clock.advance(60);
    ASSERT_TRUE(later.start(&laterOutcomes));
    ASSERT_TRUE(executor.runNext());
    EXPECT_EQ(laterOutcomes.results, std::vector<CheckOutcome>{CheckOutcome::Failed});
    EXPECT_FALSE(later.watchList().retryPending(later.watchList().idAt(0)));
    later.stop();
}

TEST_F(WakeRetryTest, AnEditCancelsTheRetry) {
    CTarnwickApp app(m_prompter, paths());
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress, &m_clock);
    Outcomes outcomes;
    session.wake().wokeUp();
    ASSERT_TRUE(session.start(&outcomes));
    ASSERT_TRUE(m_executor.runNext());
    const WatchItemId id = session.watchList().idAt(0);
    ASSERT_TRUE(session.watchList().retryPending(id));
    WatchSettings edited = session.watchList().itemAt(0);
    edited.name = "edited";
    ASSERT_EQ(session.defineItem(edited, id), id);
    EXPECT_FALSE(session.watchList().anyRetryPending());
    // Its own schedule again: an item checked at start is due at once after an edit.
    EXPECT_EQ(session.watchList().itemAt(0).nextCheck, WatchSettings::kDueNow);
    session.stop();
}

// The headless mode's loop, ended once nothing is due (--until-idle): the retry owed keeps it
// running, and its printer sees the one outcome that counts.
TEST_F(WakeRetryTest, TheHeadlessLoopWaitsForTheRetry) {
    CTarnwickApp app(m_prompter, paths());
    MainLoop loop(m_clock);
    CheckSession session(app, m_prompter, nullptr, loop, m_progress, &m_clock);
    Outcomes outcomes;
    bool advanced = false;
    session.setScheduledCallback([&] {
        if (session.watchList().anyRetryPending() && !advanced) {
            advanced = true;
            m_clock.advance(30);
        } else if (session.idle()) {
            loop.quit();
        }
    });
    session.wake().wokeUp();
    loop.post([&] { ASSERT_TRUE(session.start(&outcomes)); });
    loop.run();
    session.stop();
    EXPECT_TRUE(advanced);
    EXPECT_EQ(outcomes.results, std::vector<CheckOutcome>{CheckOutcome::Failed});
}

} // namespace
} // namespace tw
