#include "LinkTestSupport.h"

#include "core/util/Cp932.h"
#include "support/ChildProcess.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <unistd.h>

namespace tw::test {
namespace {

using Lock = CLinkList::LockKind;
using Answer = CLinkList::BusyAnswer;

class LinkListFile : public ::testing::Test {
protected:
    void writeList(const std::vector<FetchSettings>& links, const std::string& extra = "") {
        std::string bytes;
        for (const FetchSettings& link : links) {
            bytes += onDisk(link);
        }
        TempFolder::writeFile(m_dir / "brl.hlk", bytes + extra);
    }
    std::string read(const std::string& name) const { return TempFolder::readFile(m_dir / name); }
    std::vector<std::string> folderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempFolder m_dir;
    FakePrompter m_prompter;
    CLinkList m_links{&m_prompter};
};

TEST_F(LinkListFile, NamesFromTheFileAreCutAndNamesLeavingTheFolderAreNeverUsed) {
    writeList({makeLink("C:\\dl\\a.zip", "a"), makeLink("../../etc/passwd", "b"),
               makeLink("sub\\..", "c"), makeLink("", "d")});
    ASSERT_EQ(m_links.load(m_dir.path() + "\\/ ", false), 1);
    EXPECT_EQ(m_links.folder(), m_dir.path());
    EXPECT_EQ(m_links.localPath(0), m_dir / "a.zip");
    EXPECT_EQ(m_links.localPath(1), m_dir / "passwd");
    EXPECT_EQ(m_links.link(2).destFile, "..");
    EXPECT_EQ(m_links.localPath(2), "");
    EXPECT_EQ(m_links.localPath(3), "");
    EXPECT_EQ(m_links.checkLink(2), kLinkError);
    EXPECT_EQ(m_links.removeWithFile(2), 0);
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.path()));
    EXPECT_EQ(m_links.lockHolder(Lock::Dialog).rfind("Tarnwick[", 0), 0u);
}

// A folder named in Japanese is held in UTF-8 on disk, while the program (and the settings
// file) name it in code page 932.
TEST_F(LinkListFile, AFolderWithAJapaneseNameIsFoundOnDisk) {
    const std::string utf8 = m_dir / "ダウンロード";
    std::filesystem::create_directory(utf8);
    TempFolder::writeFile(utf8 + "/brl.hlk", onDisk(makeLink("a.zip", "a")));
    TempFolder::writeFile(utf8 + "/a.zip", "kept");
    const std::string folder = m_dir.path() + "/" + jp("ダウンロード");
    ASSERT_EQ(m_links.load(folder, false), 1);
    EXPECT_EQ(m_links.folder(), folder);
    ASSERT_EQ(m_links.count(), 1);
    EXPECT_EQ(m_links.localPath(0), folder + "/a.zip");
    EXPECT_EQ(m_links.diskPath(0), utf8 + "/a.zip");
    m_links.replaceAll({makeLink("a.zip", "a"), makeLink("b.zip", "b")});
    ASSERT_EQ(m_links.save(), 0);
    EXPECT_EQ(TempFolder::readFile(utf8 + "/brl.hlk"),
              onDisk(makeLink("a.zip", "a")) + onDisk(makeLink("b.zip", "b")));
    EXPECT_EQ(m_links.removeWithFile(0), 0);
    EXPECT_FALSE(std::filesystem::exists(utf8 + "/a.zip"));
    EXPECT_TRUE(m_prompter.messages().empty());
}

// A list that was refused must hold nothing: it would delete another program's lock later.
TEST_F(LinkListFile, ARefusedLoadHoldsNoLockAndWritesNothing) {
    TempFolder other;
    TempFolder::writeFile(other / "dialog.lock", "Brindle[1]");
    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    EXPECT_EQ(m_links.load(other.path(), false), 0);
    EXPECT_FALSE(m_links.holdsDialogLock());
    EXPECT_FALSE(exists(m_dir / "dialog.lock")) << "the earlier folder's lock is given back";
    m_links.replaceAll({makeLink("x", "x")});
    EXPECT_EQ(m_links.save(), -1);
    EXPECT_EQ(TempFolder::readFile(other / "dialog.lock"), "Brindle[1]");
    EXPECT_FALSE(exists(other / "brl.hlk"));

    std::filesystem::remove(other / "dialog.lock");
    TempFolder::writeFile(other / "append.lock", "Brindle[2]");
    EXPECT_EQ(m_links.load(other.path(), false), 0);
    EXPECT_FALSE(exists(other / "dialog.lock"));
    EXPECT_EQ(m_links.load(other.path(), true), 1);
    EXPECT_TRUE(m_links.holdsDialogLock());
    EXPECT_FALSE(exists(other / "append.lock"));
}

