#include "core/records/WatchSettings.h"
#include "core/util/SafeFile.h"
#include "core/watch/CWatchList.h"
#include "core/watch/ItemChecker.h"
#include "support/FakeClock.h"
#include "support/FakePrompter.h"
#include "support/LocalTime.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tw;

namespace {

/// Records what the list asks of the checker; a test decides when it is busy.
class FakeChecker : public ItemChecker {
public:
    void setReceiver(CheckReceiver*) override {}
    void arm(const WatchSettings& item) override {
        armed = item;
        ++armCount;
    }
    void stop() override {
        ++stopCount;
        busy = busy || reportedBeforeStop;
    }
    bool isBusy() const override { return busy; }
    void setClosing() override { closing = true; }
    void setIdle() override { ++idleCount; }

    WatchSettings armed;
    int armCount = 0;
    int stopCount = 0;
    int idleCount = 0;
    bool busy = false;
    bool closing = false;
    /// The check began and reported between the list's last look and its stop(): the result
    /// is on its way when stop() returns.
    bool reportedBeforeStop = false;
};

class WatchListTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tw-list-XXXXXX";
        folder = ::mkdtemp(pattern);
        clock.set(local(2026, 12, 7, 9, 0));
    }
    void TearDown() override {
        ::chmod(folder.c_str(), 0700);
        fs::remove_all(folder);
    }

    static std::time_t local(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
        return test::localTime(y, mo, d, h, mi, s);
    }

    static WatchSettings page(const std::string& url, const char* timing = "open", int time = 0) {
        WatchSettings item;
        item.targetUrl = url;
        item.timing = timing;
        item.timeValue = time;
        return item;
    }

    void writeList(const std::vector<WatchSettings>& items, const std::string& tail = {}) {
        std::string text;
        for (const auto& item : items) {
            text += item.toText();
        }
        ASSERT_TRUE(replaceFileContents(folder + "/WatchList.twl", text + tail));
    }

    std::string fileText() const {
        std::string data;
        readWholeFile(folder + "/WatchList.twl", data);
        return data;
    }

    test::ZoneGuard zone{"Asia/Tokyo"};
    std::string folder;
    test::FakeClock clock;
    test::FakePrompter prompter;
    FakeChecker checker;
};

} // namespace

TEST_F(WatchListTest, LoadTagsItemsAndArmsTheDueOne) {

    writeList({page("http://a/", "define", 12 * 3600), page("http://b/"), page("http://c/")});
    CWatchList list(checker, clock, &prompter, folder);
    list.start(nullptr);
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.itemAt(0).itemTag, "__Tarnwick_0_");
    EXPECT_EQ(list.itemAt(2).itemTag, "__Tarnwick_2_");
    EXPECT_EQ(list.itemAt(0).nextCheck, local(2026, 12, 7, 12, 0));
    // Open items are due at once and come before the later set time.
    EXPECT_TRUE(list.current() == 1 || list.current() == 2);
    EXPECT_EQ(checker.armed.nextCheck, 0);
    // The file is rewritten at every reschedule, with CR LF line ends.
    EXPECT_NE(fileText().find("Fram: __Tarnwick_1_\r\n"), std::string::npos);
}

