#include "core/platform/Event.h"
#include "core/platform/InstanceLock.h"
#include "core/platform/MessageBus.h"
#include "core/platform/RuntimeFolder.h"
#include "support/ChildProcess.h"
#include "support/ManualExecutor.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <vector>

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::TempFolder;

/// Collects the names a bus delivers and signals each arrival.
struct Inbox {
    std::mutex mutex;
    std::vector<std::string> names;
    Event arrived{false, false};

    MessageBus::Handler handler() {
        return [this](const std::string& name) {
            {
                std::lock_guard lock(mutex);
                names.push_back(name);
            }
            arrived.set();
        };
    }
    std::vector<std::string> received() {
        std::lock_guard lock(mutex);
        return names;
    }
};

TEST(RuntimeFolderTest, IsAPrivateFolderBelowTheRuntimeDirectory) {
    TempFolder temp;
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string previous = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", temp.path().c_str(), 1);
    const std::string folder = runtimeFolder();
    if (saved) {
        ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(folder, temp / "orvane");
    struct stat info {};
    ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A folder opened to others is closed again; a planted symbolic link is refused.
    ::chmod(folder.c_str(), 0777);
    EXPECT_TRUE(makePrivateFolder(folder));
    ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    std::filesystem::create_directory_symlink(folder, temp / "link");
    EXPECT_FALSE(makePrivateFolder(temp / "link"));
}

TEST(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    TempFolder temp;
    InstanceLock first;
    ASSERT_EQ(first.acquire("Tarnwick_Existing", temp.path()), InstanceLock::Result::Acquired);
    EXPECT_TRUE(first.held());
    InstanceLock second;
    EXPECT_EQ(second.acquire("Tarnwick_Existing", temp.path()),
              InstanceLock::Result::HeldElsewhere);
    EXPECT_FALSE(second.held());
    first.release();
    EXPECT_EQ(second.acquire("Tarnwick_Existing", temp.path()), InstanceLock::Result::Acquired);

    InstanceLock nowhere;
    EXPECT_EQ(nowhere.acquire("x", temp / "missing"), InstanceLock::Result::Failed);
}

TEST(InstanceLockTest, LockOfAnEndedProcessIsFree) {
    TempFolder temp;
    const std::string folder = temp.path();
    // The child takes the lock and ends without releasing it.
    ASSERT_EQ(test::runInChild([&] {
                  auto* lock = new InstanceLock; // deliberately never destroyed
                  return lock->acquire("Tarnwick_Existing", folder) ==
                                 InstanceLock::Result::Acquired
                             ? 0
                             : 1;
              }),
              0);
    InstanceLock mine;
    EXPECT_EQ(mine.acquire("Tarnwick_Existing", folder), InstanceLock::Result::Acquired);
}

TEST(MessageBusTest, SecondProcessIsRefusedTheLockAndItsBroadcastArrives) {
    TempFolder temp;
    const std::string folder = temp.path();
    InstanceLock lock;
    ASSERT_EQ(lock.acquire("Tarnwick_Existing", folder), InstanceLock::Result::Acquired);
    Inbox inbox;
    MessageBus bus(folder);
    bus.registerMessage("Tarnwick->Tarnwick", inbox.handler());
    ASSERT_TRUE(bus.start());
    EXPECT_EQ(bus.socketPath(), folder + "/" + std::to_string(::getpid()));

    const int code = test::runInChild([&] {
        InstanceLock second;
        if (second.acquire("Tarnwick_Existing", folder) != InstanceLock::Result::HeldElsewhere) {
            return 1;
        }
        return MessageBus::broadcast("Tarnwick->Tarnwick", folder) == 1 ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(inbox.arrived.wait(10s));
    EXPECT_EQ(inbox.received(), std::vector<std::string>{"Tarnwick->Tarnwick"});
}

TEST(MessageBusTest, OnlyRegisteredNamesReachTheirHandlers) {
    TempFolder temp;
    Inbox show;
    Inbox pickUp;
    MessageBus bus(temp.path());
    bus.registerMessage("Tarnwick->Tarnwick", show.handler());
    ASSERT_TRUE(bus.start());
    bus.registerMessage("brlHelper->Tarnwick", pickUp.handler()); // also after the start

    EXPECT_EQ(MessageBus::broadcast("Tarnwick->brlHelper", temp.path()), 1);
    EXPECT_EQ(MessageBus::broadcast("brlHelper->Tarnwick", temp.path()), 1);
    EXPECT_EQ(MessageBus::broadcast("Tarnwick->Tarnwick", temp.path()), 1);
    ASSERT_TRUE(show.arrived.wait(10s));
    ASSERT_TRUE(pickUp.arrived.wait(10s));
    EXPECT_EQ(pickUp.received(), std::vector<std::string>{"brlHelper->Tarnwick"});
    // Datagrams arrive in order: the unregistered one came first and was dropped.
    EXPECT_EQ(show.received(), std::vector<std::string>{"Tarnwick->Tarnwick"});
}

TEST(MessageBusTest, BroadcastReachesEveryListenerAndClearsDeadSockets) {
    TempFolder temp;
    const std::string folder = temp.path();
    Inbox one;
    Inbox two;
    MessageBus first(folder);
    MessageBus second(folder);
    first.registerMessage("Brindle->brlHelper", one.handler());
    second.registerMessage("Brindle->brlHelper", two.handler());
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(second.start());
    EXPECT_NE(first.socketPath(), second.socketPath());

    // A socket whose process ended without removing it, and a file that is no socket.
    const std::string dead = folder + "/999999";
    {
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, dead.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    TempFolder::writeFile(folder + "/Tarnwick_Existing.lock", "");

    EXPECT_EQ(MessageBus::broadcast("Brindle->brlHelper", folder), 2);
    EXPECT_TRUE(one.arrived.wait(10s));
    EXPECT_TRUE(two.arrived.wait(10s));
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(folder + "/Tarnwick_Existing.lock"));

    // A stopped bus takes its socket away and hears nothing more.
    const std::string path = second.socketPath();
    second.stop();
    EXPECT_FALSE(second.running());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(MessageBus::broadcast("Brindle->brlHelper", folder), 1);
    EXPECT_TRUE(one.arrived.wait(10s));
    EXPECT_EQ(two.received().size(), 1u);
}

TEST(MessageBusTest, PostedMessagesCoalesceWhileOneWaitsAndNoneIsMissed) {
    TempFolder temp;
    const std::string folder = temp.path();
    test::ManualExecutor executor;
    MessageBus bus(folder);
    int runs = 0;
    Inbox marker;
    // The flood may fill the socket's queue; a message that must arrive is sent again until
    // it has room.
    const auto sendSurely = [&](const char* name) {
        while (MessageBus::broadcast(name, folder) != 1) {
            std::this_thread::yield();
        }
    };
    bus.registerMessage("marker", marker.handler());
    // A message during the run itself: it must lead to one more run.
    bus.registerPosted("brlHelper->Tarnwick", executor, [&] {
        if (++runs == 1) {
            sendSurely("brlHelper->Tarnwick");
            sendSurely("marker");
            EXPECT_TRUE(marker.arrived.wait(10s));
        }
    });
    ASSERT_TRUE(bus.start());

    // A flood while no run has started; datagrams arrive in order, so once the marker is in,
    // every one before it has been handled.
    for (int i = 0; i < 1000; ++i) {
        MessageBus::broadcast("brlHelper->Tarnwick", folder);
    }
    sendSurely("marker");
    ASSERT_TRUE(marker.arrived.wait(10s));
    EXPECT_EQ(executor.runPending(), 2) << "the flood's one run, then the one asked for during it";
    EXPECT_EQ(runs, 2);

    // Coalescing is per name: another name still gets its own run.
    bus.registerPosted("Tarnwick->Tarnwick", executor, [&] { runs += 10; });
    sendSurely("Tarnwick->Tarnwick");
    sendSurely("brlHelper->Tarnwick");
    sendSurely("marker");
    ASSERT_TRUE(marker.arrived.wait(10s));
    EXPECT_EQ(executor.runPending(), 2);
    EXPECT_EQ(runs, 13);
}

} // namespace
} // namespace tw