TEST_F(LinkListFile, SaveKeepsRecordsAppendedAfterTheLoadByteForByte) {
    writeList({makeLink("a.zip", "a"), makeLink("b.zip", "b")});
    TempFolder::writeFile(m_dir / "tmp.hlk", "an earlier crashed save");
    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    // LF line ends and a key of its own: copied, not rewritten.
    const std::string appended =
        "\t//{{TOP\nDest: c.zip\nBrnd: 7\n\tEND}}//\n" + onDisk(makeLink("d.zip", "d"));
    ASSERT_TRUE(siblingAppend(m_dir.path(), appended));
    m_links.sortBy(CLinkList::Column::File, true);
    ASSERT_EQ(m_links.save(), 0);
    EXPECT_EQ(read("brl.hlk"),
              onDisk(makeLink("b.zip", "b")) + onDisk(makeLink("a.zip", "a")) + appended);
    EXPECT_EQ(read("tmp.hlk"), "an earlier crashed save");
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"brl.hlk", "tmp.hlk"}));
    EXPECT_TRUE(m_prompter.messages().empty());

    // Unchanged: the file is not touched.
    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    std::filesystem::remove(m_dir / "brl.hlk");
    EXPECT_EQ(m_links.save(), 0);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"tmp.hlk"});
}

TEST_F(LinkListFile, TheBusyQuestionRetriesCancelsOrWritesWithoutTakingTheOthersLock) {
    writeList({makeLink("a.zip", "a")});
    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    m_links.replace(0, makeLink("b.zip", "b"));
    TempFolder::writeFile(m_dir / "append.lock", "Brindle[4]");
    std::vector<Answer> answers = {Answer::Cancel, Answer::No, Answer::No, Answer::Yes};
    std::vector<std::string> asked;
    m_links.setBusyQuestion([&](const std::string& text) {
        asked.push_back(text);
        const Answer answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    });
    EXPECT_EQ(m_links.save(), -1);
    EXPECT_TRUE(m_links.isDirty());
    EXPECT_TRUE(m_links.holdsDialogLock());
    EXPECT_EQ(m_links.save(), 0);
    EXPECT_EQ(asked, std::vector<std::string>(4, jp("更新データファイルが他の作業で使用中です。\n"
                                                    "データを強制的に書き出しますか？\n")));
    EXPECT_EQ(read("brl.hlk"), onDisk(makeLink("b.zip", "b")));
    EXPECT_EQ(read("append.lock"), "Brindle[4]") << "a lock this list did not take stays";
    EXPECT_FALSE(exists(m_dir / "dialog.lock"));

    // A folder gone meanwhile is no busy lock: the save fails and says so.
    TempFolder gone;
    ASSERT_EQ(m_links.load(gone.path(), false), 1);
    m_links.replaceAll({});
    std::filesystem::remove_all(gone.path());
    EXPECT_EQ(m_links.save(), -1);
    EXPECT_EQ(asked.size(), 4u);
    EXPECT_EQ(m_prompter.messages(),
              std::vector<std::string>{jp("リンクリストを書き出せませんでした。")});
}