TEST_F(WatchListTest, MissingFileGivesEmptyListAndMidnightItem) {
    CWatchList list(checker, clock, &prompter, folder);
    EXPECT_FALSE(list.load());
    list.reschedule();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.current(), -1);
    EXPECT_TRUE(checker.armed.targetUrl.empty());
    EXPECT_EQ(checker.armed.nextCheck, local(2026, 12, 8));
    EXPECT_EQ(fileText(), "");
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(WatchListTest, PickNextRulesForOverdueItems) {
    CWatchList list(checker, clock, &prompter, folder);
    WatchSettings define = page("http://define/", "define");
    define.nextCheck = clock.now() - 90; // passed 90 s ago: waits for its next day
    WatchSettings inter = page("http://inter/", "inter", 300);
    inter.nextCheck = clock.now() - 5 * 3600; // hours overdue: still chosen
    WatchSettings later = page("http://later/", "define");
    later.nextCheck = clock.now() + 600;
    WatchSettings done = page("http://done/");
    done.nextCheck = -1;
    checker.busy = false;
    list.add(done);
    list.add(define);
    list.add(later);
    list.add(inter);
    // add() reschedules; the inter item wins and is made due.
    EXPECT_EQ(list.current(), 3);
    EXPECT_EQ(list.itemAt(3).nextCheck, 0);
    EXPECT_EQ(checker.armed.targetUrl, "http://inter/");

    WatchSettings recent = page("http://recent/", "define");
    recent.nextCheck = clock.now() - 59; // less than a minute late counts as due
    list.replace(3, recent);
    EXPECT_EQ(list.current(), 3);
    EXPECT_EQ(checker.armed.targetUrl, "http://recent/");
    EXPECT_EQ(list.itemAt(1).nextCheck, clock.now() - 90); // passed over, untouched
}

TEST_F(WatchListTest, AResultOnItsWayWhenTheCheckerIsStoppedIsNotLostNorMisplaced) {
    writeList({page("http://a/"), page("http://b/", "define", 20 * 3600)});
    CWatchList list(checker, clock, &prompter, folder);
    list.start(nullptr);
    ASSERT_EQ(list.current(), 0);
    const int armed = checker.armCount;
    checker.reportedBeforeStop = true;
    // An edit of the item whose result is on its way waits for it, and nothing is armed in
    // its place, else the result would land on whatever was armed next.
    list.replace(0, page("http://a2/"));
    list.remove(1);
    EXPECT_EQ(list.pendingEditCount(), 2u);
    EXPECT_EQ(checker.armCount, armed);
    EXPECT_EQ(list.itemAt(0).targetUrl, "http://a/");

    WatchSettings finished = list.itemAt(0);
    finished.lastCheck = clock.now();
    checker.busy = false;
    checker.reportedBeforeStop = false;
    list.checkFinished(finished);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.itemAt(0).targetUrl, "http://a2/");
    EXPECT_EQ(checker.armCount, armed + 1);
}

TEST_F(WatchListTest, EditsWhileBusyWaitForTheCheck) {
    writeList({page("http://a/"), page("http://b/", "define", 20 * 3600)});
    CWatchList list(checker, clock, &prompter, folder);
    list.start(nullptr);
    ASSERT_EQ(list.current(), 0);
    checker.busy = true;
    list.add(page("http://new/"));
    list.replace(1, page("http://b2/", "define", 20 * 3600));
    list.remove(0);
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(list.pendingEditCount(), 3u);
    EXPECT_EQ(list.itemAt(1).targetUrl, "http://b/");

    WatchSettings finished = list.itemAt(0);
    finished.lastResult = 2;
    finished.lastCheck = clock.now();
    checker.busy = false;
    list.checkFinished(finished);
    EXPECT_EQ(list.pendingEditCount(), 0u);
    ASSERT_EQ(list.count(), 2);
    // add, then replace of position 1, then delete of position 0, oldest first.
    EXPECT_EQ(list.itemAt(0).targetUrl, "http://b2/");
    EXPECT_EQ(list.itemAt(1).targetUrl, "http://new/");
    EXPECT_EQ(checker.idleCount, 1);
    const std::string saved = fileText();
    EXPECT_EQ(saved.find("http://a/"), std::string::npos);
    EXPECT_NE(saved.find("http://b2/"), std::string::npos);
}

