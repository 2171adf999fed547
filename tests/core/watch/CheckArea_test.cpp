#include "core/watch/CheckArea.h"

#include "core/platform/CodeConverter.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace tw;
namespace fs = std::filesystem;

namespace {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "tw-checkarea-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string file(const std::string& name, const std::string& content) const {
        const std::string path = (m_path / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string path(const std::string& name) const { return (m_path / name).string(); }

private:
    fs::path m_path;
};

class CheckAreaTest : public ::testing::Test {
protected:
    TempFolder m_folder;
    std::unique_ptr<CodeConverter> m_converter = createCodeConverter();
};

} // namespace

TEST(DetectCodePage, EscapesWinOverCharset) {
    EXPECT_EQ(detectCodePage("<meta charset=utf-8>\x1b$B$\"\x1b(B"), 50220);
    EXPECT_EQ(detectCodePage("\x1b(B then \x1b$B"), 50220);
    // One kind of escape alone is no JIS page.
    EXPECT_EQ(detectCodePage("\x1b$B$\"<meta charset=utf-8>"), 65001);
    EXPECT_EQ(detectCodePage("\x1b(Bplain"), 932);
}

TEST(DetectCodePage, CharsetNamesAfterTheFirstCharset) {
    EXPECT_EQ(detectCodePage("<META content=\"text/html; CHARSET=EUC-JP\">"), 51932);
    EXPECT_EQ(detectCodePage("<meta charset=\"Utf-8\">"), 65001);
    // With no readable name after "charset", euc-jp anywhere after it wins over utf-8.
    EXPECT_EQ(detectCodePage("charset: see below, utf-8 ... euc-jp"), 51932);
    // Names before the first "charset" do not count.
    EXPECT_EQ(detectCodePage("utf-8 euc-jp <meta charset=shift_jis>"), 932);
    EXPECT_EQ(detectCodePage("no declaration, utf-8"), 932);
    EXPECT_EQ(detectCodePage(""), 932);
}

TEST(DetectCodePage, TheDeclaredValueDecides) {
    // Pages that mention another code's name in their text after a right declaration.
    EXPECT_EQ(detectCodePage("<meta http-equiv=\"Content-Type\" content=\"text/html; "
                             "charset=Shift_JIS\"><p>Set AddDefaultCharset euc-jp or utf-8</p>"),
              932);
    EXPECT_EQ(detectCodePage("<meta charset=\"UTF-8\"><p>Old pages were Shift_JIS or EUC-JP</p>"),
              65001);
    EXPECT_EQ(detectCodePage("<meta charset = 'x-euc-jp'> utf-8"), 51932);
    for (const char* name : {"sjis", "x-sjis", "Windows-31J", "CP932"}) {
        EXPECT_EQ(detectCodePage(std::string("charset=") + name + " euc-jp utf-8"), 932) << name;
    }
    // A "charset" whose value is no known name does not decide; a later declaration does.
    EXPECT_EQ(detectCodePage("a charset list: <meta charset=utf-8> euc-jp"), 65001);
    EXPECT_EQ(detectCodePage("<meta charset=iso-8859-1> utf-8"), 65001);
}

TEST_F(CheckAreaTest, ShiftJisPageMentioningEucJpFindsItsKeyword) {
    WatchSettings item;
    item.anchorKeyword = jp("価格：");
    item.areaSize = 4;
    const std::string page = "<meta http-equiv=\"Content-Type\" content=\"text/html; "
                             "charset=Shift_JIS\">" +
                             jp("価格：") + "1200<p>AddDefaultCharset EUC-JP</p>";
    EXPECT_EQ(compare(item, m_folder.file("temp.tmp", page), m_converter.get()), 1);
    EXPECT_EQ(item.areaText, "1200");
}

