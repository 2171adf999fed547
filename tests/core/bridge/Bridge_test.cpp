#include "core/app/CHLPCall.h"
#include "core/util/Cp932.h"
#include "support/FakePrompter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tw;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace {

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto end = Steady::now() + limit;
    while (!done()) {
        if (Steady::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

FetchSettings page(const std::string& address) {
    FetchSettings record;
    record.targetUrl = address;
    return record;
}

/// A receiver that records each offered file: its name, the record in it and when it came.
/// Its answers come from a script (0 once the script is used up); on 0 it deletes the file as
/// the download helper does after reading it.
class Receiver {
public:
    struct Offer {
        std::string path;
        std::string address;
        Steady::time_point at;
    };

    explicit Receiver(std::vector<int> answers = {}) : m_answers(std::move(answers)) {}

    int operator()(const std::string& path) {
        if (m_beforeAnswer) {
            m_beforeAnswer();
        }
        FetchSettings record;
        const bool read = record.readFile(path, "r") == 1;
        std::lock_guard lock(m_mutex);
        m_offers.push_back({path, read ? record.targetUrl : "<unreadable>", Steady::now()});
        const int answer = m_next < m_answers.size() ? m_answers[m_next++] : 0;
        if (answer == 0) {
            std::remove(path.c_str());
        }
        return answer;
    }

    CHLPCall::HandOver handOver() {
        return [this](const std::string& path) { return (*this)(path); };
    }
    std::vector<Offer> offers() {
        std::lock_guard lock(m_mutex);
        return m_offers;
    }
    std::vector<std::string> addresses() {
        std::vector<std::string> result;
        for (const Offer& offer : offers()) {
            result.push_back(offer.address);
        }
        return result;
    }
    std::function<void()> m_beforeAnswer;

private:
    std::mutex m_mutex;
    std::vector<int> m_answers;
    std::size_t m_next = 0;
    std::vector<Offer> m_offers;
};

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tw-bridge-XXXXXX";
        m_data = ::mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(m_data); }

    std::vector<std::string> handOverFiles() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_data)) {
            if (entry.path().filename().string().starts_with(CHLPCall::kFileName)) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    std::string m_data;
    test::FakePrompter m_prompter;
};

TEST_F(BridgeTest, TwoQuickDisplaysAreBothHandedOver) {
    Receiver receiver;
    CHLPCall bridge(m_data, receiver.handOver(), m_prompter);
    bridge.display(page("http://example.test/1"));
    bridge.display(page("http://example.test/2"));

    ASSERT_TRUE(waitFor([&] { return receiver.offers().size() == 2; }));
    const auto offers = receiver.offers();
    EXPECT_EQ(receiver.addresses(),
              (std::vector<std::string>{"http://example.test/1", "http://example.test/2"}));
    // One record per wake-up, and the worker wakes at least once a second; the margin only
    // keeps a loaded machine from failing the run.
    EXPECT_LT(offers[1].at - offers[0].at, 3s);
    EXPECT_EQ(offers[0].path, m_data + "/WatchToHelp");
    EXPECT_TRUE(handOverFiles().empty());
    EXPECT_EQ(bridge.queued(), 0u);
}

TEST_F(BridgeTest, BusyReceiverRequeuesBehindNewerRecords) {
    Receiver receiver({1});
    CHLPCall bridge(m_data, receiver.handOver(), m_prompter);
    std::atomic<bool> secondQueued{false};
    // Hold the first answer until the newer record is queued, so that the order is certain.
    receiver.m_beforeAnswer = [&] { waitFor([&] { return secondQueued.load(); }); };

    bridge.display(page("http://example.test/first"));
    bridge.display(page("http://example.test/second"));
    secondQueued = true;

    ASSERT_TRUE(waitFor([&] { return receiver.offers().size() == 3; }));
    const auto offers = receiver.offers();
    EXPECT_EQ(receiver.addresses(),
              (std::vector<std::string>{"http://example.test/first", "http://example.test/second",
                                        "http://example.test/first"}));
    // The refused file was deleted before the next attempt, which could take the same name.
    EXPECT_EQ(offers[0].path, m_data + "/WatchToHelp");
    EXPECT_EQ(offers[1].path, m_data + "/WatchToHelp");
    EXPECT_TRUE(handOverFiles().empty());
}

