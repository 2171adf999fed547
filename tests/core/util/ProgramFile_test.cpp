#include "core/util/ProgramFile.h"

#include "support/ChildProcess.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tw;
using test::TempFolder;

namespace {

class ProgramFileTest : public ::testing::Test {
protected:
    ProgramFile file() const { return ProgramFile(m_path, 0600, m_folder / "list.damaged"); }

    TempFolder m_folder;
    std::string m_path = m_folder / "list.twl";
};

TEST_F(ProgramFileTest, AFileNeverReadIsReplacedOnlyWhenThereIsNone) {
    TempFolder::writeFile(m_path, "stored");
    ProgramFile unread = file();
    EXPECT_FALSE(unread.mayReplace());
    EXPECT_FALSE(unread.write("defaults"));
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(TempFolder::readFile(m_path), "stored");

    fs::remove(m_path);
    ProgramFile fresh = file();
    ASSERT_TRUE(fresh.write("first"));
    // What it wrote itself it may write over.
    ASSERT_TRUE(fresh.write("second"));
    EXPECT_EQ(TempFolder::readFile(m_path), "second");
    EXPECT_EQ(fs::status(m_path).permissions(), fs::perms(0600));
}

TEST_F(ProgramFileTest, AFifoInPlaceOfTheFileIsRefusedAtOnceAndNeverReplaced) {
    ASSERT_EQ(::mkfifo(m_path.c_str(), 0600), 0);
    // In a child with an alarm as a safety net: a read that waits for a writer kills it.
    EXPECT_EQ(test::runInChild([&] {
                  ::alarm(30);
                  ProgramFile fifo = file();
                  std::string data = "left over";
                  if (fifo.read(data) != EISDIR || !data.empty()) {
                      return 1;
                  }
                  if (!fifo.refused() || fifo.mayReplace() || fifo.write("x")) {
                      return 2;
                  }
                  return 0;
              }),
              0);
    EXPECT_TRUE(fs::is_fifo(m_path));
}

TEST_F(ProgramFileTest, AMissingFileIsAnEmptyOneThatMayBeWritten) {
    ProgramFile missing = file();
    std::string data;
    EXPECT_EQ(missing.read(data), ENOENT);
    EXPECT_TRUE(missing.wasRead());
    EXPECT_TRUE(missing.write("new"));
}

TEST_F(ProgramFileTest, AFileBeyondTheLimitIsRefused) {
    TempFolder::writeFile(m_path, "12345");
    ProgramFile large = file();
    std::string data;
    EXPECT_EQ(large.read(data, 4), EFBIG);
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(large.write("x"));
    EXPECT_EQ(large.read(data, 5), 0);
    EXPECT_EQ(data, "12345");
    // A refusal of the owner's (a load given up, say) holds until the next read.
    large.refuse();
    EXPECT_FALSE(large.mayReplace());
}

TEST_F(ProgramFileTest, DamagedBytesAreKeptUnderAFreeNameBeforeTheFileIsReplaced) {
    TempFolder::writeFile(m_folder / "list.damaged", "an earlier copy");
    TempFolder::writeFile(m_path, "damaged");
    ProgramFile damaged = file();
    std::string data;
    ASSERT_EQ(damaged.read(data), 0);
    damaged.setDamaged(data);
    EXPECT_TRUE(damaged.damagePending());
    ASSERT_TRUE(damaged.write("repaired"));
    EXPECT_EQ(damaged.damagedCopy(), m_folder / "list_1.damaged");
    EXPECT_EQ(TempFolder::readFile(damaged.damagedCopy()), "damaged");
    EXPECT_EQ(TempFolder::readFile(m_folder / "list.damaged"), "an earlier copy");
    EXPECT_EQ(fs::status(damaged.damagedCopy()).permissions(), fs::perms(0600));
    EXPECT_EQ(TempFolder::readFile(m_path), "repaired");

    // A clean read forgets the copy of the last one.
    ASSERT_EQ(damaged.read(data), 0);
    EXPECT_TRUE(damaged.damagedCopy().empty());
}

TEST_F(ProgramFileTest, WhileTheDamagedBytesCannotBeKeptTheFileStays) {
    TempFolder::writeFile(m_path, "damaged");
    // The copy's folder does not exist: no copy can be made, also for root.
    ProgramFile damaged(m_path, 0600, m_folder / "gone/list.damaged");
    std::string data;
    ASSERT_EQ(damaged.read(data), 0);
    damaged.setDamaged(data);
    EXPECT_FALSE(damaged.keepDamaged());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(damaged.write("repaired"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(TempFolder::readFile(m_path), "damaged");
    EXPECT_TRUE(damaged.damagePending());

    fs::create_directory(m_folder / "gone");
    ASSERT_TRUE(damaged.write("repaired"));
    EXPECT_EQ(TempFolder::readFile(m_folder / "gone/list.damaged"), "damaged");
    EXPECT_EQ(TempFolder::readFile(m_path), "repaired");
}

TEST_F(ProgramFileTest, TemporaryFilesOfACrashedReplaceAreRemovedBeforeARead) {
    for (const char* name : {"list.twl.tmp-abc123", "list.twl.tmp-ab", "other.tmp-abc123"}) {
        TempFolder::writeFile(m_folder / name, "x");
    }
    ProgramFile stale = file();
    std::string data;
    EXPECT_EQ(stale.read(data), ENOENT);
    EXPECT_FALSE(fs::exists(m_folder / "list.twl.tmp-abc123"));
    EXPECT_TRUE(fs::exists(m_folder / "list.twl.tmp-ab"));
    EXPECT_TRUE(fs::exists(m_folder / "other.tmp-abc123"));
}

} // namespace
