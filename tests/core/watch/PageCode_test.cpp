// Which code a page is read in: its byte order mark, its own declaration, the Content-Type it
// was served with, and only then its bytes.

#include "core/platform/CodeConverter.h"
#include "core/platform/CodeGuess.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CheckArea.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

using namespace tw;
namespace fs = std::filesystem;

namespace {

/// An ordinary Japanese page: several sentences with kana and kanji, and a price behind an
/// anchor keyword. No charset anywhere in it.
const std::string kPage =
    "<html><head><title>今週のお知らせ</title></head><body>\n"
    "<p>本日は朝から良い天気でした。駅前の小さな本屋で、新しい料理の本を買いました。"
    "帰りに喫茶店へ寄って、温かいコーヒーを飲みながら少しだけ読んでみました。"
    "野菜をたくさん使った献立が多く、家族にも喜ばれそうです。"
    "来週は友人を招いて、この本の料理を作ってみるつもりです。</p>\n"
    "<p>本日の価格：1,980円（税込）</p>\n</body></html>\n";

class PageCodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(m_converter, nullptr);
        std::string pattern = (fs::temp_directory_path() / "tw-pagecode-XXXXXX").string();
        m_folder = ::mkdtemp(pattern.data());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }

    /// kPage in `codePage`, made from its 932 form.
    std::string encoded(int codePage, const std::string& utf8 = kPage) {
        std::string out;
        EXPECT_TRUE(m_converter->convert(932, codePage, toCp932(utf8), out));
        return out;
    }
    std::string file(const std::string& bytes) {
        const std::string path = m_folder + "/page" + std::to_string(++m_files) + ".html";
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::unique_ptr<CodeConverter> m_converter = createCodeConverter();
    std::string m_folder;
    int m_files = 0;
};

} // namespace

TEST_F(PageCodeTest, UndeclaredJapanesePagesAreReadInTheirCodeWithAndWithoutAHeader) {
    const struct {
        int codePage;
        const char* charset;
    } codes[] = {{932, "Shift_JIS"}, {51932, "EUC-JP"}, {65001, "UTF-8"}, {50220, "ISO-2022-JP"}};
    for (const auto& code : codes) {
        const std::string bytes = encoded(code.codePage);
        ASSERT_EQ(bytes.find("charset"), std::string::npos);
        for (const std::string& contentType :
             {std::string("text/html; charset=") + code.charset, std::string("text/html")}) {
            SCOPED_TRACE(contentType);
            const std::string path = file(bytes);
            EXPECT_EQ(loadConverted(m_converter.get(), path, 0, contentType), jp(kPage));

            // The checker finds its anchor keyword and stores the area behind it.
            WatchSettings item;
            item.anchorKeyword = jp("本日の価格：");
            item.anchorOccurrence = 1;
            item.areaSize = 7;
            EXPECT_EQ(compare(item, path, m_converter.get(), m_folder + "/none", contentType), 1);
            EXPECT_EQ(item.areaText, jp("1,980円"));
        }
    }
}

TEST_F(PageCodeTest, APageThatDeclaresItsCodeKeepsItsResult) {
    const std::string euc = encoded(51932);
    // The page's own word wins over the header, as it always has.
    const std::string declaredSjis = "<meta charset=Shift_JIS>" + jp(kPage);
    EXPECT_EQ(loadConverted(m_converter.get(), file(declaredSjis), 0, "text/html; charset=EUC-JP"),
              declaredSjis);
    const std::string declaredEuc = "<meta charset=\"euc-jp\">" + euc;
    EXPECT_EQ(loadConverted(m_converter.get(), file(declaredEuc), 0, "text/html; charset=UTF-8"),
              "<meta charset=\"euc-jp\">" + jp(kPage));
    // A declared code this program does not convert has always meant the bytes as they are.
    const std::string latin = "<meta charset=iso-8859-1>" + euc;
    EXPECT_EQ(loadConverted(m_converter.get(), file(latin), 0, "text/html; charset=EUC-JP"), latin);
    EXPECT_EQ(pageCodePage(latin), 932);
    // A page that only mentions the word declares nothing.
    EXPECT_EQ(declaredCodePage(euc + "<p>charset について</p>"), 0);
    // A chosen code is not second-guessed.
    EXPECT_EQ(loadConverted(m_converter.get(), file(euc), 4, "text/html; charset=EUC-JP"), euc);
}

