#include "core/history/VersionChange.h"
#include "core/platform/CodeConverter.h"
#include "core/util/Cp932.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tw {
namespace {

HistoryEntry page(std::string_view bytes, std::time_t when, int codePage) {
    HistoryEntry entry;
    entry.checkedAt = when;
    entry.bytes = bytes;
    entry.codePage = codePage;
    entry.contentType = "text/html";
    return entry;
}

std::string changedWords(const TextDiff& diff, DiffSpan::Kind kind) {
    std::string words;
    for (const DiffHunk& hunk : diff.hunks) {
        for (const DiffLine& line : hunk.lines) {
            for (const DiffSpan& span : line.spans) {
                if (span.kind == kind && line.kind == DiffLine::Kind::Changed) {
                    words += span.text + "|";
                }
            }
        }
    }
    return words;
}

class VersionChangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_converter = createCodeConverter();
        ASSERT_NE(m_converter, nullptr);
    }

    test::TempFolder m_data;
    HistoryStore m_store{m_data.path(), {}};
    std::unique_ptr<CodeConverter> m_converter;
};

TEST_F(VersionChangeTest, ShiftJisThenUtf8ShowsOnlyThePrice) {
    const std::string sjis =
        jp("<html><head><meta charset=\"Shift_JIS\"><title>店</title></head><body>"
           "<p>本日の弁当は1,980円で販売します。</p><script>var a=1;</script></body></html>");
    const std::string utf8 = "<html><head><meta charset=\"UTF-8\"><title>店</title></head><body>"
                             "<p>本日の弁当は2,480円で販売します。</p><script>var a=2;</script>"
                             "</body></html>";
    ASSERT_EQ(m_store.record("item.htm", page(sjis, 1000, 932)), "");
    ASSERT_EQ(m_store.record("item.htm", page(utf8, 2000, 65001)), "");
    const auto versions = m_store.versions("item.htm");
    ASSERT_EQ(versions.size(), 2U);

    const VersionChange change =
        changeBetween(m_store, "item.htm", &versions[0], versions[1], m_converter.get(), false);
    EXPECT_EQ(change.problem, "");
    EXPECT_FALSE(change.asSource);
    EXPECT_EQ(changedWords(change.diff, DiffSpan::Kind::Removed), "1,980|");
    EXPECT_EQ(changedWords(change.diff, DiffSpan::Kind::Added), "2,480|");

    // The source shows the script and the declared code changed too, still without mojibake.
    const VersionChange source =
        changeBetween(m_store, "item.htm", &versions[0], versions[1], m_converter.get(), true);
    EXPECT_EQ(source.problem, "");
    const std::string unified = unifiedDiff(source.diff, "a", "b");
    EXPECT_NE(unified.find("+<html><head><meta charset=\"UTF-8\"><title>店</title>"),
              std::string::npos)
        << unified;
    EXPECT_NE(unified.find("-<html><head><meta charset=\"Shift_JIS\"><title>店</title>"),
              std::string::npos)
        << unified;
}

TEST_F(VersionChangeTest, TheFirstVersionIsAllAdded) {
    ASSERT_EQ(m_store.record("item.htm", page("<p>一</p><p>二</p>", 1000, 65001)), "");
    const auto versions = m_store.versions("item.htm");
    ASSERT_EQ(versions.size(), 1U);
    const VersionChange change =
        changeBetween(m_store, "item.htm", nullptr, versions[0], m_converter.get(), false);
    EXPECT_EQ(unifiedDiff(change.diff, "a", "b"), "--- a\n+++ b\n@@ -0,0 +1,2 @@\n+一\n+二\n");
}

TEST_F(VersionChangeTest, NonTextDamagedAndTooLargeVersionsAreProblemsNotDiffs) {
    HistoryEntry image = page("\x89PNG\r\n\x1a\n", 1000, 0);
    image.contentType = "image/png";
    ASSERT_EQ(m_store.record("item.htm", image), "");
    ASSERT_EQ(m_store.record("item.htm", page("<p>一</p>", 2000, 65001)), "");
    std::string large;
    for (int i = 0; i < 30000; ++i) {
        large += "<p>行" + std::to_string(i) + "</p>";
    }
    ASSERT_EQ(m_store.record("item.htm", page(large, 3000, 65001)), "");
    auto versions = m_store.versions("item.htm");
    ASSERT_EQ(versions.size(), 3U);
    ASSERT_FALSE(versions[0].text);

    const VersionChange image1 =
        changeBetween(m_store, "item.htm", nullptr, versions[0], m_converter.get(), false);
    EXPECT_EQ(image1.problem,
              jp("このバージョンはテキストではないため、変更内容を表示できません。"));
    EXPECT_TRUE(image1.diff.hunks.empty());
    const VersionChange after =
        changeBetween(m_store, "item.htm", &versions[0], versions[1], m_converter.get(), false);
    EXPECT_NE(after.problem, "");

    DiffOptions bounds;
    bounds.maxEditLines = 100;
    const VersionChange tooLarge = changeBetween(m_store, "item.htm", &versions[1], versions[2],
                                                 m_converter.get(), false, bounds);
    EXPECT_EQ(tooLarge.problem, jp("差分が大きすぎます。"));
    EXPECT_TRUE(tooLarge.diff.tooLarge);

    // A version damaged on disk after it was listed.
    const std::string file = m_data.path() + "/history/item.htm/" + versions[1].fileName;
    std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).seekp(-3, std::ios::end)
        << "XYZ";
    const VersionChange damaged =
        changeBetween(m_store, "item.htm", &versions[1], versions[2], m_converter.get(), false);
    EXPECT_NE(damaged.problem, "");
    EXPECT_TRUE(damaged.diff.hunks.empty());
}

} // namespace
} // namespace tw