TEST_F(CheckAreaTest, LargePagesConvertAsOneWhole) {
    // Pages of several pieces convert to what converting them whole gives, in each code.
    ASSERT_NE(m_converter, nullptr);
    const std::string line = jp("日本語のページ、ｶﾀｶﾅも。") + " ascii text\n";
    std::string sjis;
    while (sjis.size() < 3 * 1024 * 1024) {
        sjis += line;
    }
    for (const int code : {50220, 51932, 65001}) {
        std::string page;
        ASSERT_TRUE(m_converter->convert(932, code, sjis, page));
        std::string whole;
        ASSERT_TRUE(m_converter->convert(code, 932, page, whole));
        const int japaneseCode = code == 50220 ? 1 : code == 51932 ? 2 : 3;
        const auto loaded =
            loadConverted(m_converter.get(), m_folder.file("big.html", page), japaneseCode);
        ASSERT_TRUE(loaded.has_value());
        EXPECT_TRUE(*loaded == whole) << "code " << code;
    }
}

TEST_F(CheckAreaTest, NonRegularFilesAreRefusedWithoutWaiting) {
    // A FIFO would block an ordinary open until a writer comes.
    const std::string fifo = m_folder.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string page = m_folder.file("temp.tmp", "page");
    EXPECT_EQ(compareFiles(page, fifo), -2);
    EXPECT_EQ(compareFiles(fifo, page), -1);
    EXPECT_EQ(loadConverted(m_converter.get(), fifo, 0), std::nullopt);
    WatchSettings item;
    EXPECT_EQ(compare(item, page, m_converter.get(), fifo), kReferenceNotRegular);
    EXPECT_EQ(compare(item, page, m_converter.get(), m_folder.path("")), kReferenceNotRegular);
    EXPECT_EQ(compare(item, page, m_converter.get(), m_folder.path("missing")), -2);
}

TEST_F(CheckAreaTest, PagesOverTheLimitAreNotReadForAnArea) {
    WatchSettings item;
    item.anchorKeyword = "price";
    item.areaSize = 4;
    item.areaText = "kept";
    const std::string big = m_folder.path("big.tmp");
    std::ofstream(big).put('x');
    fs::resize_file(big, static_cast<std::uintmax_t>(kMaxAreaPageBytes) + 1);
    EXPECT_EQ(compare(item, big, m_converter.get(), ""), kPageTooLarge);
    EXPECT_EQ(item.areaText, "kept");
    fs::resize_file(big, static_cast<std::uintmax_t>(kMaxAreaPageBytes));
    EXPECT_EQ(compare(item, big, m_converter.get(), ""), 1);
}

TEST_F(CheckAreaTest, CompareFilesResults) {
    const std::string hundred(100, 'x');
    std::string changed = hundred;
    changed[50] = 'y';
    const std::string a = m_folder.file("a", hundred);
    EXPECT_EQ(compareFiles(a, m_folder.file("same", hundred)), 0);
    EXPECT_EQ(compareFiles(a, m_folder.file("middle", changed)), 1);
    EXPECT_EQ(compareFiles(a, m_folder.file("last", hundred.substr(0, 99) + "z")), 1);
    EXPECT_EQ(compareFiles(a, m_folder.file("longer", hundred + "x")), 1);
    EXPECT_EQ(compareFiles(m_folder.file("empty1", ""), m_folder.file("empty2", "")), 0);
    EXPECT_EQ(compareFiles(m_folder.path("missing"), a), -1);
    EXPECT_EQ(compareFiles(a, m_folder.path("missing")), -2);
    EXPECT_EQ(compareFiles(m_folder.path("missing"), m_folder.path("missing2")), -1);
    EXPECT_EQ(compareFiles(a, ""), -2);
    // A folder is not a file that can be opened.
    EXPECT_EQ(compareFiles(a, m_folder.path("")), -2);
}

