#include "core/history/TextDiff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

namespace tw {
namespace {

using Kind = DiffSpan::Kind;

std::string numbered(int count, const std::string& word = "行") {
    std::string text;
    for (int i = 1; i <= count; ++i) {
        text += word + std::to_string(i) + "\n";
    }
    return text;
}

TEST(TextDiff, APriceInsideAJapaneseSentenceIsTheOnlyChangedWord) {
    const std::string before =
        "お知らせ\n当店の特製弁当の価格は1,980円で、毎日数量限定で販売しています。\n以上\n";
    const std::string after =
        "お知らせ\n当店の特製弁当の価格は2,480円で、毎日数量限定で販売しています。\n以上\n";
    const TextDiff diff = diffTexts(before, after);
    ASSERT_EQ(diff.hunks.size(), 1U);
    ASSERT_EQ(diff.hunks[0].lines.size(), 3U);
    const DiffLine& line = diff.hunks[0].lines[1];
    EXPECT_EQ(line.kind, DiffLine::Kind::Changed);
    EXPECT_EQ(line.oldLine, 2U);
    EXPECT_EQ(line.newLine, 2U);
    ASSERT_EQ(line.spans.size(), 4U);
    EXPECT_EQ(line.spans[0].kind, Kind::Same);
    EXPECT_EQ(line.spans[0].text, "当店の特製弁当の価格は");
    EXPECT_EQ(line.spans[1].kind, Kind::Removed);
    EXPECT_EQ(line.spans[1].text, "1,980");
    EXPECT_EQ(line.spans[2].kind, Kind::Added);
    EXPECT_EQ(line.spans[2].text, "2,480");
    EXPECT_EQ(line.spans[3].kind, Kind::Same);
    EXPECT_EQ(line.spans[3].text, "円で、毎日数量限定で販売しています。");
}

TEST(TextDiff, AJapaneseWordChangeIsThatWordNotTheSentence) {
    const TextDiff diff =
        diffTexts("明日の天気は晴れのち曇りでしょう。\n", "明日の天気は雨のち曇りでしょう。\n");
    ASSERT_EQ(diff.hunks.size(), 1U);
    const DiffLine& line = diff.hunks[0].lines[0];
    ASSERT_EQ(line.kind, DiffLine::Kind::Changed);
    std::string removed;
    std::string added;
    for (const DiffSpan& span : line.spans) {
        if (span.kind == Kind::Removed) {
            removed += span.text;
        } else if (span.kind == Kind::Added) {
            added += span.text;
        }
    }
    EXPECT_EQ(removed, "晴れ");
    EXPECT_EQ(added, "雨");
}

TEST(TextDiff, UnlikeLinesAreRemovedAndAddedAndUnchangedStretchesFold) {
    std::string before = numbered(20);
    std::string after = before;
    const std::string tenth = "行10\n";
    after.replace(after.find(tenth), tenth.size(), "まったく別の内容\n");
    after += "追加\n";
    const TextDiff diff = diffTexts(before, after);
    ASSERT_EQ(diff.hunks.size(), 2U);
    EXPECT_EQ(diff.hunks[0].hiddenBefore, 6U);
    ASSERT_EQ(diff.hunks[0].lines.size(), 8U);
    EXPECT_EQ(diff.hunks[0].lines[3].kind, DiffLine::Kind::Removed);
    EXPECT_EQ(diff.hunks[0].lines[4].kind, DiffLine::Kind::Added);
    EXPECT_EQ(diff.hunks[0].lines[4].newLine, 10U);
    EXPECT_EQ(diff.hunks[1].hiddenBefore, 4U);
    EXPECT_EQ(diff.hiddenAfter, 0U);

    EXPECT_EQ(unifiedDiff(diff, "a", "b"), "--- a\n+++ b\n"
                                           "@@ -7,7 +7,7 @@\n 行7\n 行8\n 行9\n-行10\n"
                                           "+まったく別の内容\n 行11\n 行12\n 行13\n"
                                           "@@ -18,3 +18,4 @@\n 行18\n 行19\n 行20\n+追加\n");
    EXPECT_TRUE(diffTexts(before, before).identical());
    EXPECT_EQ(unifiedDiff(diffTexts(before, before), "a", "b"), "");
}

TEST(TextDiff, UnifiedDiffOfFirstVersionAndOfPairedLines) {
    EXPECT_EQ(unifiedDiff(diffTexts("", "一\n二\n"), "a", "b"),
              "--- a\n+++ b\n@@ -0,0 +1,2 @@\n+一\n+二\n");
    EXPECT_EQ(
        unifiedDiff(diffTexts("価格 100円\n価格 200円\n", "価格 150円\n価格 250円\n"), "a", "b"),
        "--- a\n+++ b\n@@ -1,2 +1,2 @@\n-価格 100円\n-価格 200円\n+価格 150円\n+価格 250円\n");
}

TEST(TextDiff, ATotalChangeOfLargeTextsIsTooLarge) {
    const TextDiff diff = diffTexts(numbered(100000, "旧"), numbered(100000, "新"));
    EXPECT_TRUE(diff.tooLarge);
    EXPECT_TRUE(diff.hunks.empty());
    EXPECT_FALSE(diff.identical());
}

TEST(TextDiff, ShuffledLinesGiveUpWithinTheBudget) {
    // The same lines in another order: no count of lines tells the distance, only the search.
    const std::string before = numbered(60000);
    std::vector<std::string> lines;
    for (int i = 1; i <= 60000; ++i) {
        lines.push_back("行" + std::to_string(i) + "\n");
    }
    std::shuffle(lines.begin(), lines.end(), std::mt19937(7));
    std::string after;
    for (const std::string& line : lines) {
        after += line;
    }
    EXPECT_TRUE(diffTexts(before, after).tooLarge);
}

TEST(TextDiff, TooManyLinesIsTooLarge) {
    DiffOptions options;
    options.maxLines = 1000;
    EXPECT_TRUE(diffTexts(numbered(1001), numbered(10), options).tooLarge);
    EXPECT_FALSE(diffTexts(numbered(1000), numbered(10), options).tooLarge);
}

TEST(TextDiff, WordsOffGivesWholeLines) {
    DiffOptions options;
    options.words = false;
    const TextDiff diff = diffTexts("価格は100円\n", "価格は200円\n", options);
    ASSERT_EQ(diff.hunks.size(), 1U);
    ASSERT_EQ(diff.hunks[0].lines.size(), 2U);
    EXPECT_EQ(diff.hunks[0].lines[0].kind, DiffLine::Kind::Removed);
    EXPECT_EQ(diff.hunks[0].lines[1].kind, DiffLine::Kind::Added);
}

} // namespace
} // namespace tw
