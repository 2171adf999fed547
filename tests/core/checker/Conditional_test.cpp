#include "core/history/HistoryStore.h"
#include "core/platform/CodeConverter.h"
#include "core/ports/CheckReceiver.h"
#include "core/records/WatchSettings.h"
#include "core/watch/CReNew.h"
#include "core/watch/CWatchList.h"
#include "core/watch/Validators.h"
#include "support/CountingHttpServer.h"
#include "support/FakeClock.h"
#include "support/FakeDesktop.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

using namespace tw;
using namespace std::chrono_literals;
using test::CountingHttpServer;

namespace {

std::string headerOf(const std::string& request, const std::string& name) {
    const auto at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return {};
    }
    const auto start = at + name.size() + 4;
    return request.substr(start, request.find("\r\n", start) - start);
}

/// The GET requests the server answered, in order.
std::vector<std::string> gets(const CountingHttpServer& server) {
    std::vector<std::string> found;
    for (const std::string& request : server.requests()) {
        if (request.starts_with("GET")) {
            found.push_back(request);
        }
    }
    return found;
}

/// Pages whose body the test sets, each with an ETag of its body and a fixed Last-Modified;
/// answers a matching If-None-Match with 304. HEAD is refused, as some servers do, so that each
/// check downloads rather than settle on the page's time.
class ValidatingPages {
public:
    std::string respond(const std::string& request) {
        if (request.starts_with("HEAD")) {
            return "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n";
        }
        std::lock_guard lock(m_mutex);
        const std::string etag = "\"" + std::to_string(std::hash<std::string>{}(m_body)) + "\"";
        if (headerOf(request, "If-None-Match") == etag) {
            return "HTTP/1.1 304 Not Modified\r\nETag: " + etag + "\r\n\r\n";
        }
        return CountingHttpServer::ok(m_body,
                                      "ETag: " + etag + "\r\nLast-Modified: " + kModified + "\r\n");
    }
    void setBody(const std::string& body) {
        std::lock_guard lock(m_mutex);
        m_body = body;
    }
    static constexpr const char* kModified = "Wed, 21 Oct 2015 07:28:00 GMT";

private:
    std::mutex m_mutex;
    std::string m_body = "<html>one</html>";
};

