#include "util/SafeFile.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

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
