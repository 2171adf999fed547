#include "core/app/CTarnwickApp.h"
#include "core/app/CheckSession.h"
#include "core/net/CollectingMailProgress.h"
#include "core/records/WatchSettings.h"
#include "core/watch/Schedule.h"
#include "support/FakeClock.h"
#include "support/FakePrompter.h"
#include "support/ManualExecutor.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <thread>

namespace tw {
namespace {

using test::TempFolder;

/// The front end's side: what arrived, on which thread, for which item.
class RecordingReceiver : public CheckReceiver {
public:
    void checkDone(WatchSettings finished, WatchItemId itemId) override {
        threads.push_back(std::this_thread::get_id());
        results.push_back(std::move(finished));
        ids.push_back(itemId);
    }
    std::vector<WatchSettings> results;
    std::vector<std::thread::id> threads;
    std::vector<WatchItemId> ids;
};

/// The edits the list reports, in order.
class RecordingObserver : public WatchListObserver {
public:
    void itemAdded(WatchItemId id) override { events.push_back("added " + std::to_string(id)); }
    void itemReplaced(WatchItemId id) override {
        events.push_back("replaced " + std::to_string(id));
    }
    void editedItemWasGone(WatchItemId gone, WatchItemId added) override {
        events.push_back("gone " + std::to_string(gone) + " as " + std::to_string(added));
    }
    std::vector<std::string> events;
};

/// Waits until `condition` holds, at most ten seconds.
template <typename Condition>
bool waitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

WatchSettings dailyAtOne(const std::string& name) {
    WatchSettings item;
    item.name = name;
    item.targetUrl = "http://127.0.0.1:9/" + name + ".html";
    item.schedule = "daily";
    item.timing = "defined";
    item.timeValue = 3600;
    return item;
}

class CheckSessionTest : public ::testing::Test {
protected:
    CheckSessionTest() {
        m_server.Get("/page.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html>page</html>", "text/html");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_serverThread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::filesystem::create_directories(m_temp / "home/comp");
        // One item checked when the program starts.
        const std::string block =
            "\t//{{TOP-W\r\n\t//{{TOP\r\nTarg: http://127.0.0.1:" + std::to_string(m_port) +
            "/page.html\r\nName: page\r\n\tEND}}//\r\nTimi: open\r\nSUse: 0\r\n"
            "\tEND-W}}//\r\n";
        TempFolder::writeFile(m_temp / "home/WatchList.twl", block);
    }
    ~CheckSessionTest() override {
        m_server.stop();
        m_serverThread.join();
    }

    AppPaths paths() const { return {m_temp / "home", m_temp / "config", m_temp / "run"}; }

    TempFolder m_temp;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_serverThread;
    test::FakePrompter m_prompter;
    test::ManualExecutor m_executor;
    CollectingMailProgress m_progress;
};

TEST_F(CheckSessionTest, FinishedCopyArrivesOnTheOwnersThreadAndTheListIsSavedAtStop) {
    CTarnwickApp app(m_prompter, paths());
    RecordingReceiver receiver;
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress);
    int scheduled = 0;
    session.setScheduledCallback([&] { ++scheduled; });
    EXPECT_TRUE(session.start(&receiver));
    EXPECT_EQ(scheduled, 1);
    ASSERT_EQ(session.watchList().count(), 1);

    ASSERT_TRUE(m_executor.runNext());
    ASSERT_EQ(receiver.results.size(), 1u);
    const std::vector<WatchSettings>& results = receiver.results;
    EXPECT_EQ(receiver.threads[0], std::this_thread::get_id());
    EXPECT_EQ(results[0].name, "page");
    EXPECT_NE(results[0].lastCheck, 0);
    // Named by the list's id of the item, not by a position.
    EXPECT_EQ(receiver.ids[0], session.watchList().idAt(0));
    EXPECT_NE(receiver.ids[0], CheckReceiver::kArmedItem);
    EXPECT_EQ(scheduled, 2);
    // The list has its item back; the result is saved together with later ones.
    EXPECT_EQ(session.watchList().itemAt(0).lastCheck, results[0].lastCheck);
    EXPECT_FALSE(m_executor.delays().empty());