class Receiver : public CheckReceiver {
public:
    void checkDone(WatchSettings copy, WatchItemId) override {
        std::lock_guard lock(m_mutex);
        m_reports.push_back(std::move(copy));
        m_arrived.notify_all();
    }
    WatchSettings wait() {
        std::unique_lock lock(m_mutex);
        m_arrived.wait_for(lock, 10s, [&] { return !m_reports.empty(); });
        return m_reports.empty() ? WatchSettings() : m_reports.back();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<WatchSettings> m_reports;
};

class ConditionalCheckTest : public ::testing::Test {
protected:
    ConditionalCheckTest() : m_converter(createCodeConverter()) {
        clock.set(1'800'000'000);
        services.clock = &clock;
        services.prompter = &prompter;
        services.converter = m_converter.get();
        services.programFolder = home.path();
        services.actions.sound = &sound;
        services.connectTimeoutSeconds = 5;
        services.stallTimeoutSeconds = 5;
        services.history = &history;
        checker = std::make_unique<CReNew>(services);
    }

    WatchSettings item(const std::string& url) const {
        WatchSettings w;
        w.targetUrl = url;
        w.lastModified = 0; // no time shortcut: each check downloads
        w.soundMode = 0;
        w.popUp = 0;
        return w;
    }

    /// One check of the item by the checker that lives through the test, as the program's does.
    WatchSettings check(const WatchSettings& w) {
        Receiver receiver;
        checker->setReceiver(&receiver);
        checker->arm(w);
        const WatchSettings done = receiver.wait();
        checker->waitDone();
        checker->setIdle();
        checker->setReceiver(nullptr);
        return done;
    }

    test::TempFolder home;
    test::FakeClock clock;
    test::FakePrompter prompter;
    test::FakeSoundPlayer sound;
    HistoryStore history{home.path(), {}};
    CheckerServices services;
    std::unique_ptr<CodeConverter> m_converter;
    std::unique_ptr<CReNew> checker;
};

TEST_F(ConditionalCheckTest, TwentyItemsOfOneHostInARoundUseOneConnection) {
    CountingHttpServer server([](const std::string&) { return CountingHttpServer::ok("page"); });
    for (int i = 0; i < 20; ++i) {
        const WatchSettings done = check(item(server.url("/p" + std::to_string(i) + ".html")));
        EXPECT_EQ(done.lastResult, static_cast<int>(CheckOutcome::Updated)) << done.errorText;
    }
    for (const auto& r : server.requests()) {
        std::cerr << r.substr(0, r.find("\r\n")) << "\n";
    }
    EXPECT_EQ(server.requests().size(), 20u);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(ConditionalCheckTest, AServerClosingIdleConnectionsCostsNoFailedCheck) {
    CountingHttpServer server([](const std::string&) { return CountingHttpServer::ok("page"); },
                              CountingHttpServer::Closing::WhenIdle, 50);
    WatchSettings w = check(item(server.url("/page.html")));
    ASSERT_EQ(w.lastResult, static_cast<int>(CheckOutcome::Updated));
    ASSERT_TRUE(server.waitClosedByServer(1));
    w = check(w);
    EXPECT_EQ(w.lastResult, static_cast<int>(CheckOutcome::NotUpdated)) << w.errorText;
    EXPECT_EQ(server.connections(), 2);
}

TEST_F(ConditionalCheckTest, ANotModifiedLeavesTheCopyAndHistoryAsTheyAre) {
    ValidatingPages pages;
    CountingHttpServer server([&](const std::string& request) { return pages.respond(request); });
    const WatchSettings first = check(item(server.url("/page.html")));
    ASSERT_EQ(first.lastResult, static_cast<int>(CheckOutcome::Updated));
    const std::string key = HistoryStore::keyOf(first.compareFile);
    ASSERT_EQ(history.versions(key).size(), 1u);
    struct stat before {};
    ASSERT_EQ(::stat(first.compareFile.c_str(), &before), 0);

    clock.advance(60);
    const WatchSettings second = check(first);
    EXPECT_EQ(second.lastResult, static_cast<int>(CheckOutcome::NotUpdated)) << second.errorText;
    const auto requests = gets(server);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(headerOf(requests[0], "If-None-Match"), "");
    EXPECT_NE(headerOf(requests[1], "If-None-Match"), "");
    EXPECT_EQ(headerOf(requests[1], "If-Modified-Since"), ValidatingPages::kModified);
    EXPECT_EQ(test::TempFolder::readFile(second.compareFile), "<html>one</html>");
    struct stat after {};
    ASSERT_EQ(::stat(second.compareFile.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(history.versions(key).size(), 1u);

    // A change is still seen, and its validators replace the old ones.
    pages.setBody("<html>two</html>");
    const WatchSettings third = check(second);
    EXPECT_EQ(third.lastResult, static_cast<int>(CheckOutcome::Updated));
    EXPECT_EQ(test::TempFolder::readFile(third.compareFile), "<html>two</html>");
    EXPECT_EQ(check(third).lastResult, static_cast<int>(CheckOutcome::NotUpdated));
    EXPECT_EQ(history.versions(key).size(), 2u);
}

TEST_F(ConditionalCheckTest, AnEditOfTheAddressDropsTheValidators) {
    ValidatingPages pages;
    CountingHttpServer server([&](const std::string& request) { return pages.respond(request); });
    WatchSettings w = check(item(server.url("/page.html")));
    ASSERT_EQ(w.lastResult, static_cast<int>(CheckOutcome::Updated));
    w = check(w);
    w.targetUrl = server.url("/other.html");
    w = check(w);
    w.extraHeaders = "X-Token: 1";
    check(w);
    const auto requests = gets(server);
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_NE(headerOf(requests[1], "If-None-Match"), "");
    EXPECT_EQ(headerOf(requests[2], "If-None-Match"), "");
    EXPECT_EQ(headerOf(requests[2], "If-Modified-Since"), "");
    EXPECT_EQ(headerOf(requests[3], "If-None-Match"), "");
}

TEST_F(ConditionalCheckTest, NoValidatorsWithoutTheCopyTheyDescribe) {
    ValidatingPages pages;
    CountingHttpServer server([&](const std::string& request) { return pages.respond(request); });
    WatchSettings w = check(item(server.url("/page.html")));
    ASSERT_EQ(w.lastResult, static_cast<int>(CheckOutcome::Updated));
    w = check(w);
    ASSERT_EQ(w.lastResult, static_cast<int>(CheckOutcome::NotUpdated));
    std::remove(w.compareFile.c_str());
    const WatchSettings after = check(w);
    EXPECT_EQ(after.lastResult, static_cast<int>(CheckOutcome::Updated));
    const auto requests = gets(server);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(headerOf(requests[1], "If-None-Match"), "");
    EXPECT_EQ(headerOf(requests[2], "If-None-Match"), "");
    EXPECT_EQ(test::TempFolder::readFile(after.compareFile), "<html>one</html>");
}

class IdleChecker : public ItemChecker {
public:
    void setReceiver(CheckReceiver*) override {}
    void arm(const WatchSettings&) override {}
    void stop() override {}
    bool isBusy() const override { return false; }
    void setClosing() override {}
    void setIdle() override {}
};

TEST_F(ConditionalCheckTest, TheValidatorsGoWithTheItem) {
    ValidatingPages pages;
    CountingHttpServer server([&](const std::string& request) { return pages.respond(request); });
    const WatchSettings checked = check(item(server.url("/page.html")));
    const std::string file = home / ("validators/" + HistoryStore::keyOf(checked.compareFile));
    ASSERT_TRUE(std::filesystem::exists(file));
    IdleChecker idle;
    CWatchList list(idle, clock, nullptr, home.path());
    list.setHistory(&history);
    const WatchItemId id = list.define(checked, 0);
    ASSERT_TRUE(list.removeById(id));
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(ValidatorStore, DamagedOrForeignFilesAreIgnored) {
    test::TempFolder home;
    const ValidatorStore store(home.path());
    WatchSettings settings;
    settings.targetUrl = "http://example.test/";
    const std::string fingerprint = ValidatorStore::fingerprintOf(settings);
    ASSERT_FALSE(fingerprint.empty());
    store.save("copy.html", fingerprint, {"\"a\"", "Wed, 21 Oct 2015 07:28:00 GMT"});
    EXPECT_EQ(store.load("copy.html", fingerprint).etag, "\"a\"");
    struct stat info {};
    ASSERT_EQ(::stat((store.folder() + "/copy.html").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    settings.cookie = "session=2";
    EXPECT_TRUE(store.load("copy.html", ValidatorStore::fingerprintOf(settings)).empty());
    // Cut short, or holding a line break in a value: not sent.
    std::ofstream(store.folder() + "/copy.html") << "fingerprint " + fingerprint + "\netag \"a";
    EXPECT_TRUE(store.load("copy.html", fingerprint).empty());
    store.save("copy.html", fingerprint, {"\"a\"\r\nX-Evil: 1", ""});
    EXPECT_TRUE(store.load("copy.html", fingerprint).empty());
    EXPECT_TRUE(store.load("../copy.html", fingerprint).empty());
}

} // namespace