namespace {

/// Every observer call as one line, in order.
class RecordingObserver : public WatchListObserver {
public:
    void listReset() override { calls.push_back("reset"); }
    void itemAdded(WatchItemId id) override { calls.push_back("added " + std::to_string(id)); }
    void itemReplaced(WatchItemId id) override {
        calls.push_back("replaced " + std::to_string(id));
    }
    void itemRemoved(WatchItemId id, int at) override {
        calls.push_back("removed " + std::to_string(id) + " at " + std::to_string(at));
    }
    void itemChecked(WatchItemId id) override { calls.push_back("checked " + std::to_string(id)); }
    void editedItemWasGone(WatchItemId gone, WatchItemId added) override {
        calls.push_back("gone " + std::to_string(gone) + " as " + std::to_string(added));
    }

    std::vector<std::string> calls;
};

std::string n(WatchItemId id) {
    return std::to_string(id);
}

} // namespace

TEST_F(WatchListTest, QueuedEditsFollowTheirItemWhenEarlierOnesAreDeleted) {
    writeList({page("http://a/"), page("http://b/", "define", 20 * 3600),
               page("http://c/", "define", 21 * 3600)});
    CWatchList list(checker, clock, &prompter, folder);
    RecordingObserver observer;
    list.addObserver(&observer);
    list.start(nullptr);
    ASSERT_EQ(list.current(), 0);
    const WatchItemId a = list.idAt(0), b = list.idAt(1), c = list.idAt(2);
    checker.busy = true;
    observer.calls.clear();
    // The user deletes the first row, then edits the second row as still shown: b.
    list.remove(0);
    list.replace(1, page("http://b2/", "define", 20 * 3600));
    // Edits the item being checked, and one queued to be added.
    const WatchItemId added = list.add(page("http://new/"));
    EXPECT_TRUE(list.replaceById(added, page("http://new2/")));
    EXPECT_FALSE(list.replaceById(9999, page("http://nowhere/")));
    EXPECT_EQ(list.positionOf(added), -1);
    EXPECT_TRUE(observer.calls.empty());

    WatchSettings finished = list.itemAt(0);
    finished.lastResult = 1;
    checker.busy = false;
    list.checkFinished(finished);
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.itemAt(0).targetUrl, "http://b2/");
    EXPECT_EQ(list.itemAt(1).targetUrl, "http://c/");
    EXPECT_EQ(list.itemAt(2).targetUrl, "http://new2/");
    EXPECT_EQ(list.idAt(0), b);
    EXPECT_EQ(list.idAt(1), c);
    EXPECT_EQ(list.idAt(2), added);
    const std::vector<std::string> expected = {"checked " + n(a), "removed " + n(a) + " at 0",
                                               "replaced " + n(b), "added " + n(added),
                                               "replaced " + n(added)};
    EXPECT_EQ(observer.calls, expected);
}

// Readers from outside (the shell's list commands) see the list as the queued edits will leave
// it, so that an item added during a check is listed at once, where it will be.
TEST_F(WatchListTest, ItemsAfterEditsShowTheQueuedEditsApplied) {
    writeList({page("http://a/"), page("http://b/", "define", 20 * 3600)});
    CWatchList list(checker, clock, &prompter, folder);
    list.start(nullptr);
    const WatchItemId a = list.idAt(0), b = list.idAt(1);
    checker.busy = true;
    const WatchItemId added = list.add(page("http://new/"));
    EXPECT_TRUE(list.removeById(a));
    EXPECT_TRUE(list.replaceById(added, page("http://new2/")));
    EXPECT_TRUE(list.removeById(b));
    EXPECT_TRUE(list.replaceById(b, page("http://b2/")));
    ASSERT_EQ(list.count(), 2);
    const auto after = list.itemsAfterEdits();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].first, added);
    EXPECT_EQ(after[0].second.targetUrl, "http://new2/");
    // Added again under an id not given yet.
    EXPECT_EQ(after[1].first, 0u);
    EXPECT_EQ(after[1].second.targetUrl, "http://b2/");

    checker.busy = false;
    list.checkFinished(list.itemAt(0));
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.itemAt(0).targetUrl, "http://new2/");
    EXPECT_EQ(list.itemAt(1).targetUrl, "http://b2/");
    EXPECT_EQ(list.itemsAfterEdits().size(), 2u);
}