TEST_F(LinkListFile, AFileThatCannotBeReadWholeIsKeptAsideBeforeTheSave) {
    const std::string cut = "\t//{{TOP\r\nDest: c.zip\r\nTarg: http://h/";
    // A sibling that died in mid-append; then its next append runs into the cut line.
    for (const std::string& tail : {cut, cut + onDisk(makeLink("d", "d"))}) {
        writeList({makeLink("a.zip", "a"), makeLink("b.zip", "b")}, tail);
        const std::string original = read("brl.hlk");
        ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
        m_links.remove(0);
        ASSERT_EQ(m_links.save(), 0);
        EXPECT_EQ(TempFolder::readFile(m_links.damagedCopy()), original);
        EXPECT_NE(m_prompter.messages().back().find(m_links.damagedCopy()), std::string::npos);
    }
    EXPECT_EQ(m_links.damagedCopy(), m_dir / "brl.hlk_1.damaged");
    writeList({makeLink("a.zip", "a")}, "\r\n  \r\n"); // blanks after the records are no damage
    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    m_links.remove(0);
    ASSERT_EQ(m_links.save(), 0);
    EXPECT_EQ(m_prompter.messages().size(), 2u);
}

// A rename that fails must neither count as saved nor lose the new list.
TEST_F(LinkListFile, AFailedRenameKeepsTheNewListUnderItsTemporaryNameAndSaysWhere) {
    // brl.hlk becomes a folder that a file cannot replace, of the size loaded (no tail to copy).
    const std::string target = m_dir / "brl.hlk";
    const auto makeFolder = [&] {
        std::filesystem::create_directory(target);
        TempFolder::writeFile(target + "/inside", "x");
    };
    makeFolder();
    struct stat folder {};
    ::stat(target.c_str(), &folder);
    std::filesystem::remove_all(target);
    TempFolder::writeFile(target, std::string(static_cast<std::size_t>(folder.st_size), ' '));
    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    m_links.replaceAll({makeLink("a.zip", "a")});
    std::filesystem::remove(target);
    makeFolder();

    EXPECT_EQ(m_links.save(), -1);
    EXPECT_TRUE(m_links.isDirty());
    EXPECT_EQ(read("tmp.hlk"), onDisk(makeLink("a.zip", "a")));
    ASSERT_EQ(m_prompter.messages().size(), 1u);
    EXPECT_EQ(m_prompter.messages()[0].rfind(jp("リンクリストを書き出せませんでした。"), 0), 0u);
    EXPECT_NE(m_prompter.messages()[0].find(m_dir / "tmp.hlk"), std::string::npos);
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"brl.hlk", "tmp.hlk"}));
}

TEST_F(LinkListFile, NewFileNamesAreCheckedWithoutCreatingAnythingAndSortingComparesBytes) {
    TempFolder::writeFile(m_dir / "taken.zip", "x");
    std::filesystem::create_directory(m_dir / "sub");
    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    using Check = CLinkList::NameCheck;
    EXPECT_EQ(m_links.checkFileName("new.zip"), Check::Usable);
    EXPECT_EQ(m_links.checkFileName("taken.zip"), Check::Exists);
    const std::vector<std::string> unusable = {
        "", ".", "..", "a/b", "a\\b", "-rf", "sub", std::string(300, 'n'), std::string("a\0b", 3)};
    for (const std::string& name : unusable) {
        EXPECT_EQ(m_links.checkFileName(name), Check::Unusable) << name;
    }
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"dialog.lock", "sub", "taken.zip"}));

    m_links.replaceAll(
        {makeLink("1", "x", "\x82\xa0"), makeLink("2", "y", "b"), makeLink("3", "z", "a")});
    m_links.sortBy(CLinkList::Column::Name, false);
    EXPECT_EQ(m_links.link(0).destFile + m_links.link(1).destFile + m_links.link(2).destFile,
              "321");
}

