#include "core/util/SafeFile.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tw;
using test::TempFolder;

namespace {

/// A folder on another file system than the temporary folder: /dev/shm is a tmpfs.
class OtherFileSystemFolder {
public:
    OtherFileSystemFolder() {
        std::string pattern = "/dev/shm/tw-test-XXXXXX";
        if (::mkdtemp(pattern.data())) {
            m_path = pattern;
        }
    }
    ~OtherFileSystemFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

dev_t deviceOf(const std::string& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status.st_dev;
}

} // namespace

TEST(SafeFile, MoveIntoPlaceCopiesAcrossFileSystems) {
    TempFolder folder;
    OtherFileSystemFolder other;
    ASSERT_FALSE(other.path().empty()) << "needs /dev/shm";
    ASSERT_NE(deviceOf(folder.path()), deviceOf(other.path())) << "needs two file systems";
    const std::string kept = other.path() + "/kept.html";
    TempFolder::writeFile(folder / "new", "new page");
    ::chmod((folder / "new").c_str(), 0640);
    TempFolder::writeFile(kept, "old page");
    ASSERT_TRUE(moveIntoPlace(folder / "new", kept));
    EXPECT_EQ(TempFolder::readFile(kept), "new page");
    EXPECT_FALSE(fs::exists(folder / "new"));
    EXPECT_EQ(fs::status(kept).permissions(), fs::perms(0640));
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(other.path()), fs::directory_iterator()), 1);
}

TEST(SafeFile, AFailedMoveKeepsBothFiles) {
    TempFolder folder;
    OtherFileSystemFolder other;
    TempFolder::writeFile(folder / "new", "new page");
    // A name too long for any file system, on the same one and across.
    const std::string longName = std::string(5000, 'n');
    EXPECT_FALSE(moveIntoPlace(folder / "new", folder / longName));
    EXPECT_FALSE(moveIntoPlace(folder / "new", other.path() + "/" + longName));
    EXPECT_EQ(TempFolder::readFile(folder / "new"), "new page");

    // A folder in place of the kept file is not replaced.
    fs::create_directories(other.path() + "/kept/inside");
    EXPECT_FALSE(moveIntoPlace(folder / "new", other.path() + "/kept"));
    EXPECT_TRUE(fs::is_directory(other.path() + "/kept/inside"));
    EXPECT_EQ(TempFolder::readFile(folder / "new"), "new page");
    EXPECT_EQ(std::distance(fs::directory_iterator(other.path()), fs::directory_iterator()), 1);
}

TEST(SafeFile, FreeFilesAreNumberedAndNothingFoundThereIsOpened) {
    TempFolder folder;
    TempFolder::writeFile(folder / "brl.hlk.damaged", "kept");
    // A dangling link counts as taken: creating through it would write elsewhere.
    fs::create_symlink(folder / "nowhere", folder / "brl.hlk_1.damaged");
    const mode_t old = ::umask(077);
    std::string created;
    const int fd = createFreeFile(folder / "brl.hlk.damaged", 0644, created);
    ::umask(old);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(created, folder / "brl.hlk_2.damaged");
    EXPECT_EQ(fs::status(created).permissions(), fs::perms(0644));
    EXPECT_FALSE(fs::exists(folder / "nowhere"));

    EXPECT_EQ(keepCopy(folder / "name", "copy", 0600), folder / "name");
    EXPECT_EQ(keepCopy(folder / "name", "second", 0600), folder / "name_1");
    EXPECT_EQ(TempFolder::readFile(folder / "name"), "copy");
    EXPECT_EQ(TempFolder::readFile(folder / "name_1"), "second");
    EXPECT_EQ(keepCopy(folder / "gone/name", "x", 0600), "");
    EXPECT_EQ(errno, ENOENT);
}

TEST(SafeFile, OnlyRegularFilesOpenForReadingAndNoneBlocks) {
    TempFolder folder;
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    fs::create_directory(folder / "folder");
    struct stat info {};
    EXPECT_EQ(openRegularFile(folder / "fifo", &info), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(openRegularFile(folder / "folder", &info), -1);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(openRegularFile(folder / "missing"), -1);
    EXPECT_EQ(errno, ENOENT);

    TempFolder::writeFile(folder / "file", "12345");
    const int fd = openRegularFile(folder / "file");
    ASSERT_GE(fd, 0);
    std::string data;
    EXPECT_EQ(readToEnd(fd, data, 4), EFBIG);
    ::close(fd);
}

TEST(SafeFile, AFailedCommitLeavesTheNewFileToTheCaller) {
    TempFolder folder;
    fs::create_directories(folder / "target/inside");
    const int fd = ::open((folder / "new").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(writeAll(fd, "new list"));
    EXPECT_FALSE(commitReplacement(fd, folder / "new", folder / "target"));
    EXPECT_TRUE(errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST);
    EXPECT_EQ(TempFolder::readFile(folder / "new"), "new list");
    EXPECT_TRUE(fs::is_directory(folder / "target/inside"));
}