TEST_F(WatchListTest, QueuedEditOfADeletedItemAddsItAgain) {
    writeList({page("http://a/"), page("http://b/", "define", 20 * 3600)});
    CWatchList list(checker, clock, &prompter, folder);
    RecordingObserver observer;
    list.addObserver(&observer);
    list.start(nullptr);
    const WatchItemId a = list.idAt(0), b = list.idAt(1);
    checker.busy = true;
    // Deleted from one window, edited from another before the check came back.
    EXPECT_TRUE(list.removeById(b));
    EXPECT_TRUE(list.replaceById(b, page("http://b2/")));
    observer.calls.clear();
    checker.busy = false;
    list.checkFinished(list.itemAt(0));
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.itemAt(1).targetUrl, "http://b2/");
    const WatchItemId again = list.idAt(1);
    EXPECT_NE(again, b);
    const std::vector<std::string> expected = {"checked " + n(a), "removed " + n(b) + " at 1",
                                               "added " + n(again),
                                               "gone " + n(b) + " as " + n(again)};
    EXPECT_EQ(observer.calls, expected);
}

TEST_F(WatchListTest, ObserverHearsDirectEditsAndReloads) {
    CWatchList list(checker, clock, &prompter, folder);
    RecordingObserver observer;
    list.addObserver(&observer);
    list.start(nullptr);
    const WatchItemId a = list.add(page("http://a/", "define", 20 * 3600));
    const WatchItemId b = list.add(page("http://b/", "define", 21 * 3600));
    EXPECT_TRUE(list.replaceById(b, page("http://b2/", "define", 21 * 3600)));
    EXPECT_TRUE(list.removeById(a));
    EXPECT_FALSE(list.removeById(a));
    EXPECT_EQ(list.positionOf(b), 0);
    list.load();
    const std::vector<std::string> expected = {
        "reset", "added " + n(a), "added " + n(b), "replaced " + n(b), "removed " + n(a) + " at 0",
        "reset"};
    EXPECT_EQ(observer.calls, expected);
}

TEST_F(WatchListTest, FinishedCopyIsStoredAndNotDueAgainToday) {
    writeList({page("http://a/")});
    CWatchList list(checker, clock, &prompter, folder);
    list.start(nullptr);
    const CWatchList::ItemId id = list.idAt(0);
    WatchSettings finished = checker.armed;
    finished.lastCheck = clock.now();
    finished.lastResult = -1;
    finished.errorKind = 404;
    list.checkFinished(finished);
    EXPECT_EQ(list.itemAt(0).lastResult, -1);
    EXPECT_EQ(list.itemAt(0).errorKind, 404);
    EXPECT_EQ(list.itemAt(0).nextCheck, -1);
    EXPECT_EQ(list.current(), -1);
    EXPECT_TRUE(checker.armed.targetUrl.empty()); // midnight item
    EXPECT_EQ(list.positionOf(id), 0);
    EXPECT_NE(fileText().find("Resu: -1\r\n"), std::string::npos);
}

TEST_F(WatchListTest, DeletingTheArmedItemStopsItsWait) {
    writeList({page("http://a/", "define", 10 * 3600), page("http://b/", "define", 11 * 3600)});
    CWatchList list(checker, clock, &prompter, folder);
    list.start(nullptr);
    ASSERT_EQ(list.current(), 0);
    const CWatchList::ItemId second = list.idAt(1);
    const CWatchList::ItemId first = list.idAt(0);
    const int stops = checker.stopCount;
    list.remove(0);
    EXPECT_GT(checker.stopCount, stops);
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(list.current(), 0);
    EXPECT_EQ(checker.armed.targetUrl, "http://b/");
    EXPECT_EQ(list.positionOf(second), 0);
    EXPECT_EQ(list.positionOf(first), -1);
}