    EXPECT_TRUE(session.stop());
    EXPECT_TRUE(m_executor.closed());
    EXPECT_TRUE(session.stop());
    EXPECT_NE(TempFolder::readFile(m_temp / "home/WatchList.twl").find("Last: "),
              std::string::npos);
    EXPECT_TRUE(
        std::filesystem::exists(m_temp / (std::string("home/") + CTarnwickApp::kSettingsFileName)));
}

// A save the session asked for that the front end runs after the session has gone (a window's
// timer firing late) must do nothing.
TEST_F(CheckSessionTest, TasksLeftInTheExecutorOutliveTheSessionHarmlessly) {
    CTarnwickApp app(m_prompter, paths());
    {
        CheckSession session(app, m_prompter, nullptr, m_executor, m_progress);
        session.start(nullptr);
        ASSERT_TRUE(m_executor.runNext());
        ASSERT_FALSE(m_executor.delays().empty());
    }
    EXPECT_GE(m_executor.runDelayed(), 1);
}

TEST_F(CheckSessionTest, MailSettingsLiveInTheApplicationAndAreSavedAtOnce) {
    CTarnwickApp app(m_prompter, paths());
    app.setMailServer({"first.example.test", 25, ""});
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress);
    EXPECT_EQ(session.mailServer().server, "first.example.test");
    EXPECT_TRUE(session.setMailServer({"second.example.test", 587, "me@example.test"}));
    EXPECT_EQ(session.mailServer().port, 587);
    EXPECT_EQ(app.mailServer().server, "second.example.test");
    EXPECT_EQ(app.mailServer().account, "me@example.test");
    // The checker reads them from the application at each mail.
    EXPECT_EQ(app.mailSettings().snapshot().server, "second.example.test");

    // Written at once: a crash before the end does not lose them.
    CTarnwickApp reader(m_prompter, paths());
    EXPECT_TRUE(reader.loadSettings());
    EXPECT_EQ(reader.mailServer().server, "second.example.test");
    EXPECT_EQ(reader.mailServer().port, 587);
}

// Items the user defines are scheduled on the session's clock, which the checker and the list
// use too, not on the system's.
TEST_F(CheckSessionTest, ADefinedItemIsScheduledOnTheSessionsClock) {
    std::filesystem::remove(m_temp / "home/WatchList.twl");
    const std::time_t midnight = localMidnight(2001, 3, 4);
    test::FakeClock clock(midnight + 12 * 3600);
    CTarnwickApp app(m_prompter, paths());
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress, &clock);
    ASSERT_TRUE(session.start(nullptr));

    const WatchItemId id = session.defineItem(dailyAtOne("a"), 0);
    ASSERT_NE(id, 0u);
    const std::optional<WatchSettings> stored = session.item(id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->nextCheck, midnight + 3600);
    session.stop();
}

TEST_F(CheckSessionTest, DefineAddsReplacesByIdAndDropsAnItemWithoutAddress) {
    std::filesystem::remove(m_temp / "home/WatchList.twl");
    CTarnwickApp app(m_prompter, paths());
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress);
    ASSERT_TRUE(session.start(nullptr));
    RecordingObserver observer;
    session.watchList().addObserver(&observer);

    const WatchItemId a = session.defineItem(dailyAtOne("a"), 0);
    const WatchItemId b = session.defineItem(dailyAtOne("b"), 0);
    EXPECT_EQ(session.watchList().count(), 2);
    EXPECT_EQ(session.defineItem(dailyAtOne("a2"), a), a);
    EXPECT_EQ(session.item(a)->name, "a2");
    EXPECT_EQ(session.watchList().positionOf(a), 0);

    WatchSettings empty = dailyAtOne("empty");
    empty.targetUrl.clear();
    EXPECT_EQ(session.defineItem(empty, 0), 0u);
    EXPECT_EQ(session.defineItem(empty, b), 0u);
    EXPECT_EQ(session.item(b)->name, "b");
    EXPECT_EQ(session.watchList().count(), 2);
    EXPECT_EQ(observer.events,
              (std::vector<std::string>{"added " + std::to_string(a), "added " + std::to_string(b),
                                        "replaced " + std::to_string(a)}));
    // Saved with the edits (those that come together at most a fifth of a second later).
    m_executor.runDelayed();
    EXPECT_NE(TempFolder::readFile(m_temp / "home/WatchList.twl").find("a2.html"),
              std::string::npos);
    session.watchList().removeObserver(&observer);
    session.stop();
}

// The sheet was open on an item that another row's deletion took away: the user's settings are
// added as a new item, and the observers hear it, as when the deletion was queued during a check.
TEST_F(CheckSessionTest, AnEditWhoseItemHasGoneIsAddedAndTheObserversHearIt) {
    std::filesystem::remove(m_temp / "home/WatchList.twl");
    CTarnwickApp app(m_prompter, paths());
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress);
    ASSERT_TRUE(session.start(nullptr));
    RecordingObserver observer;
    session.watchList().addObserver(&observer);

    const WatchItemId a = session.defineItem(dailyAtOne("a"), 0);
    EXPECT_TRUE(session.removeItem(a));
    EXPECT_FALSE(session.removeItem(a));
    const WatchItemId added = session.defineItem(dailyAtOne("a2"), a);
    EXPECT_NE(added, a);
    EXPECT_NE(added, 0u);
    EXPECT_EQ(session.item(added)->name, "a2");
    EXPECT_FALSE(session.item(a));
    ASSERT_EQ(observer.events.size(), 3u);
    EXPECT_EQ(observer.events[1], "added " + std::to_string(added));
    EXPECT_EQ(observer.events[2], "gone " + std::to_string(a) + " as " + std::to_string(added));
    session.watchList().removeObserver(&observer);
    session.stop();
}

