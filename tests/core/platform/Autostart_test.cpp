#include "core/platform/Autostart.h"
#include "core/util/Cp932.h"
#include "support/ChildProcess.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {
namespace {

using test::TempFolder;

TEST(Autostart, TheEntryStartsTheProgramInTheTrayAndIsRemovedAgain) {
    TempFolder temp;
    const std::string config = temp / "config"; // missing: made on the way
    ASSERT_EQ(setAutostart(config, true, "/opt/tw/bin/tarnwick"), "");
    const std::string file = autostartFile(config);
    EXPECT_EQ(file, config + "/autostart/tarnwick.desktop");
    const std::string entry = TempFolder::readFile(file);
    EXPECT_TRUE(entry.starts_with("[Desktop Entry]\nType=Application\nName=Tarnwick\n")) << entry;
    EXPECT_NE(entry.find("\nExec=\"/opt/tw/bin/tarnwick\" --tray\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nX-GNOME-Autostart-Delay=10\n"), std::string::npos);
    EXPECT_NE(entry.find("\nIcon=tarnwick\n"), std::string::npos);
    EXPECT_TRUE(autostartEnabled(file));
    struct stat info {};
    ASSERT_EQ(::stat(config.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    ASSERT_EQ(setAutostart(config, false, "/opt/tw/bin/tarnwick"), "");
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(autostartEnabled(file));
    // Removing what is not there is no failure.
    EXPECT_EQ(setAutostart(config, false, ""), "");
}

TEST(Autostart, AnExecLineQuotesEveryCharacterTheEntryWouldReadOtherwise) {
    // A space, a quote, a dollar, a backquote and a backslash: quoted, escaped for the quoting
    // and then for the string value (the backslash twice over).
    const std::string entry = autostartEntry("/home/a b/\"x\"$y`\\z/tarnwick");
    EXPECT_NE(
        entry.find("\nExec=\"/home/a b/\\\\\"x\\\\\"\\\\$y\\\\`\\\\\\\\z/tarnwick\" --tray\n"),
        std::string::npos)
        << entry;
    // No way to write these in an Exec line, nor a relative program.
    EXPECT_EQ(autostartEntry("/home/a\nb/tarnwick"), "");
    EXPECT_EQ(autostartEntry("/home/100%/tarnwick"), "");
    EXPECT_EQ(autostartEntry("tarnwick"), "");
    EXPECT_EQ(autostartEntry(""), "");
    TempFolder temp;
    const std::string message = setAutostart(temp.path(), true, "/a\tb");
    EXPECT_NE(message.find(jp("書けない文字")), std::string::npos) << fromCp932(message);
    EXPECT_FALSE(std::filesystem::exists(autostartFile(temp.path())));
}

TEST(Autostart, AnEntryTheUserTurnedOffCountsAsOff) {
    TempFolder temp;
    const std::string file = autostartFile(temp.path());
    std::filesystem::create_directories(temp / "autostart");
    TempFolder::writeFile(file, "[Desktop Entry]\nExec=tarnwick\nHidden = true\n");
    EXPECT_FALSE(autostartEnabled(file));
    TempFolder::writeFile(file,
                          "[Desktop Entry]\nExec=tarnwick\nX-GNOME-Autostart-enabled=false\n");
    EXPECT_FALSE(autostartEnabled(file));
    // A key of another group is not the entry's.
    TempFolder::writeFile(file,
                          "[Desktop Entry]\nExec=tarnwick\n[Desktop Action x]\nHidden=true\n");
    EXPECT_TRUE(autostartEnabled(file));
    TempFolder::writeFile(file, "[Desktop Entry]\r\nExec=tarnwick --tray\r\nHidden=false\r\n");
    EXPECT_TRUE(autostartEnabled(file));
    // A folder in its place starts nothing.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_FALSE(autostartEnabled(file));
}

TEST(Autostart, AFolderThatCannotBeMadeIsToldWithTheReason) {
    TempFolder temp;
    TempFolder::writeFile(temp / "config", "a file where the folder should be");
    const std::string message = setAutostart(temp / "config", true, "/usr/bin/tarnwick");
    EXPECT_NE(message.find(jp("ログイン時に起動する設定にできませんでした。")), std::string::npos);
    EXPECT_NE(message.find(jp("理由: フォルダではありません")), std::string::npos)
        << fromCp932(message);
}

TEST(Autostart, AReadOnlyFolderIsToldWithTheReasonAndKeepsTheEntry) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "a user namespace needs a single-threaded process";
#endif
    // A read-only bind mount in a namespace of its own refuses root as well.
    TempFolder temp;
    const std::string config = temp / "config";
    ASSERT_EQ(setAutostart(config, true, "/usr/bin/tarnwick"), "");
    const std::string folder = config + "/autostart";
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
            ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
                0) {
            return 101;
        }
        const std::string off = setAutostart(config, false, "");
        const std::string on = setAutostart(config, true, "/opt/other/tarnwick");
        const std::string reason = jp("理由: 読み取り専用のファイルシステムです");
        if (off.find(jp("ログイン時に起動しない設定にできませんでした。")) != 0 ||
            off.find(reason) == std::string::npos) {
            return 1;
        }
        if (on.find(reason) == std::string::npos) {
            return 2;
        }
        return autostartEnabled(autostartFile(config)) ? 0 : 3;
    });
    EXPECT_EQ(code, 0) << "100: no namespace, 101: no mount, 1: removal, 2: writing, 3: lost";
    EXPECT_NE(TempFolder::readFile(autostartFile(config)).find("/usr/bin/tarnwick"),
              std::string::npos);
}

TEST(Autostart, TheRunningProgramIsAnAbsolutePath) {
    const std::string program = runningProgram();
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(program.front(), '/');
    EXPECT_TRUE(std::filesystem::equivalent(program, "/proc/self/exe"));
}

} // namespace
} // namespace tw
