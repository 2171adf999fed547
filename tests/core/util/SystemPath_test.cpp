#include "core/util/SystemPath.h"

#include "core/util/Cp932.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace tw;
using test::TempFolder;

namespace {

void touch(const std::string& path) {
    std::ofstream(path) << "x";
}

TEST(SystemPath, AsciiStaysAsItIs) {
    EXPECT_EQ(systemPath("/no/such/folder/page.html"), "/no/such/folder/page.html");
    EXPECT_EQ(textPath("/no/such/folder/page.html"), "/no/such/folder/page.html");
    EXPECT_EQ(systemPath(""), "");
}

TEST(SystemPath, JapaneseNamesAreUtf8OnDisk) {
    TempFolder temp;
    const std::string downloads = temp.path() + "/" + "ダウンロード";
    fs::create_directory(downloads);
    // A new file in a Japanese folder: both parts in UTF-8, slashes kept as they stand.
    const std::string text = temp.path() + "/" + jp("ダウンロード") + "//" + jp("価格.html");
    EXPECT_EQ(systemPath(text), downloads + "//価格.html");
    EXPECT_EQ(textPath(downloads + "/価格.html"), temp.path() + "/" + jp("ダウンロード/価格.html"));
    // Every 932 character whose second byte is "\" or "|" survives the trip.
    const std::string table = jp("表能ソ十申貼予");
    EXPECT_EQ(textPath(systemPath(temp.path() + "/" + table)), temp.path() + "/" + table);
}

TEST(SystemPath, AFileAnEarlierVersionWroteUnderIts932BytesIsStillFound) {
    TempFolder temp;
    const std::string legacy = temp.path() + "/" + jp("価格.html");
    touch(legacy);
    EXPECT_EQ(systemPath(legacy), legacy);
    // Once the UTF-8 name exists as well, it is the one used.
    touch(temp.path() + "/価格.html");
    EXPECT_EQ(systemPath(legacy), temp.path() + "/価格.html");
}

TEST(SystemPath, AFolderTheEnvironmentNamedInUtf8IsKept) {
    TempFolder temp;
    const std::string home = temp.path() + "/ユーザー";
    fs::create_directory(home);
    // The data folder comes from the environment in UTF-8; the names below it are 932 text.
    EXPECT_EQ(systemPath(home + "/comp/" + jp("表.html")), home + "/comp/表.html");
    // Bytes that are no UTF-8 come back as they stand.
    EXPECT_EQ(textPath(temp.path() + "/\x95\x5c"), temp.path() + "/\x95\x5c");
}

} // namespace
