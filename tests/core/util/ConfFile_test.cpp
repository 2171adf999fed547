#include "core/util/ConfFile.h"

#include "core/util/Cp932.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tw {
namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TEST(ConfFile, ReadsSectionsKeysAndValues) {
    ConfFile conf;
    conf.parse("# made by hand\r\n"
               "top = level\r\n"
               "[net]\r\n"
               "  max_download_s =  300  \r\n"
               "; another comment\r\n"
               "[Mail] # the mail settings\n"
               "Server=smtp.example.jp\n"
               "server=smtp2.example.jp\n"
               "empty=\n"
               "sign=値=ですね\n");
    EXPECT_EQ(conf.value("", "top"), "level");
    EXPECT_EQ(conf.value("net", "max_download_s"), "300");
    EXPECT_EQ(conf.value("NET", "MAX_DOWNLOAD_S"), "300");
    // The last of a key given twice counts.
    EXPECT_EQ(conf.value("mail", "server"), "smtp2.example.jp");
    EXPECT_EQ(conf.value("mail", "empty"), "");
    EXPECT_EQ(conf.value("mail", "sign"), "値=ですね");
    EXPECT_EQ(conf.value("net", "server"), std::nullopt);
    EXPECT_EQ(conf.value("history", "keep"), std::nullopt);
}

TEST(ConfFile, DamagedLinesAreIgnoredAndKept) {
    const std::string text = "[net]\n"
                             "no equals sign here\n"
                             "=value without a key\n"
                             "max_download_s=120\n"
                             "[broken\n"
                             "max_download_s=5\n"
                             "[] \n"
                             "\xff\xfe binary\n";
    ConfFile conf;
    conf.parse(text);
    // A key below a damaged section line belongs to no section, not to the one before it.
    EXPECT_EQ(conf.value("net", "max_download_s"), "120");
    EXPECT_EQ(conf.text(), text);
}

TEST(ConfFile, NumbersOutsideTheirRangeOrNotWholeGiveTheFallback) {
    ConfFile conf;
    conf.parse("[net]\na=42\nb=+7\nc=-3\nd=12s\ne=\nf=99999999999999999999\ng=1.5\n");
    EXPECT_EQ(conf.number("net", "a", 600, 1, 1000), 42);
    EXPECT_EQ(conf.number("net", "b", 600, 1, 1000), 7);
    EXPECT_EQ(conf.number("net", "c", 600, 1, 1000), 600);
    EXPECT_EQ(conf.number("net", "d", 600, 1, 1000), 600);
    EXPECT_EQ(conf.number("net", "e", 600, 1, 1000), 600);
    EXPECT_EQ(conf.number("net", "f", 600, 1, 1000), 600);
    EXPECT_EQ(conf.number("net", "g", 600, 1, 1000), 600);
    EXPECT_EQ(conf.number("net", "missing", 600, 1, 1000), 600);
    EXPECT_EQ(conf.number("net", "a", 600, 50, 1000), 600);
}

TEST(ConfFile, SetChangesOnlyItsLineAndKeepsEverythingElse) {
    ConfFile conf;
    conf.parse("\xEF\xBB\xBF# my settings\n"
               "[net]\n"
               "max_download_s=300   # five minutes\n"
               "\n"
               "# the next section\n"
               "[future]\n"
               "unknown_key=kept as it was\n");
    EXPECT_TRUE(conf.set("net", "max_download_s", "900"));
    EXPECT_TRUE(conf.set("net", "polite", "yes"));
    EXPECT_TRUE(conf.set("history", "keep", "10"));
    EXPECT_EQ(conf.text(), "\xEF\xBB\xBF# my settings\n"
                           "[net]\n"
                           "max_download_s=900\n"
                           "polite=yes\n"
                           "\n"
                           "# the next section\n"
                           "[future]\n"
                           "unknown_key=kept as it was\n"
                           "\n"
                           "[history]\n"
                           "keep=10\n");
    // What a line cannot hold is refused, and nothing changes.
    const std::string before = conf.text();
    EXPECT_FALSE(conf.set("net", "max_download_s", "1\n[evil]"));
    EXPECT_FALSE(conf.set("net", "a=b", "1"));
    EXPECT_FALSE(conf.set("net]", "a", "1"));
    EXPECT_FALSE(conf.set("net", "", "1"));
    EXPECT_FALSE(conf.set("net", "#a", "1"));
    EXPECT_EQ(conf.text(), before);
    ConfFile empty;
    EXPECT_TRUE(empty.set("net", "max_download_s", "60"));
    EXPECT_EQ(empty.text(), "[net]\nmax_download_s=60\n");
}

TEST(ConfFile, AMissingFileMeansTheDefaultsAndSavingMakesAPrivateOne) {
    test::TempFolder folder;
    // The data folder of a Japanese desktop: named in UTF-8 on disk, held as 932 text.
    std::filesystem::create_directory(folder.path() + "/データ");
    const std::string path = folder.path() + "/" + jp("データ") + "/tarnwick.conf";
    ConfFile conf;
    EXPECT_EQ(conf.load(path), ConfFile::Load::Missing);
    EXPECT_EQ(conf.number("net", "max_download_s", 600, 1, 100000), 600);
    ASSERT_TRUE(conf.set("net", "max_download_s", "120"));
    ASSERT_TRUE(conf.save(path));
    const std::string onDisk = folder.path() + "/データ/tarnwick.conf";
    EXPECT_EQ(readAll(onDisk), "[net]\nmax_download_s=120\n");
    struct stat info {};
    ASSERT_EQ(::stat(onDisk.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path() + "/データ"),
                            std::filesystem::directory_iterator()),
              1);

    ConfFile again;
    EXPECT_EQ(again.load(path), ConfFile::Load::Read);
    EXPECT_EQ(again.value("net", "max_download_s"), "120");
}

TEST(ConfFile, AFileThatCannotBeReadIsNeverWrittenOver) {
    test::TempFolder folder;
    const std::string path = folder.path() + "/tarnwick.conf";
    // A folder in its place: unreadable, and so are a file too large to be settings.
    std::filesystem::create_directory(path);
    ConfFile conf;
    EXPECT_EQ(conf.load(path), ConfFile::Load::Unreadable);
    EXPECT_EQ(conf.loadError(), EISDIR);
    EXPECT_FALSE(conf.save(path));
    std::filesystem::remove(path);

    std::ofstream(path, std::ios::binary) << std::string(ConfFile::kMaxBytes + 1, '#');
    EXPECT_EQ(conf.load(path), ConfFile::Load::Unreadable);
    EXPECT_EQ(conf.loadError(), EFBIG);
    conf.set("net", "max_download_s", "1");
    EXPECT_FALSE(conf.save(path));
    EXPECT_EQ(std::filesystem::file_size(path), ConfFile::kMaxBytes + 1);

    // A FIFO in its place does not hold the start.
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(conf.load(path), ConfFile::Load::Unreadable);
}

} // namespace
} // namespace tw
