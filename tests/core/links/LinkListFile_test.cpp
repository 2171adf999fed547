#include "LinkTestSupport.h"

#include "links/CLinkList.h"
#include "support/ChildProcess.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"
#include "util/Cp932.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::test {
namespace {

using Lock = CLinkList::LockKind;

class LinkListFile : public ::testing::Test {
protected:
    void writeList(const std::vector<FetchSettings>& links, const std::string& extra = "") {
        std::string bytes;
        for (const FetchSettings& link : links) {
            bytes += onDisk(link);
        }
        TempFolder::writeFile(m_dir / "brl.hlk", bytes + extra);
    }
    std::string list() const { return TempFolder::readFile(m_dir / "brl.hlk"); }

    TempFolder m_dir;
    FakePrompter m_prompter;
};

TEST_F(LinkListFile, LoadTrimsTheFolderCutsNamesAndHoldsOnlyTheDialogLock) {
    writeList({makeLink("C:\\dl\\a.zip", "http://h/a"), makeLink("../../etc/passwd", "http://h/b"),
               makeLink("sub\\..", "http://h/c"), makeLink("", "http://h/d")});
    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path() + "\\/ ", false), 1);
    EXPECT_EQ(links.folder(), m_dir.path());
    ASSERT_EQ(links.count(), 4);
    EXPECT_EQ(links.link(0).destFile, "a.zip");
    EXPECT_EQ(links.link(1).destFile, "passwd");
    EXPECT_EQ(links.localPath(0), m_dir / "a.zip");
    EXPECT_EQ(links.localPath(1), m_dir / "passwd");
    // Names that would leave the folder have no local file: never downloaded or deleted.
    EXPECT_EQ(links.link(2).destFile, "..");
    EXPECT_EQ(links.localPath(2), "");
    EXPECT_EQ(links.localPath(3), "");
    EXPECT_EQ(links.checkLink(2), kLinkError);
    EXPECT_EQ(links.removeWithFile(2), 0);
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.path()));
    EXPECT_EQ(links.localPath(7), "");

    EXPECT_TRUE(links.holdsDialogLock());
    EXPECT_FALSE(links.holdsLock(Lock::Append));
    EXPECT_FALSE(exists(m_dir / "append.lock"));
    EXPECT_EQ(links.lockHolder(Lock::Dialog).rfind("Tarnwick[", 0), 0u);
    EXPECT_EQ(links.lockHolder(Lock::Dialog).back(), ']');
    EXPECT_EQ(links.loadedFileSize(), static_cast<std::int64_t>(list().size()));
}

TEST_F(LinkListFile, HeldLocksRefuseALoadAndForceTakesThemOver) {
    TempFolder::writeFile(m_dir / "dialog.lock", "Brindle[1]");
    CLinkList links(&m_prompter);
    EXPECT_EQ(links.load(m_dir.path(), false), 0);
    EXPECT_FALSE(links.holdsDialogLock());
    EXPECT_EQ(TempFolder::readFile(m_dir / "dialog.lock"), "Brindle[1]");

    TempFolder::writeFile(m_dir / "append.lock", "Brindle[2]");
    std::filesystem::remove(m_dir / "dialog.lock");
    EXPECT_EQ(links.load(m_dir.path(), false), 0);
    EXPECT_FALSE(exists(m_dir / "dialog.lock")) << "the dialog lock taken is given back";
    EXPECT_EQ(TempFolder::readFile(m_dir / "append.lock"), "Brindle[2]");

    EXPECT_EQ(links.load(m_dir.path(), true), 1);
    EXPECT_TRUE(links.holdsDialogLock());
    EXPECT_FALSE(exists(m_dir / "append.lock"));
}

