#include "core/history/PageText.h"
#include "core/platform/CodeConverter.h"
#include "core/util/Cp932.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

TEST(PageTitle, IsTheHeadsTitleFoldedWithEntitiesDecoded) {
    EXPECT_EQ(pageTitle("<html><head><title>\n  価格 &amp;\t 在庫\r\n</title></head>"
                        "<body><title>not this</title></body></html>"),
              "価格 & 在庫");
    // Without a head, the parser makes one around a leading title.
    EXPECT_EQ(pageTitle("<title>T</title><p>x</p>"), "T");
    EXPECT_EQ(pageTitle("<p>no title</p>"), "");
    EXPECT_EQ(pageTitle("<title></title>"), "");
    EXPECT_EQ(pageTitle(""), "");
}

TEST(ReaderText, DropsScriptsAndStylesAndDecodesEntities) {
    const std::string html = "<html><head><title>価格表</title><style>p{color:red}</style>"
                             "<script>var x = '<p>秘密</p>';</script></head><body>"
                             "<noscript>スクリプトを有効に</noscript>"
                             "<template><p>型</p></template>"
                             "<p>A&amp;B&nbsp;&lt;本日&gt; &#x5186;</p></body></html>";
    EXPECT_EQ(readerText(html), "価格表\nA&B <本日> 円\n");
}

TEST(ReaderText, BlocksAndBreaksAreLinesAndBlanksFold) {
    const std::string html = "<body><div>  一行目\n   続き  </div><p>二<b>行</b>目<br>三行目</p>"
                             "<ul><li>a</li><li>b</li></ul><p>   </p>"
                             "<table><tr><td>品名</td><td>価格</td></tr><tr><td>茶</td><td>"
                             "100円</td></tr></table><span>インライン</span><span>続く</span>"
                             "<pre>x  y\nz</pre></body>";
    EXPECT_EQ(readerText(html), "一行目 続き\n二行目\n三行目\na\nb\n品名 価格\n茶 100円\n"
                                "インライン続く\nx y\nz\n");
}

TEST(ReaderText, DeepNestingDoesNotExhaustTheStack) {
    std::string html;
    for (int i = 0; i < 200000; ++i) {
        html += "<span>";
    }
    html += "奥";
    EXPECT_EQ(readerText(html), "奥\n");
}

TEST(HistoryText, EachCodeGivesTheSameUtf8) {
    const auto converter = createCodeConverter();
    ASSERT_NE(converter, nullptr);
    const std::string utf8 = "価格は1,980円です\nｶﾀｶﾅ①\n";
    const std::string sjis = jp(utf8);
    std::string euc;
    std::string jis;
    ASSERT_TRUE(converter->convert(932, 51932, sjis, euc));
    ASSERT_TRUE(converter->convert(932, 50220, sjis, jis));
    EXPECT_EQ(historyTextUtf8(converter.get(), sjis, 932), utf8);
    EXPECT_EQ(historyTextUtf8(converter.get(), utf8, 65001), utf8);
    EXPECT_EQ(historyTextUtf8(converter.get(), euc, 51932), utf8);
    // JIS has no half-width katakana: they come back full-width.
    EXPECT_EQ(historyTextUtf8(converter.get(), jis, 50220), "価格は1,980円です\nカタカナ①\n");
    EXPECT_EQ(historyTextUtf8(converter.get(), sjis, 0), "");
}

TEST(HistoryText, LargeTextsConvertWholeAcrossPieces) {
    const auto converter = createCodeConverter();
    ASSERT_NE(converter, nullptr);
    // Lines of double-byte characters whose second bytes look like ASCII, more than a piece long.
    std::string utf8;
    while (utf8.size() < (std::size_t{3} << 20)) {
        utf8 += "表示予定ソ能申\n";
    }
    EXPECT_EQ(historyTextUtf8(converter.get(), jp(utf8), 932), utf8);
    std::string jis;
    ASSERT_TRUE(converter->convert(932, 50220, jp(utf8), jis));
    EXPECT_EQ(historyTextUtf8(converter.get(), jis, 50220), utf8);
}

TEST(HistoryText, BrokenBytesAndZerosBecomeReplacementCharacters) {
    const auto converter = createCodeConverter();
    ASSERT_NE(converter, nullptr);
    const std::string broken("a\xff\xfe"
                             "b\0c",
                             6);
    EXPECT_EQ(historyTextUtf8(converter.get(), broken, 65001), "a\xEF\xBF\xBD\xEF\xBF\xBD"
                                                               "b\xEF\xBF\xBD"
                                                               "c");
}

} // namespace
} // namespace tw
