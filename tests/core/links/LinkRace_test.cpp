#include "LinkTestSupport.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <new>

namespace tw::test {
namespace {

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

std::string listOf(const std::string& prefix, int count, std::vector<std::string>* addresses) {
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        bytes += onDisk(makeLink("f", prefix + std::to_string(i)));
        addresses->push_back(prefix + std::to_string(i));
    }
    return bytes;
}

/// One program's dialog, again and again: load (waiting while the folder is taken), rename
/// every link, save (trying the append lock again while the sibling holds it).
int dialogRounds(const std::string& folder, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        CLinkList links;
        links.setBusyQuestion([](const std::string&) { return CLinkList::BusyAnswer::No; });
        while (links.load(folder, false) != 1) {
            ::sched_yield();
        }
        for (int i = 0; i < links.count(); ++i) {
            links.replace(i, makeLink(std::to_string(round), links.link(i).targetUrl));
        }
        if (links.save() != 0) {
            return 1;
        }
    }
    return 0;
}

TEST(LinkRace, TwoDialogsAndTheSiblingLoseNoLinkAndLeaveNoLock) {
    TempFolder dir;
    std::vector<std::string> expected;
    TempFolder::writeFile(dir / "brl.hlk", listOf("list", 3, &expected));
    std::vector<std::string> appended;
    listOf("sibling", 60, &appended);
    const pid_t sibling = spawn([&] {
        for (const std::string& address : appended) {
            if (!siblingAppend(dir.path(), onDisk(makeLink("f", address)))) {
                return 1;
            }
        }
        return 0;
    });
    const pid_t first = spawn([&] { return dialogRounds(dir.path(), 30); });
    const pid_t second = spawn([&] { return dialogRounds(dir.path(), 30); });
    EXPECT_EQ(exitCode(sibling), 0);
    EXPECT_EQ(exitCode(first), 0);
    EXPECT_EQ(exitCode(second), 0);

    expected.insert(expected.end(), appended.begin(), appended.end());
    EXPECT_EQ(addressesIn(dir.path()), expected);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "only brl.hlk is left";
}

// The new file replaces the old one in a single rename: a watcher never misses the file, and
// a save killed at any moment leaves a whole list. The watcher is a process of its own, started
// before any saver: a child forked while another thread of the parent holds a lock (the
// allocator's, under a sanitizer) would wait on it for ever.
TEST(LinkRace, ASaveKilledAtAnyMomentLeavesAWholeList) {
    TempFolder dir;
    std::vector<std::string> addresses;
    TempFolder::writeFile(dir / "brl.hlk", listOf("link", 200, &addresses));
    const std::string listPath = dir / "brl.hlk";
    struct Shared {
        std::atomic<bool> watching{true};
        std::atomic<int> missing{0};
    };
    void* memory =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* shared = new (memory) Shared;
    const pid_t watcher = spawn([&] {
        while (shared->watching) {
            shared->missing += ::access(listPath.c_str(), F_OK) != 0 ? 1 : 0;
        }
        return 0;
    });
    for (int kill = 0; kill < 8; ++kill) {
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t saver = spawn([&] {
            for (int round = 0;; ++round) {
                CLinkList links;
                links.load(dir.path(), true); // the killed saver's locks are stale
                links.replace(round % 200, makeLink(std::to_string(round), addresses[round % 200]));
                const char byte = static_cast<char>(links.save());
                if (::write(progress[1], &byte, 1) != 1) {
                    return 1;
                }
            }
        });
        ::close(progress[1]);
        char byte = 0;
        for (int saved = 0; saved < 5 + 7 * kill; ++saved) {
            ASSERT_EQ(::read(progress[0], &byte, 1), 1);
            ASSERT_EQ(byte, 0);
        }
        ::kill(saver, SIGKILL);
        EXPECT_EQ(exitCode(saver), -1);
        ::close(progress[0]);
        EXPECT_EQ(addressesIn(dir.path()), addresses) << "after kill " << kill;
    }
    shared->watching = false;
    EXPECT_EQ(exitCode(watcher), 0);
    EXPECT_EQ(shared->missing, 0);
    ::munmap(memory, sizeof(Shared));
}

} // namespace
} // namespace tw::test
