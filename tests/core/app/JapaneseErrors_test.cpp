// What the user is told about the program's own files: Japanese reasons, never the system's
// English texts, and Japanese folder names found where the disk has them.

#include "core/app/CTarnwickApp.h"
#include "core/util/Cp932.h"
#include "support/ChildProcess.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tw {
namespace {

using test::TempFolder;

bool holds(const std::string& message, const char* utf8) {
    return message.find(jp(utf8)) != std::string::npos;
}

/// True when no English system text ("No such file or directory", "Permission denied", ...)
/// stands in the message: every byte below 0x80 after the path is a line break or a blank.
bool noEnglishReason(const std::string& message) {
    for (const char* english : {"No such", "Permission", "No space", "Is a directory",
                                "Not a directory", "Read-only", "Invalid", "too large"}) {
        if (message.find(english) != std::string::npos) {
            return false;
        }
    }
    return true;
}

class JapaneseErrorsTest : public ::testing::Test {
protected:
    AppPaths paths(const std::string& program) const {
        return AppPaths{program, m_temp / "config", m_temp / "run"};
    }

    TempFolder m_temp;
};

TEST_F(JapaneseErrorsTest, SettingsFileProblemsGiveJapaneseReasons) {
    // A folder where the settings file should be.
    std::filesystem::create_directory(m_temp / "TARNWICK.INI");
    {
        test::FakePrompter prompter;
        CTarnwickApp app(prompter, paths(m_temp.path()));
        EXPECT_FALSE(app.loadSettings());
        ASSERT_EQ(prompter.messages().size(), 1u);
        EXPECT_TRUE(holds(prompter.messages()[0], "理由: 通常のファイルではありません"));
        EXPECT_TRUE(noEnglishReason(prompter.messages()[0])) << prompter.messages()[0];
    }
    std::filesystem::remove(m_temp / "TARNWICK.INI");

    // A FIFO in its place is no settings file either.
    ASSERT_EQ(::mkfifo((m_temp / "TARNWICK.INI").c_str(), 0600), 0);
    {
        test::FakePrompter prompter;
        CTarnwickApp app(prompter, paths(m_temp.path()));
        EXPECT_FALSE(app.loadSettings());
        ASSERT_EQ(prompter.messages().size(), 1u);
        EXPECT_TRUE(holds(prompter.messages()[0], "理由: 通常のファイルではありません"));
        EXPECT_TRUE(noEnglishReason(prompter.messages()[0])) << prompter.messages()[0];
    }
    std::filesystem::remove(m_temp / "TARNWICK.INI");

    // A file cut short: the kept copy is announced with what was wrong.
    TempFolder::writeFile(m_temp / "TARNWICK.INI", std::string("\x03\x00\x00\x00\x00\x01", 6));
    {
        test::FakePrompter prompter;
        CTarnwickApp app(prompter, paths(m_temp.path()));
        EXPECT_FALSE(app.loadSettings());
        ASSERT_EQ(prompter.messages().size(), 1u);
        EXPECT_TRUE(holds(prompter.messages()[0], "理由: ファイルが途中で終わっています"));
    }

    // The data folder has gone: the save says why it failed.
    {
        test::FakePrompter prompter;
        CTarnwickApp app(prompter, paths(m_temp / "gone"));
        app.loadSettings();
        EXPECT_FALSE(app.saveSettings());
        ASSERT_EQ(prompter.messages().size(), 1u);
        EXPECT_TRUE(holds(prompter.messages()[0], "理由: ファイルまたはフォルダがありません"))
            << prompter.messages()[0];
    }
}

TEST_F(JapaneseErrorsTest, PermissionDeniedIsJapaneseAlsoWhenTestsRunAsRoot) {
    TempFolder::writeFile(m_temp / "TARNWICK.INI", "x");
    ::chmod((m_temp / "TARNWICK.INI").c_str(), 0);
    if (::geteuid() == 0) {
        // The folder becomes the ordinary user's; the file stays closed to its owner.
        ASSERT_EQ(::lchown(m_temp.path().c_str(), 65534, 65534), 0);
        ASSERT_EQ(::lchown((m_temp / "TARNWICK.INI").c_str(), 65534, 65534), 0);
    }
    const int code = test::runInChild([&] {
        // An ordinary user, for whom the permission counts.
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
             ::setresuid(65534, 65534, 65534) != 0)) {
            return 100;
        }
        test::FakePrompter prompter;
        CTarnwickApp app(prompter, paths(m_temp.path()));
        if (app.loadSettings() || prompter.messages().size() != 1) {
            return 1;
        }
        const std::string message = prompter.messages()[0];
        return holds(message, "理由: アクセスが許可されていません") && noEnglishReason(message) ? 0
                                                                                                : 2;
    });
    EXPECT_EQ(code, 0) << "100: could not drop root, 1: not refused, 2: wrong text";
}

