// The start-up of the core opens no network, TLS or sound library: those are opened by the
// first request and the first sound. Its own test program, so that no other test has fetched
// or played before it looks.

#include "core/app/CTarnwickApp.h"
#include "core/app/CheckSession.h"
#include "core/net/CollectingMailProgress.h"
#include "core/net/HttpExchange.h"
#include "support/FakePrompter.h"
#include "support/ManualExecutor.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <link.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace tw {
namespace {

/// Whether a shared object whose file name holds `part` is loaded in this process.
bool loaded(const char* part) {
    struct Search {
        const char* part;
        bool found;
    } search{part, false};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* search = static_cast<Search*>(data);
            const std::string name = info->dlpi_name ? info->dlpi_name : "";
            const auto slash = name.rfind('/');
            if (name.find(search->part, slash == std::string::npos ? 0 : slash) !=
                std::string::npos) {
                search->found = true;
            }
            return 0;
        },
        &search);
    return search.found;
}

// The program's dependencies are all loaded before main; a library linked again would show here.
const bool g_curlBeforeMain = loaded("libcurl.");
const bool g_cryptoBeforeMain = loaded("libcrypto.") || loaded("libgnutls.");
const bool g_canberraBeforeMain = loaded("libcanberra.");

TEST(LazyLibraries, StartUpOpensNoNetworkTlsOrSoundLibrary) {
    EXPECT_FALSE(g_curlBeforeMain);
    EXPECT_FALSE(g_cryptoBeforeMain);
    EXPECT_FALSE(g_canberraBeforeMain);

    test::TempFolder temp;
    std::filesystem::create_directories(temp / "home/comp");
    // An item with a check date long past: armed, never due.
    test::TempFolder::writeFile(temp / "home/WatchList.twl",
                                "\t//{{TOP-W\r\n\t//{{TOP\r\nTarg: http://127.0.0.1:9/a.html\r\n"
                                "Name: a\r\n\tEND}}//\r\nChec: once\r\nTimi: defined\r\n"
                                "Date: 34560000\r\n\tEND-W}}//\r\n");
    test::FakePrompter prompter;
    test::ManualExecutor executor;
    CollectingMailProgress progress;
    CTarnwickApp app(prompter, {temp / "home", temp / "config", temp / "run"});
    ASSERT_TRUE(app.initInstance());
    {
        CheckSession session(app, prompter, nullptr, executor, progress);
        ASSERT_TRUE(session.start(nullptr));
        ASSERT_EQ(session.watchList().count(), 1);
        executor.runPending();
        EXPECT_FALSE(loaded("libcurl."));
        EXPECT_FALSE(loaded("libcrypto."));
        EXPECT_FALSE(loaded("libcanberra."));
        session.stop();
    }
    app.exitInstance();
}

// The first use comes from whichever worker fetches first, several at once: each sees the one
// library, opened and initialised once (ThreadSanitizer runs this too).
TEST(LazyLibraries, FirstUseFromSeveralThreadsAtOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::vector<std::thread> threads;
    std::vector<std::string> hosts(kThreads);
    std::vector<int> dated(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
                std::this_thread::yield();
            }
            const auto address =
                HttpExchange::parseAddress("http://host" + std::to_string(i) + ".example:81/");
            hosts[i] = address ? address->host + ":" + address->port : "none";
            // An exchange makes its handles at once.
            const HttpExchange exchange(nullptr);
            dated[i] = HttpExchange::parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT") ? 1 : 0;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(hosts[i], "host" + std::to_string(i) + ".example:81");
        EXPECT_EQ(dated[i], 1);
    }
    EXPECT_TRUE(loaded("libcurl."));
}

} // namespace
} // namespace tw
