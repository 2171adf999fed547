#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/util/SafeFile.h"
#include "core/watch/CWatchList.h"
#include "core/watch/ItemChecker.h"
#include "support/ChildProcess.h"
#include "support/FakeClock.h"
#include "support/FakePrompter.h"
#include "support/LocalTime.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tw;

namespace {

class CountingChecker : public ItemChecker {
public:
    void setReceiver(CheckReceiver*) override {}
    void arm(const WatchSettings& item) override {
        armed = item;
        ++armCount;
        if (item.targetUrl == "http://once/") {
            ++onceArmCount;
        }
    }
    void stop() override {}
    bool isBusy() const override { return false; }
    void setClosing() override {}
    void setIdle() override {}

    WatchSettings armed;
    int armCount = 0;
    int onceArmCount = 0;
};

/// The watch list file when it cannot be read, is damaged, cannot be written, or holds
/// numbers at the limits of their type.
class ListFileFaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tw-listfault-XXXXXX";
        folder = ::mkdtemp(pattern);
        path = folder + "/WatchList.twl";
        clock.set(test::localTime(2026, 12, 7, 9, 0));
    }
    void TearDown() override {
        ::chmod(path.c_str(), 0600);
        fs::remove_all(folder);
    }

    static WatchSettings page(const std::string& url) {
        WatchSettings item;
        item.targetUrl = url;
        return item;
    }

    static std::string threeItems() {
        std::string text;
        for (const char* url : {"http://a/", "http://b/", "http://c/"}) {
            text += page(url).toText();
        }
        return text;
    }

    std::string fileText() const {
        std::string data;
        readWholeFile(path, data);
        return data;
    }

    /// The armed item comes back checked.
    void finish(CWatchList& list) {
        WatchSettings done = checker.armed;
        done.lastCheck = clock.now();
        done.lastResult = 1;
        list.checkFinished(done);
    }

    test::ZoneGuard zone{"Asia/Tokyo"};
    std::string folder;
    std::string path;
    test::FakeClock clock;
    test::FakePrompter prompter;
    CountingChecker checker;
};

/// What a list that could not read its file must do, as an exit code for a child process:
/// 0 when it reported the file, armed nothing and refused every save.
int unreadableListBehaves(CWatchList& list, const CountingChecker& checker,
                          const test::FakePrompter& prompter, const std::string& path,
                          const std::string& reason) {
    if (list.start(nullptr)) {
        return 10;
    }
    const std::string& error = list.loadError();
    if (error.find(path) == std::string::npos || error.find(reason) == std::string::npos) {
        return 11;
    }
    if (prompter.messages() != std::vector<std::string>{error}) {
        return 12;
    }
    if (checker.armCount != 0) {
        return 13;
    }
    list.add(WatchSettings());
    if (checker.armCount != 0 || list.save()) {
        return 14;
    }
    list.setSaveCoalescing(std::chrono::milliseconds(200), [](std::chrono::milliseconds) {});
    list.reschedule();
    list.flushSave();
    return list.savePending() ? 15 : 0;
}

} // namespace

TEST_F(ListFileFaultsTest, UnreadableListIsReportedAndNeverSavedOver) {
    // As an unprivileged user (root drops to nobody in a child), with a folder the user owns
    // and may write, so that only the file's own mode stands in the way.
    const std::string original = threeItems();
    ASSERT_TRUE(replaceFileContents(path, original));
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    const int code = test::runInChild([&] {
        if (root && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                     ::setresuid(65534, 65534, 65534) != 0)) {
            return 20;
        }
        CWatchList list(checker, clock, &prompter, folder);
        return unreadableListBehaves(list, checker, prompter, path,
                                     jp("アクセスが許可されていません"));
    });
    EXPECT_EQ(code, 0);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(fileText(), original) << "the unreadable list was saved over";
}