TEST_F(CheckAreaTest, CompareFilesAcrossBlocks) {
    // Several read blocks and a partial last one.
    std::string big(3 * 256 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7919 % 251);
    }
    const std::string a = m_folder.file("big-a", big);
    EXPECT_EQ(compareFiles(a, m_folder.file("big-b", big)), 0);
    std::string last = big;
    last.back() ^= 1;
    EXPECT_EQ(compareFiles(a, m_folder.file("big-last", last)), 1);
    std::string edge = big;
    edge[256 * 1024] ^= 1; // first byte of the second block
    EXPECT_EQ(compareFiles(a, m_folder.file("big-edge", edge)), 1);
}

TEST(ExtractArea, Examples) {
    EXPECT_EQ(extractArea("xxabyyabzzz", "ab", 2, 0, 3), "zzz");
    EXPECT_EQ(extractArea("xxabyyabzzz", "ab", 1, 0, 3), "yya");
    EXPECT_EQ(extractArea("xxabyyzzz", "ab", 2, 0, 3), "");
    // The offset pushes the start exactly to the end, or beyond it.
    EXPECT_EQ(extractArea("xxabyy", "ab", 1, 2, 3), "");
    EXPECT_EQ(extractArea("xxabyy", "ab", 1, 9, 3), "");
    // The text ends before the size is reached.
    EXPECT_EQ(extractArea("xxabyy", "ab", 1, 1, 10), "y");
    EXPECT_EQ(extractArea("xxabyy", "ab", 1, 0, 0), "");
    EXPECT_EQ(extractArea("xxabyy", "ab", 1, 0, -5), "");
    EXPECT_EQ(extractArea("xxabyy", "", 1, 0, 3), "");
    EXPECT_EQ(extractArea("", "ab", 1, 0, 3), "");
}

TEST(ExtractArea, OverlappingMatchesCount) {
    EXPECT_EQ(extractArea("aaaa-xyz", "aa", 1, 0, 4), "aa-x");
    EXPECT_EQ(extractArea("aaaa-xyz", "aa", 2, 0, 4), "a-xy");
    EXPECT_EQ(extractArea("aaaa-xyz", "aa", 3, 0, 4), "-xyz");
    EXPECT_EQ(extractArea("aaaa-xyz", "aa", 4, 0, 4), "");
    // An occurrence below 1 counts as the first.
    EXPECT_EQ(extractArea("aaaa-xyz", "aa", 0, 0, 4), "aa-x");
    EXPECT_EQ(extractArea("aaaa-xyz", "aa", -3, 0, 4), "aa-x");
}

TEST(ExtractArea, NegativeOffsets) {
    EXPECT_EQ(extractArea("0123ab456", "ab", 1, -4, 3), "23a");
    EXPECT_EQ(extractArea("0123ab456", "ab", 1, -6, 3), "012");
    EXPECT_EQ(extractArea("0123ab456", "ab", 1, -100, 3), "012");
    EXPECT_EQ(extractArea("0123ab456", "ab", 1, -2147483647 - 1, 2), "01");
    EXPECT_EQ(extractArea("0123ab456", "ab", 1, 2147483647, 2), "");
}

TEST(ExtractArea, MatchesNeverStartInsideADoubleByteCharacter) {
    // The second byte of "ア" (0x83 0x41) is "A": the keyword "AB" there is no match.
    const std::string a = jp("ア");
    ASSERT_EQ(a, "\x83\x41");
    EXPECT_EQ(extractArea(a + "BC|ABCzz", "AB", 1, 0, 3), "Czz");
    EXPECT_EQ(extractArea(a + "BC", "AB", 1, 0, 3), "");
    // "ャ" is 0x83 0x83: in "ャャ" the bytes also match at 1, which is no character start.
    const std::string ya = jp("ャ");
    ASSERT_EQ(ya, "\x83\x83");
    EXPECT_EQ(extractArea(ya + ya + "xyz", ya, 2, 0, 3), "xyz");
    EXPECT_EQ(extractArea(ya + ya + "xyz", ya, 3, 0, 3), "");
    // Several double-byte characters after the last single-byte one.
    EXPECT_EQ(extractArea("<" + a + a + a + "BAB!", "AB", 1, 0, 1), "!");
    // An area may begin inside a double-byte character.
    EXPECT_EQ(extractArea("k" + jp("日本"), "k", 1, 1, 2), jp("日本").substr(1, 2));
}