// Another program rewrote the list (not appended to it): the bytes past the loaded size are no
// records of its own, and a rewrite of the same length is no unchanged file.
TEST_F(LinkListFile, AListRewrittenSinceTheLoadIsKeptAsideAndNothingOfItIsMerged) {
    writeList({makeLink("a.zip", "a"), makeLink("b.zip", "b")});
    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    m_links.remove(0);
    const std::string longer =
        onDisk(makeLink("x", "x")) + onDisk(makeLink("y", "y")) + onDisk(makeLink("z", "z"));
    TempFolder::writeFile(m_dir / "brl.hlk", longer);
    ASSERT_EQ(m_links.save(), 0);
    EXPECT_EQ(read("brl.hlk"), onDisk(makeLink("b.zip", "b")));
    EXPECT_EQ(m_links.damagedCopy(), m_dir / "brl.hlk.damaged");
    EXPECT_EQ(read("brl.hlk.damaged"), longer);
    ASSERT_EQ(m_prompter.messages().size(), 1u);
    EXPECT_EQ(m_prompter.messages()[0].rfind(jp("リンクリストファイルが読み込んだ後に"), 0), 0u);
    EXPECT_NE(m_prompter.messages()[0].find(m_dir / "brl.hlk.damaged"), std::string::npos);

    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    m_links.replace(0, makeLink("c.zip", "c"));
    const std::string sameSize = onDisk(makeLink("b.zip", "B"));
    TempFolder::writeFile(m_dir / "brl.hlk", sameSize);
    ASSERT_EQ(m_links.save(), 0);
    EXPECT_EQ(read("brl.hlk"), onDisk(makeLink("c.zip", "c")));
    EXPECT_EQ(read("brl.hlk_1.damaged"), sameSize);
    EXPECT_EQ(m_prompter.messages().size(), 2u);

    // What this list wrote itself is what the next save checks against: an append after it is
    // still merged.
    m_links.replace(0, makeLink("d.zip", "d"));
    ASSERT_EQ(m_links.save(), 0);
    ASSERT_TRUE(siblingAppend(m_dir.path(), onDisk(makeLink("e.zip", "e"))));
    m_links.replace(0, makeLink("f.zip", "f"));
    ASSERT_EQ(m_links.save(), 0);
    EXPECT_EQ(read("brl.hlk"), onDisk(makeLink("f.zip", "f")) + onDisk(makeLink("e.zip", "e")));
    EXPECT_EQ(m_prompter.messages().size(), 2u);
}

TEST_F(LinkListFile, AListOverTheCapIsRefusedAndNeverWritten) {
    const auto sizeTo = [&](std::int64_t size) {
        const int fd = ::open((m_dir / "brl.hlk").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        ::close(fd);
    };
    sizeTo(CLinkList::kMaxListBytes + 1);
    EXPECT_EQ(m_links.load(m_dir.path(), false), -1);
    ASSERT_EQ(m_prompter.messages().size(), 1u);
    EXPECT_EQ(m_prompter.messages()[0],
              jp("リンクリストファイルが大きすぎるため読み込めません（上限64MB）。\n"
                 "このフォルダのリンクは表示せず、ファイルも書き換えません。\n") +
                  (m_dir / "brl.hlk"));
    EXPECT_EQ(m_links.count(), 0);
    EXPECT_FALSE(m_links.holdsDialogLock());
    EXPECT_FALSE(m_links.isLoaded());
    m_links.replaceAll({makeLink("a.zip", "a")});
    EXPECT_EQ(m_links.save(), -1);
    EXPECT_EQ(std::filesystem::file_size(m_dir / "brl.hlk"),
              std::uintmax_t(CLinkList::kMaxListBytes + 1));
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"brl.hlk"});

    // A list of the largest size is read.
    std::filesystem::remove(m_dir / "brl.hlk");
    writeList({makeLink("a.zip", "a")});
    sizeTo(CLinkList::kMaxListBytes);
    EXPECT_EQ(m_links.load(m_dir.path(), false), 1);
    EXPECT_EQ(m_links.count(), 1);
    EXPECT_EQ(m_links.loadedFileSize(), CLinkList::kMaxListBytes);

    // A load given up half-way holds nothing.
    ASSERT_EQ(m_links.lockFolder(m_dir.path(), false), 1);
    m_links.cancelLoad();
    EXPECT_EQ(m_links.readList(), -1);
    EXPECT_EQ(m_links.count(), 0);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"brl.hlk"});
    EXPECT_EQ(m_prompter.messages().size(), 1u);
}