// While a check holds the list, the removal and the edit wait for it, in the order made.
TEST_F(CheckSessionTest, EditsDuringACheckWaitForItAndAGoneItemIsStillKept) {
    CTarnwickApp app(m_prompter, paths());
    RecordingReceiver receiver;
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress);
    ASSERT_TRUE(session.start(&receiver));
    RecordingObserver observer;
    session.watchList().addObserver(&observer);
    const WatchItemId page = session.watchList().idAt(0);
    // The check of the page runs at once; its report waits in the executor, and the list with it.
    ASSERT_TRUE(waitUntil([&] { return session.watchList().isBusy(); }));

    EXPECT_TRUE(session.removeItem(page));
    WatchSettings edited = dailyAtOne("edited");
    EXPECT_EQ(session.defineItem(edited, page), page);
    EXPECT_EQ(session.watchList().count(), 1);
    EXPECT_TRUE(observer.events.empty());

    ASSERT_TRUE(m_executor.runNext());
    EXPECT_EQ(receiver.ids, std::vector<WatchItemId>{page});
    ASSERT_EQ(session.watchList().count(), 1);
    const WatchItemId added = session.watchList().idAt(0);
    EXPECT_NE(added, page);
    EXPECT_EQ(session.item(added)->name, "edited");
    EXPECT_EQ(observer.events.back(),
              "gone " + std::to_string(page) + " as " + std::to_string(added));
    session.watchList().removeObserver(&observer);
    session.stop();
}

// The sheet opened before the first check named the stored copy: the check's history stays with
// the item through the edit, follows a new name of its stored copy, and goes when it is deleted.
TEST_F(CheckSessionTest, HistoryFollowsAnEditedItemAndGoesWithADeletedOne) {
    // Known not to send a time: the check downloads the page.
    std::string list = TempFolder::readFile(m_temp / "home/WatchList.twl");
    list.insert(list.find("Name: "), "Modi: 0\r\n");
    TempFolder::writeFile(m_temp / "home/WatchList.twl", list);
    CTarnwickApp app(m_prompter, paths());
    RecordingReceiver receiver;
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress);
    ASSERT_TRUE(session.start(&receiver));
    const WatchItemId page = session.watchList().idAt(0);
    WatchSettings sheet = *session.item(page);
    ASSERT_TRUE(waitUntil([&] { return session.watchList().isBusy(); }));
    sheet.name = "renamed";
    EXPECT_EQ(session.defineItem(sheet, page), page);
    ASSERT_TRUE(m_executor.runNext());

    const std::string stored = m_temp / "home/comp/temp.tmp";
    EXPECT_EQ(session.item(page)->name, "renamed");
    EXPECT_EQ(session.item(page)->compareFile, stored);
    HistoryStore& history = session.history();
    ASSERT_EQ(history.versions("temp.tmp").size(), 1u);
    EXPECT_EQ(history.read("temp.tmp", history.versions("temp.tmp")[0]),
              std::string("<html>page</html>"));

    // The edit may have armed a check of its own: edits made while it runs would wait.
    ASSERT_TRUE(waitUntil([&] {
        m_executor.runPending();
        return !session.watchList().isBusy();
    }));
    sheet = *session.item(page);
    sheet.compareFile = m_temp / "home/comp/temp_1.tmp";
    EXPECT_EQ(session.defineItem(sheet, page), page);
    ASSERT_TRUE(waitUntil([&] {
        m_executor.runPending();
        return session.item(page)->compareFile == sheet.compareFile;
    }));
    EXPECT_TRUE(history.versions("temp.tmp").empty());
    EXPECT_EQ(history.versions("temp_1.tmp").size(), 1u);

    // A check still running (slower under the sanitizers) holds the list: the new item waits.
    const WatchItemId other = session.defineItem(dailyAtOne("other"), 0);
    ASSERT_TRUE(waitUntil([&] {
        m_executor.runPending();
        return session.item(other).has_value();
    }));
    WatchSettings otherItem = *session.item(other);
    otherItem.compareFile = m_temp / "home/comp/temp_2.tmp";
    session.defineItem(otherItem, other);
    HistoryEntry entry;
    entry.bytes = "other";
    ASSERT_EQ(history.record("temp_2.tmp", entry), "");

    // A check of the other item may hold the list: the removal then waits for it.
    EXPECT_TRUE(session.removeItem(page));
    EXPECT_TRUE(waitUntil([&] {
        m_executor.runPending();
        return !std::filesystem::exists(m_temp / "home/history/temp_1.tmp");
    }));
    EXPECT_EQ(history.versions("temp_2.tmp").size(), 1u);
    session.stop();
}

} // namespace
} // namespace tw