TEST_F(WatchListTest, DamagedFileIsKeptAsideBeforeTheFirstSave) {
    const std::string broken = "\t//{{TOP-W\n\t//{{TOP\nTarg: http://lost/\n";
    writeList({page("http://a/"), page("http://b/"), page("http://c/")}, broken);
    const std::string original = fileText();
    CWatchList list(checker, clock, &prompter, folder);
    list.start(nullptr);
    EXPECT_EQ(list.count(), 3);
    ASSERT_FALSE(list.damagedCopy().empty());
    std::string kept;
    ASSERT_TRUE(readWholeFile(list.damagedCopy(), kept));
    EXPECT_EQ(kept, original);
    ASSERT_EQ(prompter.messages().size(), 1u);
    EXPECT_NE(prompter.messages()[0].find(list.damagedCopy()), std::string::npos);
    // The new file holds the three good items only; later saves say nothing more.
    EXPECT_EQ(fileText().find("http://lost/"), std::string::npos);
    list.save();
    EXPECT_EQ(prompter.messages().size(), 1u);

    // A second damaged load picks the next free name.
    writeList({page("http://a/")}, broken);
    CWatchList again(checker, clock, &prompter, folder);
    again.start(nullptr);
    EXPECT_NE(again.damagedCopy(), list.damagedCopy());
    EXPECT_TRUE(fs::exists(again.damagedCopy()));
}

TEST_F(WatchListTest, TrailingBlankLinesAreNotDamage) {
    writeList({page("http://a/")}, "\r\n\r\n");
    CWatchList list(checker, clock, &prompter, folder);
    list.start(nullptr);
    EXPECT_TRUE(list.damagedCopy().empty());
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(WatchListTest, SavedFileIsReadableByItsOwnerOnly) {
    writeList({page("http://a/"), page("http://b/")});
    ::chmod((folder + "/WatchList.twl").c_str(), 0644);
    CWatchList list(checker, clock, &prompter, folder);
    list.start(nullptr);
    struct stat info {};
    ASSERT_EQ(::stat((folder + "/WatchList.twl").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u); // it holds passwords
}

TEST_F(WatchListTest, WriteFailureMidwayLeavesOldFileWhole) {
    // A file-size limit makes the write fail part-way, as a full disk would, also for root.
    writeList({page("http://a/"), page("http://b/")});
    const std::string before = fileText();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{512, 512};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        CWatchList list(checker, clock, nullptr, folder);
        list.load();
        for (int i = 0; i < 20; ++i) {
            list.add(page("http://more/" + std::to_string(i)));
        }
        ::_exit(list.save() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save should have failed";
    EXPECT_EQ(fileText(), before);
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
            << "temporary file left behind";
    }
}

TEST_F(WatchListTest, EveryObserverHearsAndOneMayLeaveWhileHearing) {
    writeList({page("http://a/")});
    CWatchList list(checker, clock, &prompter, folder);
    RecordingObserver first, second;
    // Leaves at its first call, as a dialog closing on a change would.
    struct Leaving : RecordingObserver {
        CWatchList* list = nullptr;
        void itemAdded(WatchItemId id) override {
            RecordingObserver::itemAdded(id);
            list->removeObserver(this);
        }
    } leaving;
    leaving.list = &list;
    list.addObserver(&first);
    list.addObserver(&leaving);
    list.addObserver(&second);
    list.addObserver(&first); // once only
    list.start(nullptr);
    const WatchItemId added = list.add(page("http://b/"));
    list.removeById(added);
    const std::vector<std::string> all = {"reset", "added " + n(added),
                                          "removed " + n(added) + " at 1"};
    EXPECT_EQ(first.calls, all);
    EXPECT_EQ(second.calls, all);
    EXPECT_EQ(leaving.calls, (std::vector<std::string>{"reset", "added " + n(added)}));
}
