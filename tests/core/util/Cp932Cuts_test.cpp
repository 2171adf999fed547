// Cuts of code page 932 names and paths: a character whose second byte equals "\", "|" or "_"
// must never be taken for that character.

#include "core/util/Cp932.h"
#include "core/util/Cp932Scan.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"
#include "core/watch/UpdateActions.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace tw {
namespace {

using test::TempFolder;

/// Every character of code page 932 whose second byte is `trail`: each lead byte with it,
/// kept when it decodes to one character.
std::vector<std::string> charactersEndingIn(unsigned char trail) {
    std::vector<std::string> found;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!isCp932LeadByte(static_cast<unsigned char>(lead))) {
            continue;
        }
        const std::string bytes{static_cast<char>(lead), static_cast<char>(trail)};
        const std::string utf8 = fromCp932(bytes);
        if (utf8.find("\xEF\xBF\xBD") == std::string::npos && utf8.size() >= 2 &&
            utf8.size() <= 4 && toCp932(utf8) == bytes) {
            found.push_back(bytes);
        }
    }
    return found;
}

std::vector<std::string> hardCharacters() {
    std::vector<std::string> all = charactersEndingIn(0x5C);
    for (const std::string& c : charactersEndingIn(0x7C)) {
        all.push_back(c);
    }
    for (const std::string& c : charactersEndingIn(0x5F)) {
        all.push_back(c);
    }
    return all;
}

std::string shown(const std::string& cp932) {
    return fromCp932(cp932);
}

TEST(Cp932Cuts, TheEnumerationFindsTheKnownCharacters) {
    const auto backslash = charactersEndingIn(0x5C);
    const auto bar = charactersEndingIn(0x7C);
    // ソ 表 能 予 十 申 ... and the rows of every lead byte that has a character there.
    EXPECT_GE(backslash.size(), 40u);
    EXPECT_GE(bar.size(), 40u);
    for (const char* known : {"表", "能", "ソ", "予", "十", "申"}) {
        EXPECT_NE(std::find(backslash.begin(), backslash.end(), jp(known)), backslash.end())
            << known;
    }
    const auto underscore = charactersEndingIn(0x5F);
    EXPECT_NE(std::find(underscore.begin(), underscore.end(), jp("＼")), underscore.end());
}

TEST(Cp932Cuts, FileNameFolderAndExtensionKeepWholeCharacters) {
    for (const std::string& c : hardCharacters()) {
        SCOPED_TRACE(shown(c));
        const std::string name = c + ".html";
        EXPECT_EQ(fileNameOf("/home/u/" + name), name);
        EXPECT_EQ(fileNameOf("C:\\dl\\" + name), name);
        EXPECT_EQ(fileNameOf(name), name);
        EXPECT_EQ(fileNameOf("C:\\" + c + "\\" + c + c), c + c);
        EXPECT_EQ(afterLast("C:\\dl\\" + name, '\\'), name);
        EXPECT_EQ(afterLast(name, '\\'), name);
        EXPECT_EQ(afterLast(name, '|'), name);
        EXPECT_EQ(upToLast("C:\\" + c + "\\" + name, '\\'), "C:\\" + c + "\\");
        EXPECT_EQ(upToLast(name, '\\'), name);
        EXPECT_EQ(extension("/d/page." + c), c);
        EXPECT_EQ(extension("C:\\" + c + ".d\\" + c), "");
        EXPECT_EQ(changeExtension("/d/" + c + ".zip", "html"), "/d/" + name);
        EXPECT_EQ(findLastCp932(c + "|" + c, "|"), c.size());
        EXPECT_EQ(findFirstCp932(c + "\\", "\\"), c.size());
    }
    EXPECT_EQ(fileNameOf(jp("C:\\dl\\ソフト.zip")), jp("ソフト.zip"));
    EXPECT_EQ(fileNameOf(jp("表.html")), jp("表.html"));
    EXPECT_EQ(fileNameOf(jp("能.html")), jp("能.html"));
}

TEST(Cp932Cuts, CounterStrippingTakesOnlyARealUnderscore) {
    EXPECT_EQ(stripCounter(jp("/d/表_2.html")), jp("/d/表.html"));
    EXPECT_EQ(stripCounter(jp("表_2.html")), jp("表.html"));
    for (const std::string& c : hardCharacters()) {
        SCOPED_TRACE(shown(c));
        EXPECT_EQ(stripCounter("/d/" + c + "_12.html"), "/d/" + c + ".html");
        // "＼" ends in the byte of "_": the name has no counter to strip.
        EXPECT_EQ(stripCounter("/d/" + c + ".html"), "/d/" + c + ".html");
        EXPECT_EQ(stripCounter("/d/" + c), "/d/" + c);
        EXPECT_EQ(stripCounter("/" + c + "/x_3"), "/" + c + "/x");
    }
}

TEST(Cp932Cuts, UniqueNamesNumberJapaneseNamesFoundOnDisk) {
    TempFolder folder;
    const std::string base = folder.path();
    for (const char* utf8 : {"表.html", "能.html", "ソフト.zip", "＼"}) {
        const std::string name = jp(utf8);
        SCOPED_TRACE(utf8);
        EXPECT_EQ(uniqueFileName(base + "/" + name), base + "/" + name);
        // The disk holds the name in UTF-8; a second download numbers past it.
        TempFolder::writeFile(base + "/" + utf8, "x");
        const std::string next = uniqueFileName(base + "/" + name);
        const auto dot = findLastCp932(name, ".");
        const std::string expected =
            dot == std::string::npos ? name + "_1" : name.substr(0, dot) + "_1" + name.substr(dot);
        EXPECT_EQ(next, base + "/" + expected);
        EXPECT_EQ(uniqueFileName(stripCounter(next)), next);
    }
    // A file an earlier version wrote under its 932 bytes is taken as well.
    TempFolder::writeFile(base + "/" + jp("価格.html"), "old");
    EXPECT_EQ(uniqueFileName(base + "/" + jp("価格.html")), base + "/" + jp("価格_1.html"));
}

TEST(Cp932Cuts, SaveFolderCheckFindsAJapaneseFolder) {
    TempFolder folder;
    ASSERT_EQ(::mkdir((folder.path() + "/ダウンロード").c_str(), 0700), 0);
    std::string text = folder.path() + jp("/ダウンロード");
    EXPECT_EQ(validateSaveFolder(text), 0);
    EXPECT_EQ(text, folder.path() + jp("/ダウンロード"));
}

TEST(Cp932Cuts, RunOnUpdateSplitsAtTheLastRealSlash) {
    for (const std::string& c : hardCharacters()) {
        SCOPED_TRACE(shown(c));
        const RunTarget target = splitRunTarget("/home/" + c + "/" + c + ".txt");
        EXPECT_EQ(target.file, c + ".txt");
        EXPECT_EQ(target.workingFolder, "/home/" + c + "/");
    }
    const RunTarget soft = splitRunTarget(jp("/home/u/ソフト/表.txt"));
    EXPECT_EQ(soft.file, jp("表.txt"));
    EXPECT_EQ(soft.workingFolder, jp("/home/u/ソフト/"));
}

TEST(Cp932Cuts, ADamagedTextNeverHidesASlash) {
    // A lead byte without a valid second byte stands alone.
    EXPECT_EQ(findLastCp932("a\x81/b", "/"), 2u);
    EXPECT_EQ(findLastCp932("a\x81", "/"), std::string::npos);
    EXPECT_EQ(fileNameOf("dir\xE0/x"), "x");
}

} // namespace
} // namespace tw