// A refused load must not leave the list believing it holds the lock of an earlier load: it
// would delete the other program's lock when saved or destroyed.
TEST_F(LinkListFile, ARefusedLoadHoldsNothingAndReleasesTheEarlierFolder) {
    TempFolder other;
    {
        CLinkList links(&m_prompter);
        ASSERT_EQ(links.load(m_dir.path(), false), 1);
        EXPECT_EQ(links.save(), 0);
        TempFolder::writeFile(other / "dialog.lock", "Brindle[3]");
        EXPECT_EQ(links.load(other.path(), false), 0);
        EXPECT_FALSE(links.holdsDialogLock());
        links.replaceAll({makeLink("x", "http://h/x")});
        EXPECT_EQ(links.save(), -1);
    }
    EXPECT_EQ(TempFolder::readFile(other / "dialog.lock"), "Brindle[3]");
    EXPECT_FALSE(exists(other / "brl.hlk"));

    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    EXPECT_EQ(links.load(other.path(), false), 0);
    EXPECT_FALSE(exists(m_dir / "dialog.lock")) << "the earlier folder's lock is not leaked";
}

// Two programs that test for the lock at the same moment must not both take it.
TEST_F(LinkListFile, OfManyProgramsLoadingAtOnceExactlyOneGetsTheFolder) {
    for (int round = 0; round < 10; ++round) {
        int ready[2];
        int go[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(go), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < 6; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(go[1]);
                CLinkList links;
                char byte = 0;
                // All start together: the read returns when the parent closes the pipe.
                if (::write(ready[1], &byte, 1) != 1 || ::read(go[0], &byte, 1) != 0) {
                    ::_exit(100);
                }
                const int loaded = links.load(m_dir.path(), false);
                ::_exit(loaded == 1 && links.holdsDialogLock() ? 1 : 0);
            }
            children.push_back(pid);
        }
        char byte = 0;
        for (std::size_t i = 0; i < children.size(); ++i) {
            ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        }
        ::close(go[1]); // every waiting read returns at once
        int winners = 0;
        for (const pid_t pid : children) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            winners += WIFEXITED(status) ? WEXITSTATUS(status) : 100;
        }
        for (int fd : {ready[0], ready[1], go[0]}) {
            ::close(fd);
        }
        EXPECT_EQ(winners, 1) << "round " << round;
        // The winner's process ended without saving: its lock stays, as after a crash.
        EXPECT_TRUE(exists(m_dir / "dialog.lock"));
        std::filesystem::remove(m_dir / "dialog.lock");
    }
}

