#include "core/app/HandOverPickUp.h"
#include "core/app/Siblings.h"
#include "core/platform/DesktopShell.h"
#include "core/platform/RegistryKey.h"
#include "support/FakePrompter.h"
#include "support/ManualExecutor.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::TempFolder;

/// The helper's key, a folder for its hand-over files, and a pick-up whose results the test
/// runs on its own thread.
class HandOverPickUpTest : public ::testing::Test {
protected:
    HandOverPickUpTest()
        : m_own("Software\\Orvane\\Tarnwick", false, nullptr, m_config.path()),
          m_helper("Software\\Orvane\\brlHelper", false, nullptr, m_config.path()),
          m_brindle("Software\\Orvane\\Brindle", true, nullptr, m_config.path()),
          m_location("Software\\Orvane\\Location", false, nullptr, m_config.path()),
          m_siblings(SiblingKeys{m_own, m_helper, m_brindle, m_location}, m_shell, m_prompter,
                     m_data.path(), m_data / "bus") {}

    /// Places a hand-over as the helper does: the file, then the value naming it.
    void place(const std::string& name, const std::string& address) {
        FetchSettings record;
        record.targetUrl = address;
        TempFolder::writeFile(m_data / name, record.toText());
        ASSERT_EQ(m_helper.writeString("Identifier", m_data / name), 0);
    }
    /// Waits until the worker has taken the value (it clears it before it reads the file).
    bool slotTaken() {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (!m_helper.readString("Identifier").empty()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    TempFolder m_config;
    TempFolder m_data;
    RegistryKey m_own, m_helper, m_brindle, m_location;
    DesktopShell m_shell;
    test::FakePrompter m_prompter;
    Siblings m_siblings;
    test::ManualExecutor m_executor;
    std::vector<std::string> m_delivered;
    HandOverPickUp m_pickUp{m_siblings, m_executor, [this](std::optional<FetchSettings> record) {
                                m_delivered.push_back(record ? record->targetUrl : "-");
                            }};
};

TEST_F(HandOverPickUpTest, RequestsDuringAPickUpBecomeOneMoreAndNothingIsMissed) {
    place("HelpToWatch", "http://example.test/first");
    m_pickUp.request();
    ASSERT_TRUE(slotTaken());
    // While the first result has not reached this thread: a flood of requests, and a second
    // hand-over placed meanwhile.
    for (int i = 0; i < 1000; ++i) {
        m_pickUp.request();
    }
    place("HelpToWatch_1", "http://example.test/second");
    ASSERT_TRUE(m_executor.runNext());
    ASSERT_TRUE(m_executor.runNext());
    EXPECT_EQ(m_delivered, (std::vector<std::string>{"http://example.test/first",
                                                     "http://example.test/second"}));
    // Nothing more was asked for after the second began.
    m_pickUp.stop();
    EXPECT_EQ(m_executor.runPending(), 0);
    EXPECT_EQ(m_delivered.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(m_data / "HelpToWatch_1"));
}

TEST_F(HandOverPickUpTest, StopDropsAResultOnItsWayAndEndsAWorkerWhoseOwnerClosed) {
    place("HelpToWatch", "http://example.test/late");
    m_pickUp.request();
    ASSERT_TRUE(slotTaken());
    m_pickUp.request();
    // The owner closes before the result arrives: the second pick-up never starts, and stop()
    // does not wait for it.
    m_pickUp.stop();
    EXPECT_LE(m_executor.runPending(), 1);
    EXPECT_TRUE(m_delivered.empty());
    m_pickUp.request();
    EXPECT_EQ(m_executor.runPending(), 0);

    HandOverPickUp closed(m_siblings, m_executor, [this](std::optional<FetchSettings>) {
        m_delivered.push_back("closed");
    });
    m_executor.close();
    closed.request();
    closed.stop();
    EXPECT_TRUE(m_delivered.empty());
}

} // namespace
} // namespace tw
