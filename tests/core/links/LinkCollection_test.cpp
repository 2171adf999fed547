#include "LinkTestSupport.h"

#include "core/links/LinkCollection.h"
#include "core/links/LinkListFile.h"
#include "core/links/LinkRecords.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tw::test {
namespace {

// The list file reads into records and writes a collection without the class that joins them.
TEST(LinkParts, TheListFileReadsRecordsAndSavesACollection) {
    TempFolder dir;
    const std::string original =
        onDisk(makeLink("C:\\dl\\a.zip", "a")) + onDisk(makeLink("b", "b"));
    TempFolder::writeFile(dir / "brl.hlk", original);
    FakePrompter prompter;
    LinkListFile file(&prompter);
    ASSERT_EQ(file.lockFolder(dir.path(), false), 1);
    LinkRecords records;
    ASSERT_EQ(file.readList(records), 1);
    EXPECT_TRUE(file.isLoaded());
    EXPECT_FALSE(file.holdsLock(LinkListFile::LockKind::Append));
    EXPECT_TRUE(file.holdsLock(LinkListFile::LockKind::Dialog));

    LinkCollection links;
    links.assign(std::move(records));
    EXPECT_FALSE(links.isDirty());
    EXPECT_EQ(links.fileName(0), "a.zip");
    EXPECT_EQ(file.linkPath(links.fileName(0)), dir / "a.zip");
    EXPECT_EQ(file.linkPath("brl.hlk"), "");
    std::string text;
    ASSERT_TRUE(links.appendText(0, text));
    EXPECT_EQ(text, onDisk(makeLink("C:\\dl\\a.zip", "a"))) << "an untouched record as read";

    links.remove(1);
    ASSERT_TRUE(links.isDirty());
    ASSERT_EQ(file.save(links), 0);
    EXPECT_FALSE(links.isDirty());
    EXPECT_FALSE(file.holdsLock(LinkListFile::LockKind::Dialog));
    EXPECT_EQ(TempFolder::readFile(dir / "brl.hlk"), onDisk(makeLink("C:\\dl\\a.zip", "a")));
    EXPECT_TRUE(prompter.messages().empty());
}

// The update worker replaces the link it refreshed while the owner's thread reads the rows.
TEST(LinkParts, ReadersSeeEachLinkWholeWhileTheWorkerReplacesIt) {
    LinkCollection links;
    std::vector<FetchSettings> records;
    for (int i = 0; i < 50; ++i) {
        records.push_back(makeLink("old" + std::to_string(i), "http://old/"));
    }
    links.replaceAll(records);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int round = 0; round < 20; ++round) {
            for (int i = 0; i < 50; ++i) {
                const bool even = round % 2 == 0;
                links.replace(i, makeLink((even ? "new" : "old") + std::to_string(i),
                                          even ? "http://new/" : "http://old/"));
            }
        }
        done = true;
    });
    int torn = 0;
    while (!done) {
        for (int i = 0; i < links.count(); ++i) {
            const FetchSettings link = links.link(i);
            const std::string kind = link.destFile.substr(0, 3);
            if (link.targetUrl != "http://" + kind + "/" ||
                links.text(i, LinkCollection::Column::File).empty()) {
                ++torn;
            }
        }
    }
    worker.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(links.count(), 50);
    EXPECT_TRUE(links.isDirty());
}

} // namespace
} // namespace tw::test