TEST_F(LinkListFile, SaveKeepsRecordsAppendedAfterTheLoadByteForByte) {
    writeList({makeLink("a.zip", "http://h/a"), makeLink("b.zip", "http://h/b")});
    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    // LF line ends and a key of its own: the sibling's bytes are copied, not rewritten.
    const std::string appended = "\t//{{TOP\nDest: c.zip\nTarg: http://h/c\nBrnd: 7\n\tEND}}//\n" +
                                 onDisk(makeLink("d.zip", "http://h/d"));
    ASSERT_TRUE(siblingAppend(m_dir.path(), appended));

    links.sortBy(CLinkList::Column::File, true);
    ASSERT_EQ(links.save(), 0);
    EXPECT_EQ(list(), onDisk(makeLink("b.zip", "http://h/b")) +
                          onDisk(makeLink("a.zip", "http://h/a")) + appended);
    EXPECT_FALSE(exists(m_dir / "dialog.lock"));
    EXPECT_FALSE(exists(m_dir / "append.lock"));
    EXPECT_FALSE(exists(m_dir / "tmp.hlk"));
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(LinkListFile, AnUnchangedListLeavesTheFileAloneAndOnlyGivesBackTheDialogLock) {
    writeList({makeLink("a.zip", "http://h/a")});
    struct stat before {};
    ::stat((m_dir / "brl.hlk").c_str(), &before);
    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    EXPECT_EQ(links.save(), 0);
    struct stat after {};
    ::stat((m_dir / "brl.hlk").c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_FALSE(exists(m_dir / "dialog.lock"));
}

TEST_F(LinkListFile, ALeftoverTemporaryListStaysAndTheNextFreeNameIsUsed) {
    writeList({makeLink("a.zip", "http://h/a")});
    TempFolder::writeFile(m_dir / "tmp.hlk", "crashed save");
    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    links.replace(0, makeLink("b.zip", "http://h/b"));
    ASSERT_EQ(links.save(), 0);
    EXPECT_EQ(TempFolder::readFile(m_dir / "tmp.hlk"), "crashed save");
    EXPECT_FALSE(exists(m_dir / "tmp_1.hlk"));
    EXPECT_EQ(list(), onDisk(makeLink("b.zip", "http://h/b")));
}

TEST_F(LinkListFile, TheBusyQuestionRetriesCancelsOrWritesWithoutTakingTheOthersLock) {
    writeList({makeLink("a.zip", "http://h/a")});
    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    links.replace(0, makeLink("b.zip", "http://h/b"));
    TempFolder::writeFile(m_dir / "append.lock", "Brindle[4]");

    std::vector<std::string> asked;
    std::vector<CLinkList::BusyAnswer> answers = {CLinkList::BusyAnswer::Cancel};
    links.setBusyQuestion([&](const std::string& text) {
        asked.push_back(text);
        const auto answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    });
    EXPECT_EQ(links.save(), -1);
    EXPECT_TRUE(links.isDirty());
    EXPECT_TRUE(links.holdsDialogLock());
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0],
              jp("更新データファイルが他の作業で使用中です。\nデータを強制的に書き出しますか？\n"));

    answers = {CLinkList::BusyAnswer::No, CLinkList::BusyAnswer::No, CLinkList::BusyAnswer::Yes};
    EXPECT_EQ(links.save(), 0);
    EXPECT_EQ(asked.size(), 4u);
    EXPECT_EQ(list(), onDisk(makeLink("b.zip", "http://h/b")));
    EXPECT_EQ(TempFolder::readFile(m_dir / "append.lock"), "Brindle[4]")
        << "a lock this list did not take is not deleted";
    EXPECT_FALSE(exists(m_dir / "dialog.lock"));
}

TEST_F(LinkListFile, ATailThatCannotBeReadIsKeptAsideBeforeTheSave) {
    const std::string fragment = "\t//{{TOP\r\nDest: c.zip\r\nTarg: http://h/";
    writeList({makeLink("a.zip", "http://h/a"), makeLink("b.zip", "http://h/b")}, fragment);
    const std::string original = list();
    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    EXPECT_EQ(links.count(), 2);
    links.remove(0);
    ASSERT_EQ(links.save(), 0);
    EXPECT_EQ(links.damagedCopy(), m_dir / "brl.hlk.damaged");
    EXPECT_EQ(TempFolder::readFile(m_dir / "brl.hlk.damaged"), original);
    ASSERT_EQ(m_prompter.messages().size(), 1u);
    EXPECT_NE(m_prompter.messages()[0].find(m_dir / "brl.hlk.damaged"), std::string::npos);
    EXPECT_EQ(list(), onDisk(makeLink("b.zip", "http://h/b")));

    // The sibling's next append after such a cut opens a block inside the cut one.
    writeList({makeLink("a.zip", "http://h/a")}, fragment + onDisk(makeLink("d", "http://h/d")));
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    links.remove(0);
    ASSERT_EQ(links.save(), 0);
    EXPECT_TRUE(exists(m_dir / "brl.hlk_1.damaged"));

    // A whole file with trailing blanks is not damaged.
    writeList({makeLink("a.zip", "http://h/a")}, "\r\n  \r\n");
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    links.remove(0);
    const auto before = m_prompter.messages().size();
    ASSERT_EQ(links.save(), 0);
    EXPECT_EQ(m_prompter.messages().size(), before);
}

