// The list keeps its records as text and reads single keys out of it for the rows: both must
// give exactly what the record reader gives for the same bytes.

#include "LinkTestSupport.h"

#include "core/links/LinkRecords.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace tw::test {
namespace {

/// What the record reader takes from `bytes`, record after record, as the list did before.
std::vector<FetchSettings> readerRecords(const std::string& bytes) {
    std::vector<FetchSettings> records;
    std::FILE* stream = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    FetchSettings record;
    while (stream && record.readRecord(stream) == 1) {
        record.destFile = CLinkList::cutFileName(record.destFile);
        records.push_back(record);
    }
    if (stream) {
        std::fclose(stream);
    }
    return records;
}

const std::vector<std::string>& awkwardLists() {
    static const std::vector<std::string> lists = {
        // CR LF and LF, a later key winning, blanks before a key and after a value.
        "\t//{{TOP\r\nDest: C:\\dl\\a.zip\r\nName: first\r\n  Name:  x \r\nTarg: t\n\tEND}}//\n",
        // A lone CR kept in a value, a line of blanks, a key too short, an unknown key.
        "\t//{{TOP\r\nName: a\rb\r\r\n   \r\nNam\r\nBrnd: 7\r\nDest: d\r\n\tEND}}//\r\n",
        // Lines before, between and after records; a block opened inside another.
        "junk\r\n\t//{{TOP\r\nDest: 1\r\n\t//{{TOP\r\nDest: 2\r\n\tEND}}//\r\n"
        "between\r\n\t//{{TOP\r\nTarg: 3\r\n\tEND}}//\r\nafter",
        // A frame line with a second CR is no frame line; a record cut off at the end.
        "\t//{{TOP\r\r\nDest: no\r\n\tEND}}//\r\n\t//{{TOP\r\nDest: yes\r\n\tEND}}//\r\n"
        "\t//{{TOP\r\nDest: cut\r\n",
        // A closing line without its line feed ends nothing.
        "\t//{{TOP\nDest: open\n\tEND}}//",
    };
    return lists;
}

TEST(LinkRecords, ReadingAListGivesWhatTheRecordReaderGives) {
    for (const std::string& bytes : awkwardLists()) {
        TempFolder dir;
        TempFolder::writeFile(dir / "brl.hlk", bytes);
        CLinkList links;
        ASSERT_EQ(links.load(dir.path(), false), 1);
        const std::vector<FetchSettings> expected = readerRecords(bytes);
        ASSERT_EQ(links.links(), expected) << bytes;
        for (int i = 0; i < links.count(); ++i) {
            const FetchSettings& record = expected[static_cast<std::size_t>(i)];
            EXPECT_EQ(links.text(i, CLinkList::Column::File), record.destFile) << bytes;
            EXPECT_EQ(links.text(i, CLinkList::Column::Name), record.name) << bytes;
            EXPECT_EQ(links.text(i, CLinkList::Column::Address), record.targetUrl) << bytes;
        }
    }
}

TEST(LinkRecords, ChangedRecordsAreWrittenByTheRecordWriterAndTheRestStaysAsRead) {
    LinkRecords records;
    const std::string sibling = "\t//{{TOP\r\nDest: a\r\nBrnd: 7\r\n\tEND}}//\r\n";
    records.appendText(sibling);
    records.append(makeLink("b", "B"));
    EXPECT_EQ(records.text(0), sibling);
    EXPECT_EQ(records.text(1), onDisk(makeLink("b", "B")));
    // Enough changes to make the buffer compact itself: the records stay what they were set to.
    FetchSettings changed = makeLink("c", "C");
    for (int round = 0; round < 20000; ++round) {
        changed.name = std::to_string(round);
        records.set(1, changed);
    }
    EXPECT_EQ(records.text(0), sibling);
    EXPECT_EQ(records.record(1), changed);
    EXPECT_LT(records.memoryBytes(), std::size_t{8} << 20);
    records.reorder({1, 0});
    EXPECT_EQ(records.text(1), sibling);
    records.erase(0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.value(0, "Dest: "), "a");
}

} // namespace
} // namespace tw::test