TEST_F(ListFileFaultsTest, NonRegularFileInPlaceOfTheListIsRefusedWithoutBlocking) {
    // A folder fails for root too; a FIFO would block an ordinary open for ever.
    ASSERT_TRUE(fs::create_directory(path));
    {
        CWatchList list(checker, clock, &prompter, folder);
        EXPECT_EQ(unreadableListBehaves(list, checker, prompter, path,
                                        jp("通常のファイルではありません")),
                  0);
    }
    EXPECT_TRUE(fs::is_empty(path));
    fs::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    test::FakePrompter fifoPrompter;
    CWatchList list(checker, clock, &fifoPrompter, folder);
    EXPECT_FALSE(list.start(nullptr));
    EXPECT_FALSE(list.loadError().empty());
    EXPECT_TRUE(fs::is_fifo(path));
}

TEST_F(ListFileFaultsTest, AListNeverLoadedDoesNotReplaceTheFileThere) {
    const std::string original = threeItems();
    ASSERT_TRUE(replaceFileContents(path, original));
    {
        CWatchList list(checker, clock, &prompter, folder);
        list.add(page("http://new/"));
        EXPECT_FALSE(list.save());
        EXPECT_FALSE(list.savePending());
    }
    EXPECT_EQ(fileText(), original);
}

TEST_F(ListFileFaultsTest, MissingListIsAnEmptyListWithoutMessage) {
    CWatchList list(checker, clock, &prompter, folder);
    EXPECT_TRUE(list.start(nullptr));
    EXPECT_TRUE(list.loadError().empty());
    EXPECT_TRUE(prompter.messages().empty());
    EXPECT_EQ(checker.armCount, 1); // the midnight item
}

TEST_F(ListFileFaultsTest, FailedSaveIsReportedOncePerStreakAndRetried) {
    ASSERT_TRUE(replaceFileContents(path, threeItems()));
    CWatchList list(checker, clock, &prompter, folder);
    ASSERT_TRUE(list.start(nullptr));
    // A folder in the file's place refuses the rename, also for root.
    fs::remove(path);
    fs::create_directory(path);
    ASSERT_TRUE(replaceFileContents(path + "/inside", "x"));
    EXPECT_FALSE(list.save());
    finish(list); // a reschedule retries, and fails again
    EXPECT_FALSE(list.save());
    ASSERT_EQ(prompter.messages().size(), 1u);
    EXPECT_NE(prompter.messages()[0].find(jp("保存できませんでした")), std::string::npos);
    EXPECT_NE(prompter.messages()[0].find(path), std::string::npos);
    EXPECT_TRUE(list.savePending());
    EXPECT_EQ(list.count(), 3);

    fs::remove_all(path);
    EXPECT_TRUE(list.save());
    EXPECT_NE(fileText().find("Resu: 1\r\n"), std::string::npos); // the result kept in memory
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_FALSE(list.save());
    EXPECT_EQ(prompter.messages().size(), 2u); // a new streak is told again
    const std::string retry = jp("次の保存で書き込み直します");
    EXPECT_NE(prompter.messages()[1].find(retry), std::string::npos);

    // The last save is told although the streak was, and promises no save that will not come.
    list.setClosing();
    EXPECT_FALSE(list.save());
    ASSERT_EQ(prompter.messages().size(), 3u);
    EXPECT_NE(prompter.messages()[2].find(path), std::string::npos);
    EXPECT_EQ(prompter.messages()[2].find(retry), std::string::npos);
    EXPECT_FALSE(list.save());
    EXPECT_EQ(prompter.messages().size(), 3u);
    fs::remove_all(path);
}