TEST_F(JapaneseErrorsTest, AFullDiskIsJapanese) {
#ifdef __SANITIZE_THREAD__
    // ThreadSanitizer's own thread lives on in the forked child, and a process with more than
    // one thread cannot enter a user namespace; the other builds run this test.
    GTEST_SKIP() << "a user namespace needs a single-threaded process";
#endif
    // A small file system of the test's own (a tmpfs in a user and mount namespace, which needs
    // no root) is filled to the brim; saving the settings then meets a full disk.
    const std::string folder = m_temp / "small";
    std::filesystem::create_directory(folder);
    const int code = test::runInChild([&] {
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return 100;
        }
        auto put = [](const char* file, const std::string& value) { std::ofstream(file) << value; };
        put("/proc/self/setgroups", "deny");
        put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return 101;
        }
        {
            std::ofstream fill(folder + "/fill", std::ios::binary);
            const std::string block(4096, 'f');
            for (int i = 0; i < 64 && fill.write(block.data(), block.size()); ++i) {
            }
        }
        test::FakePrompter prompter;
        CTarnwickApp app(prompter, paths(folder));
        app.loadSettings();
        app.setMailServer({std::string(8192, 'm'), 25, ""});
        if (app.saveSettings() || prompter.messages().size() != 1) {
            return 1;
        }
        const std::string message = prompter.messages()[0];
        return holds(message, "理由: ディスクの空きがありません") && noEnglishReason(message) ? 0
                                                                                              : 2;
    });
    EXPECT_EQ(code, 0) << "100: no namespace, 101: no tmpfs, 1: saved, 2: wrong text";
}

TEST_F(JapaneseErrorsTest, AKeyThatCannotBeMadeSaysWhyInJapanese) {
    TempFolder::writeFile(m_temp / "config", "not a folder");
    test::FakePrompter prompter;
    CTarnwickApp app(prompter, paths(m_temp.path()));
    ASSERT_FALSE(prompter.messages().empty());
    for (const std::string& message : prompter.messages()) {
        EXPECT_TRUE(holds(message, "フォルダではありません")) << message;
        EXPECT_TRUE(noEnglishReason(message)) << message;
    }
}

TEST_F(JapaneseErrorsTest, AJapaneseDataFolderIsUsedUnderItsUtf8Name) {
    std::filesystem::create_directory(m_temp / "データ");
    const std::string program = jp(m_temp / "データ");
    test::FakePrompter prompter;
    {
        CTarnwickApp app(prompter, paths(program));
        ASSERT_TRUE(app.initInstance())
            << (prompter.messages().empty() ? std::string() : fromCp932(prompter.messages()[0]));
        app.loadSettings();
        app.setMailServer({"mx", 25, ""});
        EXPECT_TRUE(app.saveSettings());
        // The sibling programs read the folder as 932 text, as they always did.
        EXPECT_EQ(app.ownKey.readString("Position"), program);
        app.exitInstance();
    }
    EXPECT_TRUE(std::filesystem::is_directory(m_temp / "データ/comp"));
    EXPECT_TRUE(std::filesystem::is_regular_file(m_temp / "データ/TARNWICK.INI"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_temp.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"config", "run", "データ"}));
    EXPECT_TRUE(prompter.messages().empty());
}

} // namespace
} // namespace tw