// A link must never name the list, its locks or the program's work files: downloading into one
// would put a server's page in place of the user's links.
TEST_F(LinkListFile, TheFoldersOwnFilesAreNoLinkFiles) {
    const std::vector<std::string> own = {
        "brl.hlk",           "BRL.HLK",   "Brl.hlk.",    "brl.hlk ",    "tmp.hlk",
        "tmp_12.hlk",        "TMP_1.HLK", "dialog.lock", "Append.Lock", "brl.hlk.damaged",
        "brl.hlk_3.damaged", "temp.tmp",  "temp_7.tmp",  "temp.html",   "TEMP_2.HTM"};
    const std::vector<std::string> others = {"brl.hlk.txt",  "mybrl.hlk",       "brl_1.hlk",
                                             "tmp_.hlk",     "tmp_1a.hlk",      "temp_x.tmp",
                                             "dialog.locks", "append.lock.bak", "damaged"};
    for (const std::string& name : own) {
        EXPECT_TRUE(CLinkList::isOwnFileName(name)) << name;
    }
    for (const std::string& name : others) {
        EXPECT_FALSE(CLinkList::isOwnFileName(name)) << name;
    }
    writeList({makeLink("C:\\dl\\brl.hlk", "a"), makeLink("Dialog.Lock", "b"),
               makeLink("mine.zip", "c")});
    const std::string list = read("brl.hlk");
    ASSERT_EQ(m_links.load(m_dir.path(), false), 1);
    EXPECT_EQ(m_links.localPath(0), "");
    EXPECT_EQ(m_links.localPath(1), "");
    EXPECT_EQ(m_links.localPath(2), m_dir / "mine.zip");
    EXPECT_EQ(m_links.checkLink(0), kLinkError);
    EXPECT_EQ(m_links.removeWithFile(1), 0);
    EXPECT_EQ(m_links.removeWithFile(0), 0);
    EXPECT_EQ(read("brl.hlk"), list);
    EXPECT_TRUE(exists(m_dir / "dialog.lock"));
    for (const char* name : {"brl.hlk", "APPEND.LOCK", "temp_1.tmp"}) {
        EXPECT_EQ(m_links.checkFileName(name), CLinkList::NameCheck::Unusable) << name;
    }
    ASSERT_EQ(m_links.save(), 0);
    EXPECT_EQ(read("brl.hlk"), onDisk(makeLink("mine.zip", "c")));
}

// The program names its paths in code page 932, the disk in UTF-8; files an earlier version
// wrote under their 932 bytes are still found.
TEST_F(LinkListFile, JapaneseFileNamesAreUtf8OnDiskAndOlderNamesAreStillFound) {
    const std::string utf8 = m_dir / "ダウンロード";
    std::filesystem::create_directory(utf8);
    const std::string folder = m_dir.path() + "/" + jp("ダウンロード");
    TempFolder::writeFile(utf8 + "/価格.html", "this version's");
    TempFolder::writeFile(utf8 + "/" + jp("古い.html"), "an earlier version's");
    std::string bytes;
    for (const char* name : {"価格.html", "古い.html", "新しい.zip"}) {
        bytes += onDisk(makeLink(jp(name), name));
    }
    TempFolder::writeFile(utf8 + "/brl.hlk", bytes);
    ASSERT_EQ(m_links.load(folder, false), 1);
    EXPECT_EQ(m_links.localPath(0), folder + "/" + jp("価格.html"));
    EXPECT_EQ(m_links.diskPath(0), utf8 + "/価格.html");
    EXPECT_EQ(m_links.diskPath(1), utf8 + "/" + jp("古い.html"));
    EXPECT_EQ(m_links.diskPath(2), utf8 + "/新しい.zip");
    using Check = CLinkList::NameCheck;
    EXPECT_EQ(m_links.checkFileName(jp("価格.html")), Check::Exists);
    EXPECT_EQ(m_links.checkFileName(jp("古い.html")), Check::Exists);
    EXPECT_EQ(m_links.checkFileName(jp("新しい.zip")), Check::Usable);
    // Its second byte is "\", yet "表" is no separator.
    EXPECT_EQ(m_links.checkFileName(jp("表.html")), Check::Usable);
    // 85 characters fit a 255-byte name on disk, 86 do not, while their 932 text is 172 bytes.
    std::string longName;
    for (int i = 0; i < 86; ++i) {
        longName += jp("あ");
    }
    EXPECT_EQ(m_links.checkFileName(longName), Check::Unusable);
    EXPECT_EQ(m_links.checkFileName(longName.substr(2)), Check::Usable);
    EXPECT_EQ(m_links.removeWithFile(1), 0);
    EXPECT_EQ(m_links.removeWithFile(0), 0);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(utf8)) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"brl.hlk", "dialog.lock"}));
}

