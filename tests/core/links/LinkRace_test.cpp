#include "LinkTestSupport.h"

#include "links/CLinkList.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tw::test {
namespace {

std::string address(const std::string& who, int n) {
    return "http://h/" + who + std::to_string(n);
}

/// A dialog of one program: load (waiting while another holds the folder), rename every link,
/// save (trying the append lock again while the sibling holds it). Exit code 0 on success.
int dialogRounds(const std::string& folder, const std::string& who, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        CLinkList links;
        links.setBusyQuestion([](const std::string&) {
            ::sched_yield();
            return CLinkList::BusyAnswer::No;
        });
        while (links.load(folder, false) != 1) {
            ::sched_yield();
        }
        for (int i = 0; i < links.count(); ++i) {
            FetchSettings link = links.link(i);
            link.name = who + std::to_string(round);
            links.replace(i, link);
        }
        if (links.save() != 0) {
            return 1;
        }
    }
    return 0;
}

pid_t spawn(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    return pid;
}

int exitCode(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LinkRace, TwoDialogsAndTheSiblingLoseNoLinkAndLeaveNoLock) {
    TempFolder dir;
    const int initial = 3;
    const int appends = 60;
    std::string start;
    std::vector<std::string> expected;
    for (int i = 0; i < initial; ++i) {
        start += onDisk(makeLink("l" + std::to_string(i), address("list", i)));
        expected.push_back(address("list", i));
    }
    TempFolder::writeFile(dir / "brl.hlk", start);

    const pid_t sibling = spawn([&] {
        for (int n = 0; n < appends; ++n) {
            if (!siblingAppend(dir.path(), onDisk(makeLink("s", address("sibling", n))))) {
                return 1;
            }
        }
        return 0;
    });
    const pid_t first = spawn([&] { return dialogRounds(dir.path(), "A", 30); });
    const pid_t second = spawn([&] { return dialogRounds(dir.path(), "B", 30); });
    EXPECT_EQ(exitCode(sibling), 0);
    EXPECT_EQ(exitCode(first), 0);
    EXPECT_EQ(exitCode(second), 0);

    for (int n = 0; n < appends; ++n) {
        expected.push_back(address("sibling", n));
    }
    EXPECT_EQ(addressesIn(dir.path()), expected);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"brl.hlk"});
}

// A save killed at any moment leaves the old list or the new one, never no list: the new file
// replaces the old one in a single rename. A watcher looks for the file all the while.
TEST(LinkRace, ASaveKilledAtAnyMomentLeavesAWholeList) {
    TempFolder dir;
    const int count = 200;
    std::string start;
    for (int i = 0; i < count; ++i) {
        start += onDisk(makeLink("f" + std::to_string(i), address("link", i)));
    }
    TempFolder::writeFile(dir / "brl.hlk", start);

    std::atomic<bool> watching{true};
    std::atomic<int> missing{0};
    const std::string listPath = dir / "brl.hlk";
    std::thread watcher([&] {
        struct stat status {};
        while (watching) {
            if (::lstat(listPath.c_str(), &status) != 0) {
                ++missing;
            }
        }
    });
    for (int kill = 0; kill < 8; ++kill) {
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t saver = spawn([&] {
            ::close(progress[0]);
            for (int round = 0;; ++round) {
                CLinkList links;
                links.load(dir.path(), true); // the killed saver's locks are stale
                FetchSettings link = links.link(round % count);
                link.name = std::to_string(round);
                links.replace(round % count, link);
                links.save();
                const char byte = 0;
                if (::write(progress[1], &byte, 1) != 1) {
                    return 1;
                }
            }
        });
        ::close(progress[1]);
        // Killed after a different number of saves each time, somewhere inside the next one.
        char byte = 0;
        for (int saved = 0; saved < 5 + 7 * kill; ++saved) {
            ASSERT_EQ(::read(progress[0], &byte, 1), 1);
        }
        ::kill(saver, SIGKILL);
        EXPECT_EQ(exitCode(saver), -1);
        ::close(progress[0]);
        ASSERT_TRUE(exists(dir / "brl.hlk")) << "after kill " << kill;
        EXPECT_EQ(addressesIn(dir.path()).size(), static_cast<std::size_t>(count));
    }
    watching = false;
    watcher.join();
    EXPECT_EQ(missing, 0);
}

} // namespace
} // namespace tw::test
