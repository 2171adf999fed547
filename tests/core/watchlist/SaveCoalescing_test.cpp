#include "core/records/WatchSettings.h"
#include "core/util/SafeFile.h"
#include "core/watch/CWatchList.h"
#include "core/watch/ItemChecker.h"
#include "support/FakeClock.h"
#include "support/LocalTime.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace tw;

namespace {

class QuietChecker : public ItemChecker {
public:
    void setReceiver(CheckReceiver*) override {}
    void arm(const WatchSettings& item) override { armed = item; }
    void stop() override {}
    bool isBusy() const override { return false; }
    void setClosing() override {}
    void setIdle() override {}

    WatchSettings armed;
};

/// Results of quick checks in a row: each must reach the file, the later ones together.
class SaveCoalescingTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tw-coalesce-XXXXXX";
        folder = ::mkdtemp(pattern);
        clock.set(test::localTime(2026, 12, 7, 9, 0));
        std::string text;
        for (const char* url : {"http://a/", "http://b/", "http://c/"}) {
            WatchSettings item;
            item.targetUrl = url;
            text += item.toText();
        }
        ASSERT_TRUE(replaceFileContents(folder + "/WatchList.twl", text));
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string fileText() const {
        std::string data;
        readWholeFile(folder + "/WatchList.twl", data);
        return data;
    }

    /// The armed item comes back checked with the given result.
    void finish(CWatchList& list, int result) {
        WatchSettings done = checker.armed;
        done.lastCheck = clock.now();
        done.lastResult = result;
        list.checkFinished(done);
    }

    static int count(const std::string& text, const std::string& part) {
        int n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++n;
        }
        return n;
    }

    test::ZoneGuard zone{"Asia/Tokyo"};
    std::string folder;
    test::FakeClock clock;
    QuietChecker checker;
    std::vector<std::chrono::milliseconds> requests;
};

} // namespace

TEST_F(SaveCoalescingTest, QuickSavesWaitForOneFlushThatWritesEveryResult) {
    CWatchList list(checker, clock, nullptr, folder);
    list.setSaveCoalescing(10s,
                           [this](std::chrono::milliseconds delay) { requests.push_back(delay); });
    list.start(nullptr); // the first save after a quiet spell is made at once
    EXPECT_FALSE(list.savePending());
    EXPECT_TRUE(requests.empty());
    const std::string first = fileText();
    EXPECT_EQ(count(first, "Resu: 2\r\n"), 0);

    finish(list, 2);
    finish(list, 2);
    // Both results are owed, the file on disk is still the whole earlier one, and one flush
    // was asked for, no later than the delay.
    EXPECT_TRUE(list.savePending());
    EXPECT_EQ(fileText(), first);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_GT(requests[0].count(), 0);
    EXPECT_LE(requests[0], 10s);

    list.flushSave();
    EXPECT_FALSE(list.savePending());
    EXPECT_EQ(count(fileText(), "Resu: 2\r\n"), 2);
    list.flushSave(); // nothing owed: no write
    EXPECT_EQ(count(fileText(), "Resu: 2\r\n"), 2);

    // A flush is asked for again for the next owed save.
    finish(list, 1);
    EXPECT_TRUE(list.savePending());
    EXPECT_EQ(requests.size(), 2u);
}

TEST_F(SaveCoalescingTest, OwedSaveIsMadeByExplicitSaveAndAtTheEnd) {
    {
        CWatchList list(checker, clock, nullptr, folder);
        list.setSaveCoalescing(10s, [this](std::chrono::milliseconds d) { requests.push_back(d); });
        list.start(nullptr);
        finish(list, 2);
        ASSERT_TRUE(list.savePending());
        EXPECT_TRUE(list.save());
        EXPECT_FALSE(list.savePending());
        EXPECT_EQ(count(fileText(), "Resu: 2\r\n"), 1);
        finish(list, 2);
        ASSERT_TRUE(list.savePending());
        // The flush never comes (the loop has quit): the list's end still saves.
    }
    EXPECT_EQ(count(fileText(), "Resu: 2\r\n"), 2);
}

TEST_F(SaveCoalescingTest, SaveAfterTheDelayIsMadeAtOnce) {
    CWatchList list(checker, clock, nullptr, folder);
    list.setSaveCoalescing(30ms, [this](std::chrono::milliseconds d) { requests.push_back(d); });
    list.start(nullptr);
    clock.advance(29ms);
    finish(list, 2); // within the delay: owed
    EXPECT_TRUE(list.savePending());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], 1ms);
    list.flushSave();
    clock.advance(30ms);
    finish(list, 2); // the delay has passed since that save
    EXPECT_FALSE(list.savePending());
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_EQ(count(fileText(), "Resu: 2\r\n"), 2);
}

TEST_F(SaveCoalescingTest, WithoutFlushRequestEverySaveIsMade) {
    CWatchList list(checker, clock, nullptr, folder);
    list.setSaveCoalescing(10s, nullptr);
    list.start(nullptr);
    finish(list, 2);
    EXPECT_FALSE(list.savePending());
    finish(list, 2);
    EXPECT_EQ(count(fileText(), "Resu: 2\r\n"), 2);
}

TEST_F(SaveCoalescingTest, FailedSaveStaysOwed) {
    CWatchList list(checker, clock, nullptr, folder);
    list.start(nullptr);
    // A folder in the file's place refuses the rename, even for root.
    const std::string path = folder + "/WatchList.twl";
    fs::remove(path);
    fs::create_directory(path);
    ASSERT_TRUE(replaceFileContents(path + "/inside", "x"));
    EXPECT_FALSE(list.save());
    EXPECT_TRUE(list.savePending());
    fs::remove_all(path);
    list.flushSave();
    EXPECT_FALSE(list.savePending());
    EXPECT_EQ(count(fileText(), "Targ: http://"), 3);
}

TEST_F(SaveCoalescingTest, TempFileOfACutSaveIsRemovedAtLoad) {
    const std::string stale = folder + "/WatchList.twl.tmp-Ab12Cd";
    const std::string other = folder + "/WatchList.twl.tmp-notours";
    const std::string unrelated = folder + "/Other.twl.tmp-Ab12Cd";
    for (const std::string& path : {stale, other, unrelated}) {
        ASSERT_TRUE(replaceFileContents(path, "half a list"));
    }
    CWatchList list(checker, clock, nullptr, folder);
    ASSERT_TRUE(list.load());
    EXPECT_EQ(list.count(), 3);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(other));
    EXPECT_TRUE(fs::exists(unrelated));
}