// The list is read as the program's own files are: what cannot be read is refused at once,
// told, and never written over; a FIFO in its place holds nobody.
TEST_F(LinkListFile, AListThatCannotBeReadIsRefusedWithoutBlockingAndNeverWritten) {
    const std::string list = m_dir / "brl.hlk";
    const struct {
        const char* name;
        std::function<void()> make;
        const char* reason;
    } cases[] = {
        {"fifo", [&] { ::mkfifo(list.c_str(), 0600); }, "通常のファイルではありません"},
        {"folder", [&] { std::filesystem::create_directory(list); },
         "通常のファイルではありません"},
        {"no permission",
         [&] {
             writeList({makeLink("a.zip", "a")});
             ::chmod(list.c_str(), 0);
         },
         "アクセスが許可されていません"},
    };
    const bool root = ::geteuid() == 0;
    for (const auto& c : cases) {
        std::filesystem::remove_all(list);
        c.make();
        const auto type = std::filesystem::symlink_status(list).type();
        if (root) {
            // As an ordinary user, for whom the permission counts; the folder is theirs.
            ASSERT_EQ(::lchown(m_dir.path().c_str(), 65534, 65534), 0);
            ASSERT_EQ(::lchown(list.c_str(), 65534, 65534), 0);
        }
        const int code = runInChild([&] {
            if (root && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                         ::setresuid(65534, 65534, 65534) != 0)) {
                return 20;
            }
            ::alarm(30); // a read that waits for a writer ends the child as a failure
            FakePrompter prompter;
            CLinkList links(&prompter);
            if (links.load(m_dir.path(), false) != -1) {
                return 1;
            }
            if (prompter.messages() !=
                std::vector<std::string>{jp("リンクリストファイルを読み込めませんでした。\n") +
                                         jp(c.reason) + "\n" + list}) {
                return 2;
            }
            if (links.holdsDialogLock() || links.isLoaded() || links.count() != 0) {
                return 3;
            }
            links.replaceAll({makeLink("b.zip", "b")});
            return links.save() == -1 ? 0 : 4;
        });
        EXPECT_EQ(code, 0) << c.name;
        EXPECT_EQ(std::filesystem::symlink_status(list).type(), type) << c.name;
        EXPECT_EQ(folderEntries(), std::vector<std::string>{"brl.hlk"}) << c.name;
    }
}

TEST_F(LinkListFile, AFifoPutInPlaceOfTheListBeforeTheSaveDoesNotHoldIt) {
    writeList({makeLink("a.zip", "a")});
    const std::string list = m_dir / "brl.hlk";
    const int code = runInChild([&] {
        ::alarm(30);
        FakePrompter prompter;
        CLinkList links(&prompter);
        if (links.load(m_dir.path(), false) != 1) {
            return 1;
        }
        links.replace(0, makeLink("b.zip", "b"));
        std::filesystem::remove(list);
        if (::mkfifo(list.c_str(), 0600) != 0 || links.save() != -1) {
            return 2;
        }
        // Nothing to check the new list against: it is kept beside the FIFO.
        const std::vector<std::string>& told = prompter.messages();
        // The words blame the disk; the reason names what is really there.
        return told.size() == 1 && told[0].rfind(jp("ディスクの異常を検知しました。"), 0) == 0 &&
                       told[0].find(jp("理由: 通常のファイルではありません")) !=
                           std::string::npos &&
                       told[0].find(m_dir / "tmp.hlk") != std::string::npos
                   ? 0
                   : 3;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(std::filesystem::is_fifo(list));
    EXPECT_EQ(read("tmp.hlk"), onDisk(makeLink("b.zip", "b")));
}

TEST(LinkFolder, TheStoredDefaultMeansTheDownloadFolder) {
    for (const std::string stored : {"c:", "C:", "c:\\", "c: ", ""}) {
        EXPECT_EQ(CLinkList::effectiveFolder(stored, "/home/u/Downloads"), "/home/u/Downloads");
    }
    EXPECT_EQ(CLinkList::effectiveFolder("/data/links", "/d"), "/data/links");
    EXPECT_EQ(CLinkList::effectiveFolder("c:\\links", "/d"), "c:\\links");
}

} // namespace
} // namespace tw::test