TEST_F(BridgeTest, ExistingHandOverFileIsNotOverwritten) {
    std::ofstream(m_data + "/WatchToHelp") << "not yet read";
    Receiver receiver;
    CHLPCall bridge(m_data, receiver.handOver(), m_prompter);
    bridge.display(page("http://example.test/x"));

    ASSERT_TRUE(waitFor([&] { return receiver.offers().size() == 1; }));
    EXPECT_EQ(receiver.offers()[0].path, m_data + "/WatchToHelp_1");
    EXPECT_EQ(receiver.addresses()[0], "http://example.test/x");
    std::ifstream kept(m_data + "/WatchToHelp");
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "not yet read");
}

TEST_F(BridgeTest, HandOverFileHoldingThePasswordIsPrivateAndNeverFollowsALink) {
    // A link planted under the first name, pointing at a file not there yet: following it
    // would create the file elsewhere with the password in it.
    const std::string outside = m_data + "-outside";
    fs::create_symlink(outside, m_data + "/WatchToHelp");
    const mode_t oldMask = ::umask(022);
    std::mutex mutex;
    std::vector<std::pair<std::string, fs::perms>> offered;
    CHLPCall bridge(
        m_data,
        [&](const std::string& path) {
            std::lock_guard lock(mutex);
            offered.emplace_back(path, fs::status(path).permissions());
            std::remove(path.c_str());
            return 0;
        },
        m_prompter);
    FetchSettings record = page("http://example.test/private");
    record.userName = "user";
    record.password = "secret";
    bridge.display(record);
    bridge.stop();
    ::umask(oldMask);

    std::lock_guard lock(mutex);
    ASSERT_EQ(offered.size(), 1u);
    EXPECT_EQ(offered[0].first, m_data + "/WatchToHelp_1");
    EXPECT_EQ(offered[0].second, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_TRUE(fs::is_symlink(m_data + "/WatchToHelp"));
}

TEST_F(BridgeTest, RefusedRecordIsDroppedAndItsFileDeleted) {
    Receiver receiver({-1});
    CHLPCall bridge(m_data, receiver.handOver(), m_prompter);
    bridge.display(page("http://example.test/no"));
    ASSERT_TRUE(waitFor([&] { return receiver.offers().size() == 1; }));
    bridge.stop();
    EXPECT_EQ(receiver.offers().size(), 1u);
    EXPECT_TRUE(handOverFiles().empty());
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(BridgeTest, UnwritableFileIsReportedAndDropped) {
    Receiver receiver;
    CHLPCall bridge(m_data + "/missing", receiver.handOver(), m_prompter);
    bridge.display(page("http://example.test/lost"));
    ASSERT_TRUE(waitFor([&] { return !m_prompter.messages().empty(); }));
    bridge.stop();
    EXPECT_EQ(m_prompter.messages(), std::vector<std::string>{jp(CHLPCall::kFileError)});
    EXPECT_TRUE(receiver.offers().empty());
}

TEST_F(BridgeTest, StopHandsOverWhatIsQueued) {
    Receiver receiver;
    CHLPCall bridge(m_data, receiver.handOver(), m_prompter);
    for (int i = 0; i < 4; ++i) {
        bridge.display(page("http://example.test/" + std::to_string(i)));
    }
    bridge.stop();
    EXPECT_EQ(receiver.addresses(),
              (std::vector<std::string>{"http://example.test/0", "http://example.test/1",
                                        "http://example.test/2", "http://example.test/3"}));
    EXPECT_EQ(bridge.queued(), 0u);

    // After the stop nothing more goes out.
    bridge.display(page("http://example.test/late"));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(receiver.offers().size(), 4u);
}

TEST_F(BridgeTest, StopGivesUpOnAReceiverThatStaysBusy) {
    Receiver receiver(std::vector<int>(1000, 1));
    CHLPCall bridge(m_data, receiver.handOver(), m_prompter);
    bridge.display(page("http://example.test/busy"));
    bridge.stop(300ms);
    EXPECT_GE(receiver.offers().size(), 1u);
    EXPECT_LT(receiver.offers().size(), 100u) << "retried a few times a second, not in a loop";
    EXPECT_TRUE(handOverFiles().empty());
}

TEST_F(BridgeTest, ThrowingReceiverDoesNotEndTheWorker) {
    int calls = 0;
    std::vector<std::string> taken;
    std::mutex mutex;
    CHLPCall bridge(
        m_data,
        [&](const std::string& path) -> int {
            std::lock_guard lock(mutex);
            if (calls++ == 0) {
                throw std::runtime_error("receiver failed");
            }
            taken.push_back(path);
            std::remove(path.c_str());
            return 0;
        },
        m_prompter);
    bridge.display(page("http://example.test/a"));
    bridge.display(page("http://example.test/b"));
    bridge.stop();
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(taken.size(), 1u);
    EXPECT_TRUE(handOverFiles().empty());
}

} // namespace