TEST(ExtractArea, AgreesWithACharacterByCharacterSearch) {
    // Texts of lead bytes, letters that can be second bytes, and a byte that cannot, against the
    // plain rule: walk the characters from the front and test each start.
    const char alphabet[] = {'\x83', 'A', 'B', '<'};
    std::uint32_t seed = 7;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return alphabet[(seed >> 16) % 4];
    };
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        std::string keyword;
        const int textLength = 1 + static_cast<int>((seed >> 8) % 40);
        for (int i = 0; i < textLength; ++i) {
            text += next();
        }
        const int keywordLength = 1 + static_cast<int>((seed >> 8) % 3);
        for (int i = 0; i < keywordLength; ++i) {
            keyword += next();
        }
        std::vector<std::size_t> starts;
        for (std::size_t i = 0; i < text.size();) {
            if (text.compare(i, keyword.size(), keyword) == 0) {
                starts.push_back(i);
            }
            i += (text[i] == '\x83' && i + 1 < text.size()) ? 2 : 1;
        }
        for (int occurrence = 1; occurrence <= 4; ++occurrence) {
            std::string expected;
            if (static_cast<std::size_t>(occurrence) <= starts.size()) {
                const std::size_t start = starts[occurrence - 1] + keyword.size();
                expected = text.substr(std::min(start, text.size()), 2);
            }
            ASSERT_EQ(extractArea(text, keyword, occurrence, 0, 2), expected)
                << "text " << text << " keyword " << keyword << " occurrence " << occurrence;
        }
    }
}

TEST_F(CheckAreaTest, LoadConvertedChoosesTheSourceCode) {
    ASSERT_NE(m_converter, nullptr);
    const std::string euc = "<meta charset=EUC-JP>\xc6\xfc\xcb\xdc";
    const std::string eucPath = m_folder.file("euc.html", euc);
    EXPECT_EQ(loadConverted(m_converter.get(), eucPath, 0), "<meta charset=EUC-JP>" + jp("日本"));
    EXPECT_EQ(loadConverted(m_converter.get(), eucPath, 2), "<meta charset=EUC-JP>" + jp("日本"));
    // Shift-JIS, chosen or detected, is taken as it is, bytes 932 lacks included.
    EXPECT_EQ(loadConverted(m_converter.get(), eucPath, 4), euc);
    EXPECT_EQ(loadConverted(m_converter.get(), eucPath, 9), euc);
    const std::string sjis = jp("日本語") + "\xf0\x40\xff";
    EXPECT_EQ(loadConverted(m_converter.get(), m_folder.file("sjis.html", sjis), 0), sjis);
    // Escapes make it JIS whatever the page declares.
    const std::string jis = "<meta charset=utf-8>\x1b$BF|K\\\x1b(B";
    EXPECT_EQ(loadConverted(m_converter.get(), m_folder.file("jis.html", jis), 0),
              "<meta charset=utf-8>" + jp("日本"));
    EXPECT_EQ(loadConverted(m_converter.get(), m_folder.file("u.html", "日本"), 3), jp("日本"));
    EXPECT_EQ(loadConverted(m_converter.get(), m_folder.file("empty.html", ""), 0), "");
}

