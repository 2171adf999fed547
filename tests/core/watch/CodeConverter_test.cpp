#include "core/platform/CodeConverter.h"
#include "core/util/Cp932.h"

#include <gtest/gtest.h>
#include <unicode/ucnv.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace tw;

namespace {

const char* const kSample = "日本語のテキスト、カタカナとひらがな。東京都千代田区１２３　"
                            "ＡＢＣ全角英数、記号「」【】※〒→←↑↓○●◎□■△▲";

/// An independent encoding of UTF-8 text by ICU, to feed our decoders.
std::string icuEncode(const char* converterName, const std::string& utf8) {
    UErrorCode status = U_ZERO_ERROR;
    std::string out(utf8.size() * 4 + 16, '\0');
    const int32_t n =
        ucnv_convert(converterName, "UTF-8", out.data(), static_cast<int32_t>(out.size()),
                     utf8.data(), static_cast<int32_t>(utf8.size()), &status);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

class CodeConverterTest : public ::testing::Test {
protected:
    std::string convert(int from, int to, const std::string& in) {
        std::string out = "stale";
        EXPECT_TRUE(m_converter->convert(from, to, in, out));
        return out;
    }

    std::unique_ptr<CodeConverter> m_converter = createCodeConverter();

    void SetUp() override { ASSERT_NE(m_converter, nullptr); }
};

} // namespace

TEST_F(CodeConverterTest, JisPagesBecome932) {
    // Hand-written ISO-2022-JP: hiragana, then ASCII again.
    EXPECT_EQ(convert(50220, 932, "\x1b$B$3$s$K$A$O\x1b(B abc\r\n"), jp("こんにちは") + " abc\r\n");
    // JIS X 0208-1978 designation, JIS-Roman, NEC row 13.
    EXPECT_EQ(convert(50220, 932, "\x1b$@F|K\\\x1b(Jx\x1b$B-!-\"\x1b(B"),
              jp("日本") + "x" + jp("①②"));
    // JIS X 0213 plane 1 carries JIS X 0208 unchanged.
    EXPECT_EQ(convert(50220, 932, "\x1b$(QF|\x1b(B"), jp("日"));
    // Half-width katakana by ESC ( I, by SO/SI and as 8-bit bytes.
    EXPECT_EQ(convert(50220, 932,
                      "\x1b(I1\x1b(Ba\x0e\x32\x0f"
                      "b\xb3"),
              "\xb1"
              "a\xb2"
              "b\xb3");
    // A line break inside the kanji set stays a line break.
    EXPECT_EQ(convert(50220, 932, "\x1b$B$\"\n$$\x1b(B"), jp("あ") + "\n" + jp("い"));
    // A longer text encoded by another implementation.
    EXPECT_EQ(convert(50220, 932, icuEncode("ISO-2022-JP", kSample)), jp(kSample));
}

TEST_F(CodeConverterTest, BrokenJisIsSubstitutedNotRefused) {
    // A lone escape, an odd byte at the end of a kanji run and a JIS X 0212 character that 932
    // lacks each give one "?", and the text around them survives.
    EXPECT_EQ(convert(50220, 932, "a\x1bZb"), "a?Zb");
    EXPECT_EQ(convert(50220, 932, "\x1b$B$\"$"), jp("あ") + "?");
    EXPECT_EQ(convert(50220, 932, "\x1b$(D0!\x1b(Bz"), "?z");
    EXPECT_EQ(convert(50220, 932, "\x1b$(D\"C\x1b(B"), "\xfa\x55"); // broken bar
}

TEST_F(CodeConverterTest, EucJpPagesBecome932) {
    EXPECT_EQ(convert(51932, 932, "\xc6\xfc\xcb\xdc<b>\x8e\xb1\xad\xa1"),
              jp("日本") + "<b>\xb1" + jp("①"));
    EXPECT_EQ(convert(51932, 932, icuEncode("EUC-JP", kSample)), jp(kSample));
    // Undecodable bytes and a truncated character at the end.
    EXPECT_EQ(convert(51932, 932,
                      "a\x80\xff"
                      "b\xc6"),
              "a??b?");
    // JIS X 0212: one 932 has among its IBM extensions, one it lacks.
    EXPECT_EQ(convert(51932, 932, "\x8f\xa2\xc3\x8f\xb0\xa1"), "\xfa\x55?");
}

TEST_F(CodeConverterTest, Utf8PagesBecome932) {
    EXPECT_EQ(convert(65001, 932, kSample), jp(kSample));
    // A byte order mark is dropped; malformed bytes and characters 932 lacks become "?".
    EXPECT_EQ(convert(65001, 932,
                      "\xef\xbb\xbf"
                      "a\xff"
                      "b"),
              "a?b");
    EXPECT_EQ(convert(65001, 932, "x\xf0\x9f\x98\x80y"), "x?y");
    // Characters of the JIS tables that Windows maps to their full-width twins.
    EXPECT_EQ(convert(65001, 932, "\xe3\x80\x9c\xe2\x88\x92\xc2\xa2\xc2\xac"),
              "\x81\x60\x81\x7c\x81\x91\x81\xca");
}

TEST_F(CodeConverterTest, MailTextInto50220) {
    EXPECT_EQ(convert(932, 50220, "\xb1"), "\x1b$B%\"\x1b(B");
    EXPECT_EQ(convert(932, 50220, jp("①")), "\x1b$B-!\x1b(B");
    // Voiced and semi-voiced marks are taken into the full-width character.
    EXPECT_EQ(convert(932, 50220, "\xb6\xde\xca\xdf\xb3\xde"), "\x1b$B%,%Q%t\x1b(B");
    // A mark that cannot combine stays a full-width mark.
    EXPECT_EQ(convert(932, 50220, "\xb1\xde"), "\x1b$B%\"!+\x1b(B");
    // Plain ASCII needs no escape at all; every line ends in ASCII.
    EXPECT_EQ(convert(932, 50220, "abc"), "abc");
    EXPECT_EQ(convert(932, 50220, jp("あ") + "\r\n" + jp("い")),
              "\x1b$B$\"\x1b(B\r\n\x1b$B$$\x1b(B");
    // IBM extensions go out as their NEC twins; the user-defined area has no JIS form.
    EXPECT_EQ(convert(932, 50220, "\xfa\x4a\xfa\x40"), "\x1b$B-5|q\x1b(B");
    EXPECT_EQ(convert(932, 50220, jp("あ") + "\xf0\x40z"), "\x1b$B$\"\x1b(B?z");
    // A lead byte at the very end.
    EXPECT_EQ(convert(932, 50220, jp("あ") + "\x82"), "\x1b$B$\"\x1b(B?");
}

TEST_F(CodeConverterTest, RoundTripsThrough932) {
    const std::string text = jp(kSample) + jp("①Ⅳ㈱") + "\r\nascii";
    EXPECT_EQ(convert(50220, 932, convert(932, 50220, text)), text);
    EXPECT_EQ(convert(51932, 932, convert(932, 51932, text)), text);
    EXPECT_EQ(convert(65001, 932, convert(932, 65001, text)), text);
    EXPECT_EQ(convert(932, 65001, jp(kSample)), kSample);
    // Between two foreign pages the text passes through 932.
    EXPECT_EQ(convert(51932, 50220, icuEncode("EUC-JP", "日本")), "\x1b$BF|K\\\x1b(B");
}

TEST_F(CodeConverterTest, UnknownCodePagesAreRefused) {
    std::string out;
    EXPECT_FALSE(m_converter->convert(1252, 932, "a", out));
    EXPECT_FALSE(m_converter->convert(932, 20932, "a", out));
}

TEST_F(CodeConverterTest, OneConverterServesSeveralThreads) {
    const std::string euc = icuEncode("EUC-JP", kSample);
    const std::string expected = jp(kSample);
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::string fromEuc;
                std::string fromUtf8;
                std::string mail;
                m_converter->convert(51932, 932, euc, fromEuc);
                m_converter->convert(65001, 932, kSample, fromUtf8);
                m_converter->convert(932, 50220, "\xfa\x40", mail);
                if (fromEuc != expected || fromUtf8 != expected || mail != "\x1b$B|q\x1b(B") {
                    ++failures[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
