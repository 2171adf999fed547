#include "core/app/CTarnwickApp.h"
#include "core/app/ChangeNotices.h"
#include "core/history/HistoryStore.h"
#include "core/platform/Clock.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CWatchList.h"
#include "core/watch/FailureAlerts.h"
#include "core/watch/ItemChecker.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tw {
namespace {

using test::TempFolder;

class IdleChecker : public ItemChecker {
public:
    void setReceiver(CheckReceiver*) override {}
    void arm(const WatchSettings&) override {}
    void stop() override {}
    bool isBusy() const override { return false; }
    void setClosing() override {}
    void setIdle() override {}
};

class ChangeNoticesTest : public ::testing::Test {
protected:
    void SetUp() override {
        app.loadConf();
        item.name = jp("株価");
        item.targetUrl = "http://127.0.0.1:9/";
    }

    /// Two versions of the item's page, the second kept by the check at `item.lastCheck`.
    void keep(const std::string& before, const std::string& after) {
        item.compareFile = home / "comp/temp_1.tmp";
        item.lastCheck = 2000;
        for (const auto& [when, text] : {std::pair{1000, before}, std::pair{2000, after}}) {
            HistoryEntry entry;
            entry.checkedAt = when;
            entry.bytes = text;
            entry.codePage = 65001;
            entry.contentType = "text/plain";
            ASSERT_EQ(history.record("temp_1.tmp", entry), "");
        }
    }

    TempFolder home;
    TempFolder config;
    test::FakePrompter prompter;
    CTarnwickApp app{prompter, {home.path(), config.path(), config.path() + "/run"}};
    HistoryStore history{home.path(), {}};
    FailureAlerts failures{home.path()};
    ChangeNotices notices{app, history, failures};
    WatchSettings item;
};

TEST_F(ChangeNoticesTest, AChangeCarriesItsFirstChangedLinesCut) {
    const std::string longLine(100, 'x');
    keep("a\nb\nc\n", "A\nB\n" + longLine + "\n");
    item.setOutcome(CheckOutcome::Updated);
    const std::vector<Notice> told = notices.prepare(item);
    ASSERT_EQ(told.size(), 1U);
    EXPECT_EQ(told[0].kind, Notice::Kind::Change);
    EXPECT_EQ(told[0].summary, "株価");
    EXPECT_EQ(told[0].body, "更新されています\n- a\n- b\n- c\n…");

    keep("price 100\n", "price " + longLine + "\n");
    EXPECT_EQ(notices.prepare(item)[0].body,
              "更新されています\n- price 100\n+ price " + std::string(72, 'x') + "…");
}

TEST_F(ChangeNoticesTest, AFailingItemWithoutAStoredCopyGetsOneAndItsCountGoesWithTheItem) {
    TempFolder::writeFile(home / "tarnwick.conf", "[notify]\nfailures=2\n");
    app.loadConf();
    item.setOutcome(CheckOutcome::Failed);
    EXPECT_TRUE(notices.prepare(item).empty());
    const std::string key = HistoryStore::keyOf(item.compareFile);
    ASSERT_FALSE(key.empty());
    EXPECT_TRUE(std::filesystem::exists(home / ("failures/" + key)));
    const std::vector<Notice> second = notices.prepare(item);
    ASSERT_EQ(second.size(), 1U);
    EXPECT_EQ(second[0].kind, Notice::Kind::Failing);
    EXPECT_EQ(failures.failures(key), 2);

    IdleChecker checker;
    CWatchList list(checker, SystemClock::instance(), nullptr, home.path());
    list.setHistory(&history);
    list.setFailureAlerts(&failures);
    const WatchItemId id = list.define(item, 0);
    ASSERT_TRUE(list.removeById(id));
    EXPECT_FALSE(std::filesystem::exists(home / ("failures/" + key)));
    // Its next run starts from nothing.
    FailureAlerts restarted(home.path());
    EXPECT_EQ(restarted.failures(key), 0);
}

} // namespace
} // namespace tw