TEST_F(CheckAreaTest, LoadConvertedStopsAtZeroAndFailsWithoutFileOrConverter) {
    const std::string withZero = std::string("<meta charset=utf-8>ab\0cd", 25);
    EXPECT_EQ(loadConverted(m_converter.get(), m_folder.file("zero.html", withZero), 0),
              "<meta charset=utf-8>ab");
    // The declaration behind the zero byte is not seen: the bytes before it, Shift_JIS and no
    // EUC-JP, decide.
    const std::string hidden = std::string("\x93\xfa\0charset=euc-jp", 17);
    EXPECT_EQ(loadConverted(m_converter.get(), m_folder.file("hidden.html", hidden), 0),
              "\x93\xfa");
    EXPECT_EQ(loadConverted(m_converter.get(), m_folder.path("missing.html"), 0), std::nullopt);
    EXPECT_EQ(loadConverted(m_converter.get(), m_folder.path(""), 0), std::nullopt);
    EXPECT_EQ(loadConverted(nullptr, m_folder.file("ok.html", "text"), 0), std::nullopt);
}

TEST_F(CheckAreaTest, CompareWholePage) {
    WatchSettings item;
    const std::string newFile = m_folder.file("temp.tmp", "page");
    // First check: no stored copy yet.
    EXPECT_EQ(compare(item, newFile, m_converter.get()), -2);
    item.compareFile = newFile;
    EXPECT_EQ(compare(item, newFile, m_converter.get()), -1);
    item.compareFile = m_folder.file("stored.html", "page");
    EXPECT_EQ(compare(item, newFile, m_converter.get()), 0);
    EXPECT_TRUE(fs::exists(newFile)); // the checker deletes it in this mode
    item.compareFile = m_folder.file("stored2.html", "pagE");
    EXPECT_EQ(compare(item, newFile, m_converter.get()), 1);
    // Kept downloads are the reference when the item keeps them.
    item.downloadMode = 1;
    item.destFile = m_folder.file("dest.html", "page");
    EXPECT_EQ(compare(item, newFile, m_converter.get()), 0);
    item.destFile = m_folder.path("gone.html");
    EXPECT_EQ(compare(item, newFile, m_converter.get()), -2);
}

TEST_F(CheckAreaTest, CompareCheckArea) {
    WatchSettings item;
    item.anchorKeyword = jp("価格：");
    item.areaOffset = 0;
    item.areaSize = 4;
    const std::string page = "<meta charset=euc-jp>\xb2\xc1\xb3\xca\xa1\xa7"
                             "1200 yen";

    const std::string first = m_folder.file("temp.tmp", page);
    EXPECT_EQ(compare(item, first, m_converter.get()), 1);
    EXPECT_EQ(item.areaText, "1200");
    EXPECT_TRUE(fs::exists(first));

    const std::string same = m_folder.file("temp_1.tmp", page);
    EXPECT_EQ(compare(item, same, m_converter.get()), 0);
    EXPECT_FALSE(fs::exists(same));

    // Keyword gone: the empty area is a change once, then the same again.
    const std::string gone = "<meta charset=euc-jp>sold out";
    EXPECT_EQ(compare(item, m_folder.file("temp_2.tmp", gone), m_converter.get()), 1);
    EXPECT_EQ(item.areaText, "");
    EXPECT_EQ(compare(item, m_folder.file("temp_3.tmp", gone), m_converter.get()), 0);

    // A page that cannot be read or converted counts as changed and keeps the stored area.
    item.areaText = "1200";
    EXPECT_EQ(compare(item, m_folder.path("missing.tmp"), m_converter.get()), 1);
    EXPECT_EQ(compare(item, m_folder.file("temp_4.tmp", page), nullptr), 1);
    EXPECT_EQ(item.areaText, "1200");
}

TEST_F(CheckAreaTest, CompareCheckAreaSeesTextOnlyUpToAZeroByte) {
    WatchSettings item;
    item.anchorKeyword = "id=";
    item.areaSize = 10;
    item.japaneseCode = 4;
    item.areaText = "42";
    const std::string page = std::string("id=42\0junk that changes", 23);
    EXPECT_EQ(compare(item, m_folder.file("temp.tmp", page), m_converter.get()), 0);
}