TEST_F(ListFileFaultsTest, EveryDamagedFramingLineOfAMiddleItemKeepsTheFileAside) {
    const std::string first = page("http://a/").toText();
    const std::string middle = page("http://b/").toText();
    const std::string last = page("http://c/").toText();
    struct Damage {
        const char* line;
        const char* replacement; // empty: the line is gone
    };
    const Damage damages[] = {
        {"\t//{{TOP-W\n", "\t//{{TOP-X\n"},
        {"\t//{{TOP\n", "\t//{{TOQ\n"},
        {"\tEND}}//\n", "\tEND}}/\n"},
        {"\tEND-W}}//\n", "\tEND-W}\n"},
        {"\t//{{TOP-W\n", ""},
        {"\t//{{TOP\n", ""},
        {"\tEND}}//\n", ""},
        {"\tEND-W}}//\n", ""},
        {"\tEND}}//\n", "\t//{{TOP\n"},
        {"\tEND-W}}//\n", "\t//{{TOP-W\n"},
    };
    for (const Damage& damage : damages) {
        std::string broken = middle;
        const auto at = broken.find(damage.line);
        ASSERT_NE(at, std::string::npos);
        broken.replace(at, std::strlen(damage.line), damage.replacement);
        std::string text = first + broken + last;
        // As written on disk, with CR LF.
        for (auto lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 2)) {
            text.insert(lf, 1, '\r');
        }
        fs::remove_all(folder);
        fs::create_directory(folder);
        ASSERT_TRUE(replaceFileContents(path, text));
        SCOPED_TRACE(std::string(damage.line) + " -> " + damage.replacement);

        test::FakePrompter seen;
        CWatchList list(checker, clock, &seen, folder);
        ASSERT_TRUE(list.start(nullptr));
        ASSERT_FALSE(list.damagedCopy().empty());
        std::string kept;
        ASSERT_TRUE(readWholeFile(list.damagedCopy(), kept));
        EXPECT_EQ(kept, text);
        ASSERT_EQ(seen.messages().size(), 1u);
        EXPECT_NE(seen.messages()[0].find(list.damagedCopy()), std::string::npos);
    }
}

TEST_F(ListFileFaultsTest, UnknownKeysAndBlankLinesAreNoDamage) {
    std::string text = threeItems();
    text.insert(text.find("Chec: "), "Newk: from a later version\n    \n");
    text.insert(text.find("\t//{{TOP-W\n", 1), "\n\t\n");
    ASSERT_TRUE(replaceFileContents(path, text + "\r\n"));
    CWatchList list(checker, clock, &prompter, folder);
    ASSERT_TRUE(list.start(nullptr));
    EXPECT_EQ(list.count(), 3);
    EXPECT_TRUE(list.damagedCopy().empty());
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(ListFileFaultsTest, OneOffItemWithoutOrWithAbsurdMomentIsCheckedOnceThenWaits) {
    const char* dates[] = {"0", "-9223372036854775807", "-1"};
    for (const char* date : dates) {
        SCOPED_TRACE(date);
        WatchSettings item = page("http://once/");
        item.schedule = "once";
        item.timing = "define";
        std::string text = item.toText();
        const auto at = text.find("Date: 0\n");
        ASSERT_NE(at, std::string::npos);
        text.replace(at, 8, std::string("Date: ") + date + "\n");
        // A neighbour at the far end of time must not overflow the choice of the next item.
        std::string far = page("http://far/").toText();
        far.replace(far.find("Chec: daily"), 11, "Chec: once");
        far.replace(far.find("Timi: open"), 10, "Timi: define");
        far.replace(far.find("Date: 0"), 7, "Date: 9223372036854775807");
        far.replace(far.find("Time: 0"), 7, "Time: 2147483647");
        far.replace(far.find("Last: 0"), 7, "Last: 9223372036854775807");
        ASSERT_TRUE(replaceFileContents(path, text + far));

        CountingChecker counting;
        CWatchList list(counting, clock, &prompter, folder);
        ASSERT_TRUE(list.start(nullptr));
        ASSERT_EQ(counting.onceArmCount, 1);
        EXPECT_EQ(counting.armed.targetUrl, "http://once/");
        for (int round = 0; round < 3; ++round) {
            WatchSettings done = counting.armed;
            done.lastCheck = clock.now();
            list.checkFinished(done);
            clock.advance(1);
        }
        EXPECT_EQ(counting.onceArmCount, 1) << "checked again and again";
        EXPECT_EQ(list.itemAt(0).nextCheck, -1);
        // The far item waits for its moment, held at the end of time_t's room.
        EXPECT_EQ(counting.armed.targetUrl, "http://far/");
        EXPECT_EQ(counting.armed.nextCheck, WatchSettings::kLatestMoment + 2147483647);
    }
}
