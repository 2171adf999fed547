#include "app/CTarnwickApp.h"
#include "app/CheckSession.h"
#include "net/CollectingMailProgress.h"
#include "records/WatchSettings.h"
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
    std::vector<WatchSettings> results;
    std::vector<std::thread::id> threads;
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress,
                         [&](WatchSettings finished) {
                             threads.push_back(std::this_thread::get_id());
                             results.push_back(std::move(finished));
                         });
    int scheduled = 0;
    session.setScheduledCallback([&] { ++scheduled; });
    EXPECT_TRUE(session.start());
    EXPECT_EQ(scheduled, 1);
    ASSERT_EQ(session.watchList().count(), 1);

    ASSERT_TRUE(m_executor.runNext());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(threads[0], std::this_thread::get_id());
    EXPECT_EQ(results[0].name, "page");
    EXPECT_NE(results[0].lastCheck, 0);
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
        CheckSession session(app, m_prompter, nullptr, m_executor, m_progress, {});
        session.start();
        ASSERT_TRUE(m_executor.runNext());
        ASSERT_FALSE(m_executor.delays().empty());
    }
    EXPECT_GE(m_executor.runDelayed(), 1);
}

TEST_F(CheckSessionTest, MailSettingsLiveInTheApplicationAndAreSavedAtOnce) {
    CTarnwickApp app(m_prompter, paths());
    app.setMailServer({"first.example.test", 25, ""});
    CheckSession session(app, m_prompter, nullptr, m_executor, m_progress, {});
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

} // namespace
} // namespace tw
