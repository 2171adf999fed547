#include "LinkTestSupport.h"

#include "core/links/CLinkList.h"
#include "core/util/Cp932.h"
#include "support/LocalNginx.h"
#include "support/ManualExecutor.h"
#include "support/MissingServer.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <memory>
#include <sys/time.h>

namespace tw::test {
namespace {

class RecordingReceiver : public LinkReceiver {
public:
    std::function<void(int, int)> onResult;
    std::vector<std::pair<int, int>> results;
    int done = 0;

    void linkResult(int index, int result) override {
        results.emplace_back(index, result);
        if (onResult) {
            onResult(index, result);
        }
    }
    void linkDone() override { ++done; }
};

/// Links of one folder against nginx serving another.
class LinkRefresh : public ::testing::Test {
protected:
    void SetUp() override {
        TW_REQUIRE_SERVER(LocalNginx::available(), "nginx");
        std::filesystem::create_directory(m_work / "www");
        m_nginx = std::make_unique<LocalNginx>(m_work.path(), m_work / "www");
        ASSERT_TRUE(m_nginx->accepts()) << "nginx did not start";
    }

    /// Puts `bytes` on the server, modified at `when` (seconds since 1970).
    void serve(const std::string& name, const std::string& bytes, long when) {
        const std::string path = m_work / ("www/" + name);
        TempFolder::writeFile(path, bytes);
        const timeval times[2] = {{when, 0}, {when, 0}};
        ::utimes(path.c_str(), times);
    }
    void loadWith(CLinkList& links, const std::vector<FetchSettings>& records) {
        ASSERT_EQ(links.load(m_links.path(), false), 1);
        links.replaceAll(records);
    }
    std::string local(const std::string& name) const {
        return TempFolder::readFile(m_links / name);
    }
    bool temporaryLeft() const {
        for (const auto& entry : std::filesystem::directory_iterator(m_links.path())) {
            if (entry.path().filename().string().rfind("temp", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    TempFolder m_work;
    TempFolder m_links;
    std::unique_ptr<LocalNginx> m_nginx;
};

TEST_F(LinkRefresh, ANewTimeGivesANumberedCopyAndTheSameTimeLeavesTheLink) {
    serve("a.zip", "one", 1700000000);
    CLinkList links;
    loadWith(links, {makeLink("a.zip", m_nginx->url("a.zip"))});

    EXPECT_EQ(links.checkLink(0), kLinkUpdated);
    EXPECT_EQ(local("a.zip"), "one");
    const FetchSettings first = links.link(0);
    EXPECT_EQ(first.destFile, "a.zip");
    EXPECT_GT(first.lastModified, 0);
    EXPECT_GT(first.loadValue, 0);

    EXPECT_EQ(links.checkLink(0), kLinkUnchanged);
    EXPECT_EQ(links.link(0), first);

    serve("a.zip", "two", 1700000100);
    EXPECT_EQ(links.checkLink(0), kLinkUpdated);
    EXPECT_EQ(links.link(0).destFile, "a_1.zip");
    EXPECT_EQ(local("a.zip"), "one");
    EXPECT_EQ(local("a_1.zip"), "two");
    // The next copy looks for a free name from a.zip again.
    serve("a.zip", "three", 1700000200);
    EXPECT_EQ(links.checkLink(0), kLinkUpdated);
    EXPECT_EQ(links.link(0).destFile, "a_2.zip");
    EXPECT_EQ(local("a_2.zip"), "three");
    EXPECT_FALSE(temporaryLeft());

    EXPECT_EQ(links.checkLink(1), kLinkOutOfRange);
    std::filesystem::remove(m_work / "www/a.zip");
    const FetchSettings before = links.link(0);
    EXPECT_EQ(links.checkLink(0), kLinkError) << "the server answers 404";
    EXPECT_EQ(links.link(0), before);
}

TEST_F(LinkRefresh, WithTheDownloadOptionTheContentDecidesAndTheFileIsReplaced) {
    serve("b.zip", "same", 1700000000);
    TempFolder::writeFile(m_links / "b.zip", "same");
    CLinkList links;
    links.setDownloadOption(1);
    loadWith(links, {makeLink("b.zip", m_nginx->url("b.zip"))});
    EXPECT_EQ(links.checkLink(0), kLinkUnchanged) << "a new time, the same bytes";
    serve("b.zip", "changed", 1700000100);
    EXPECT_EQ(links.checkLink(0), kLinkUpdated);
    EXPECT_EQ(links.link(0).destFile, "b.zip");
    EXPECT_EQ(local("b.zip"), "changed");
    EXPECT_FALSE(std::filesystem::exists(m_links / "b_1.zip"));
    EXPECT_FALSE(temporaryLeft());
}

// A download that cannot be put in place is an error, not an update with a missing file.
TEST_F(LinkRefresh, ADownloadThatCannotBePutInPlaceIsAnErrorAndLeavesNoTemporaryFile) {
    serve("c.zip", "new", 1700000000);
    std::filesystem::create_directory(m_links / "c.zip");
    TempFolder::writeFile(m_links / "c.zip/inside", "x");
    CLinkList links;
    links.setDownloadOption(1);
    loadWith(links, {makeLink("c.zip", m_nginx->url("c.zip"))});
    EXPECT_EQ(links.checkLink(0), kLinkError);
    EXPECT_EQ(links.link(0).loadValue, 0);
    EXPECT_FALSE(temporaryLeft());
}

/// A page that holds a link record of the server's own after enough bytes to outgrow the list.
std::string injectingPage() {
    return "<html>" + std::string(4096, 'x') + "</html>\r\n" +
           onDisk(makeLink("", "http://127.0.0.1:9/payload", "INJECTED"));
}

// Links named after the list and its locks, downloaded over them by a server's page: with the
// download option a file is overwritten when its content differs.
TEST_F(LinkRefresh, AServerPageNeverLandsOnTheListOrItsLocks) {
    serve("evil.html", injectingPage(), 1700000000);
    const std::string evil = m_nginx->url("evil.html");
    {
        CLinkList writer;
        loadWith(writer, {makeLink("brl.hlk", evil), makeLink("dialog.lock", evil),
                          makeLink("page.html", evil)});
        ASSERT_EQ(writer.save(), 0);
    }
    const std::string list = local("brl.hlk");
    CLinkList links;
    links.setDownloadOption(1);
    ASSERT_EQ(links.load(m_links.path(), false), 1);
    EXPECT_EQ(links.checkLink(0), kLinkError);
    EXPECT_EQ(links.checkLink(1), kLinkError);
    EXPECT_EQ(links.checkLink(2), kLinkUpdated);
    EXPECT_EQ(local("brl.hlk"), list);
    EXPECT_EQ(local("dialog.lock").rfind("Tarnwick[", 0), 0u);
    ASSERT_EQ(links.save(), 0);
    EXPECT_EQ(addressesIn(m_links.path()), (std::vector<std::string>{evil, evil, evil}));
    EXPECT_EQ(local("brl.hlk").find("INJECTED"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(m_links / "dialog.lock"));
    EXPECT_FALSE(temporaryLeft());
}

// A numbered copy's stripped name may be one of the folder's own files; then the next free
// number is taken, and no list or lock comes into being.
TEST_F(LinkRefresh, ANumberedCopyNeverTakesTheNameOfTheListOrALock) {
    serve("evil.html", injectingPage(), 1700000000);
    const std::string evil = m_nginx->url("evil.html");
    CLinkList links;
    loadWith(links, {makeLink("brl_1.hlk", evil), makeLink("append_1.lock", evil),
                     makeLink("tmp_.hlk", evil)});
    for (int index = 0; index < 3; ++index) {
        EXPECT_EQ(links.checkLink(index), kLinkUpdated) << index;
    }
    EXPECT_EQ(links.link(0).destFile, "brl_1.hlk");
    EXPECT_EQ(links.link(1).destFile, "append_1.lock");
    EXPECT_EQ(links.link(2).destFile, "tmp_.hlk");
    EXPECT_FALSE(std::filesystem::exists(m_links / "brl.hlk"));
    EXPECT_FALSE(std::filesystem::exists(m_links / "append.lock"));
    ASSERT_EQ(links.save(), 0);
    EXPECT_EQ(addressesIn(m_links.path()), (std::vector<std::string>{evil, evil, evil}));
    EXPECT_EQ(local("brl.hlk").find("INJECTED"), std::string::npos);
}

// Another user of a shared folder plants a link at the temporary name: the download is made in a
// new file of its own instead and never written through the link.
TEST_F(LinkRefresh, ADownloadNeverGoesThroughALinkAtTheTemporaryName) {
    serve("a.zip", "the page", 1700000000);
    TempFolder::writeFile(m_work / "victim", "untouched");
    ASSERT_EQ(::symlink((m_work / "victim").c_str(), (m_links / "temp.tmp").c_str()), 0);
    CLinkList links;
    loadWith(links, {makeLink("a.zip", m_nginx->url("a.zip"))});
    EXPECT_EQ(links.checkLink(0), kLinkUpdated);
    EXPECT_EQ(local("a.zip"), "the page");
    EXPECT_EQ(TempFolder::readFile(m_work / "victim"), "untouched");
    EXPECT_TRUE(std::filesystem::is_symlink(m_links / "temp.tmp"));
    struct stat status {};
    ASSERT_EQ(::stat((m_links / "a.zip").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

// The file of a link with a Japanese name gets its UTF-8 name on disk, in a folder named in
// Japanese as well.
TEST_F(LinkRefresh, AJapaneseNameIsWrittenInUtf8) {
    serve("p.html", "price", 1700000000);
    std::filesystem::create_directory(m_links / "リンク");
    const std::string folder = m_links.path() + "/" + jp("リンク");
    CLinkList links;
    ASSERT_EQ(links.load(folder, false), 1);
    links.replaceAll({makeLink(jp("価格.html"), m_nginx->url("p.html"))});
    EXPECT_EQ(links.checkLink(0), kLinkUpdated);
    EXPECT_EQ(links.link(0).destFile, jp("価格.html"));
    EXPECT_EQ(local("リンク/価格.html"), "price");
    serve("p.html", "price 2", 1700000100);
    EXPECT_EQ(links.checkLink(0), kLinkUpdated);
    EXPECT_EQ(links.link(0).destFile, jp("価格_1.html"));
    EXPECT_EQ(local("リンク/価格_1.html"), "price 2");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_links / "リンク")) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dialog.lock", "価格.html", "価格_1.html"}));
}

TEST_F(LinkRefresh, TheWorkerShowsEachRowBeforeItGoesOnAndEndsWithDone) {
    serve("a.zip", "one", 1700000000);
    serve("b.zip", "two", 1700000000);
    CLinkList links;
    loadWith(links,
             {makeLink("a.zip", m_nginx->url("a.zip")), makeLink("b.zip", m_nginx->url("b.zip"))});
    ManualExecutor executor;
    RecordingReceiver receiver;
    receiver.onResult = [&](int index, int) {
        // The refreshed record is in the list, and the next link is not begun.
        EXPECT_GT(links.link(index).loadValue, 0);
        EXPECT_FALSE(links.isIdle());
        EXPECT_EQ(links.link(1).loadValue, 0);
    };
    ASSERT_TRUE(links.startWorker(executor, receiver));
    EXPECT_FALSE(links.startWorker(executor, receiver)) << "one worker at a time";
    ASSERT_TRUE(executor.runNext());
    receiver.onResult = nullptr;
    ASSERT_TRUE(executor.runNext());
    ASSERT_TRUE(executor.runNext());
    links.waitIdle();
    EXPECT_TRUE(links.isIdle());
    EXPECT_EQ(receiver.results,
              (std::vector<std::pair<int, int>>{{0, kLinkUpdated}, {1, kLinkUpdated}}));
    EXPECT_EQ(receiver.done, 1);

    // A double-click refreshes one link on the worker as well.
    ASSERT_TRUE(links.startWorker(executor, receiver, 1));
    ASSERT_TRUE(executor.runNext());
    ASSERT_TRUE(executor.runNext());
    links.waitIdle();
    EXPECT_EQ(receiver.results.back(), std::make_pair(1, int(kLinkUnchanged)));
    EXPECT_EQ(receiver.results.size(), 3u);
    EXPECT_EQ(receiver.done, 2);
}

// Links whose names leave the folder fail at once, without a server. At shutdown the owner
// closes its executor and joins: a refused send must end the worker, not make it wait.
TEST(LinkWorker, StopsAfterTheLinkInHandAndEndsWhenTheOwnerCloses) {
    TempFolder dir;
    auto links = std::make_unique<CLinkList>();
    ASSERT_EQ(links->load(dir.path(), false), 1);
    ManualExecutor executor;
    RecordingReceiver receiver;
    ASSERT_TRUE(links->startWorker(executor, receiver));
    ASSERT_TRUE(executor.runNext());
    links->waitIdle();
    EXPECT_EQ(receiver.done, 1) << "an empty list is done at once";

    links->replaceAll(std::vector<FetchSettings>(3, makeLink("..", "http://127.0.0.1:1/")));
    receiver.onResult = [&](int, int) { links->stopWorker(); };
    ASSERT_TRUE(links->startWorker(executor, receiver));
    ASSERT_TRUE(executor.runNext());
    ASSERT_TRUE(executor.runNext());
    links->waitIdle();
    EXPECT_EQ(receiver.results, (std::vector<std::pair<int, int>>{{0, kLinkError}}));
    EXPECT_EQ(receiver.done, 2);

    receiver.onResult = nullptr;
    ASSERT_TRUE(links->startWorker(executor, receiver));
    ASSERT_TRUE(executor.runNext());
    executor.close();
    links->waitIdle();
    EXPECT_TRUE(links->isIdle());
    EXPECT_EQ(receiver.results.size(), 2u);
    EXPECT_EQ(receiver.done, 2);
    links.reset();
    EXPECT_FALSE(std::filesystem::exists(dir / "dialog.lock"));
}

} // namespace
} // namespace tw::test