// A rename that fails must not count as saved, and the new list must not be lost.
TEST_F(LinkListFile, AFailedRenameKeepsTheNewListUnderItsTemporaryNameAndSaysWhere) {
    // brl.hlk becomes a folder that a file cannot replace, of the size loaded (no tail to copy).
    const std::string target = m_dir / "brl.hlk";
    auto makeFolder = [&] {
        std::filesystem::create_directory(target);
        TempFolder::writeFile(target + "/inside", "x");
    };
    makeFolder();
    struct stat folderStatus {};
    ::stat(target.c_str(), &folderStatus);
    std::filesystem::remove_all(target);
    TempFolder::writeFile(target, std::string(static_cast<std::size_t>(folderStatus.st_size), ' '));

    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    links.replaceAll({makeLink("a.zip", "http://h/a")});
    std::filesystem::remove(target);
    makeFolder();
    EXPECT_EQ(links.save(), -1);
    EXPECT_TRUE(links.isDirty());
    EXPECT_EQ(TempFolder::readFile(m_dir / "tmp.hlk"), onDisk(makeLink("a.zip", "http://h/a")));
    ASSERT_EQ(m_prompter.messages().size(), 1u);
    EXPECT_EQ(m_prompter.messages()[0].rfind(jp("リンクリストを書き出せませんでした。"), 0), 0u);
    EXPECT_NE(m_prompter.messages()[0].find(m_dir / "tmp.hlk"), std::string::npos);
    EXPECT_FALSE(exists(m_dir / "dialog.lock"));
    EXPECT_FALSE(exists(m_dir / "append.lock"));
}

TEST_F(LinkListFile, EditingOperationsAndTheirRanges) {
    writeList({makeLink("a.zip", "http://h/a", "b"), makeLink("b.zip", "http://h/b", "a"),
               makeLink("c.zip", "http://h/c", "\x82\xa0")});
    TempFolder::writeFile(m_dir / "a.zip", "old copy");
    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    EXPECT_FALSE(links.isDirty());
    links.sortBy(CLinkList::Column::Name, false);
    // Byte order: a lead byte 0x82 sorts after ASCII.
    EXPECT_EQ(links.link(0).targetUrl, "http://h/b");
    EXPECT_EQ(links.link(2).targetUrl, "http://h/c");
    EXPECT_TRUE(links.isDirty());
    EXPECT_EQ(links.remove(3), 1);
    EXPECT_EQ(links.remove(-1), 1);
    EXPECT_EQ(links.removeWithFile(3), 1);
    EXPECT_EQ(links.removeWithFile(1), 0);
    EXPECT_FALSE(exists(m_dir / "a.zip"));
    EXPECT_EQ(links.removeWithFile(0), 0) << "a missing file is no error";
    EXPECT_EQ(links.count(), 1);
    links.replace(0, makeLink("x\\y.zip", "http://h/y"));
    EXPECT_EQ(links.link(0).destFile, "y.zip");
}

TEST_F(LinkListFile, FileNamesForRenameAreCheckedWithoutCreatingAnything) {
    TempFolder::writeFile(m_dir / "taken.zip", "x");
    std::filesystem::create_directory(m_dir / "sub");
    CLinkList links(&m_prompter);
    ASSERT_EQ(links.load(m_dir.path(), false), 1);
    using Check = CLinkList::NameCheck;
    EXPECT_EQ(links.checkFileName("new.zip"), Check::Usable);
    EXPECT_EQ(links.checkFileName("taken.zip"), Check::Exists);
    const std::vector<std::string> unusable = {
        "", ".", "..", "a/b", "a\\b", "-rf", "sub", std::string(300, 'n'), std::string("a\0b", 3)};
    for (const std::string& name : unusable) {
        EXPECT_EQ(links.checkFileName(name), Check::Unusable) << name;
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dialog.lock", "sub", "taken.zip"}));
}

TEST(LinkFolder, TheStoredDefaultMeansTheDownloadFolder) {
    const std::string downloads = "/home/u/Downloads";
    for (const std::string stored : {"c:", "C:", "c:\\", "c: ", ""}) {
        EXPECT_EQ(CLinkList::effectiveFolder(stored, downloads), downloads) << stored;
    }
    EXPECT_EQ(CLinkList::effectiveFolder("/data/links", downloads), "/data/links");
    EXPECT_EQ(CLinkList::effectiveFolder("c:\\links", downloads), "c:\\links");
}

} // namespace
} // namespace tw::test