TEST_F(PageCodeTest, TheOrderIsByteOrderMarkDeclarationHeaderBytes) {
    const std::string utf8Bom = "\xEF\xBB\xBF" + kPage;
    EXPECT_EQ(pageCodePage(utf8Bom, "text/html; charset=Shift_JIS"), 65001);
    EXPECT_EQ(pageCodePage("<meta charset=utf-8>" + encoded(51932), "text/html; charset=EUC-JP"),
              65001);
    // The header decides a page of ASCII only, which the bytes could not.
    EXPECT_EQ(pageCodePage("<p>plain</p>", "text/html; charset=EUC-JP"), 51932);
    EXPECT_EQ(pageCodePage("<p>plain</p>", ""), 932);
    // A header naming a code this program does not convert (a server's default) says nothing.
    EXPECT_EQ(pageCodePage(encoded(51932), "text/html; charset=ISO-8859-1"), 51932);
    EXPECT_EQ(pageCodePage(kPage, "text/html; charset=windows-1252"), 65001);
}

TEST(ContentTypeCodePage, ReadsTheCharsetParameter) {
    EXPECT_EQ(contentTypeCodePage("text/html; charset=EUC-JP"), 51932);
    EXPECT_EQ(contentTypeCodePage("text/html;charset=\"Shift_JIS\""), 932);
    EXPECT_EQ(contentTypeCodePage("text/html; Charset = x-sjis ; q=1"), 932);
    EXPECT_EQ(contentTypeCodePage("text/html; format=flowed; charset=utf8"), 65001);
    EXPECT_EQ(contentTypeCodePage("text/html; charset=iso-2022-jp"), 50220);
    EXPECT_EQ(contentTypeCodePage("text/html; charset=windows-31j"), 932);
    EXPECT_EQ(contentTypeCodePage("text/html; charset=ISO-8859-1"), 0);
    EXPECT_EQ(contentTypeCodePage("text/html"), 0);
    EXPECT_EQ(contentTypeCodePage("text/html; mycharset=EUC-JP"), 0);
    EXPECT_EQ(contentTypeCodePage(""), 0);
}

TEST_F(PageCodeTest, TheBytesAloneTellTheJapaneseCodes) {
    EXPECT_EQ(guessCodePage(encoded(932)), 932);
    EXPECT_EQ(guessCodePage(encoded(51932)), 51932);
    EXPECT_EQ(guessCodePage(kPage), 65001);
    EXPECT_EQ(guessCodePage(encoded(50220)), 50220);
    EXPECT_EQ(guessCodePage("<p>ASCII only</p>"), 932);
    EXPECT_EQ(guessCodePage(""), 932);
    // Kana-only EUC-JP text is also valid Shift_JIS (half-width katakana): the statistics of
    // Japanese text decide.
    const std::string hiragana =
        encoded(51932, "ひらがなだけのぶんしょうです。とてもみじかいです。");
    EXPECT_EQ(guessCodePage(hiragana), 51932);
    // A stray byte does not make a page unreadable: the code it fits best otherwise wins.
    EXPECT_EQ(guessCodePage(kPage + "\xff"), 65001);
    EXPECT_EQ(guessCodePage(encoded(51932) + "\x80"), 51932);
    EXPECT_EQ(guessCodePage(encoded(932) + "\xff"), 932);
}

TEST(CodeGuess, Utf8IsCheckedStrictly) {
    EXPECT_TRUE(isUtf8(""));
    EXPECT_TRUE(isUtf8("日本語 text"));
    EXPECT_TRUE(isUtf8("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(isUtf8("\xC0\xAF"));         // overlong "/"
    EXPECT_FALSE(isUtf8("\xED\xA0\x80"));     // a surrogate
    EXPECT_FALSE(isUtf8("\xF4\x90\x80\x80")); // beyond U+10FFFF
    EXPECT_FALSE(isUtf8("\xE6\x97"));         // cut off
    EXPECT_FALSE(isUtf8("\x93\xfa\x96\x7b")); // Shift_JIS
}
