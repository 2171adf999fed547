#include "core/platform/DesktopShell.h"
#include "core/platform/DesktopSoundPlayer.h"
#include "core/util/Cp932.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::TempFolder;

/// A stand-in program that writes its process id, parent, folder and arguments to <out>, then
/// stays running while <out> exists (at most ten seconds); removing it, or the test's folder,
/// ends the program.
void writeRecorder(const std::string& path, const std::string& out) {
    std::string script =
        "#!/bin/sh\n"
        "OUT='" +
        out +
        "'\n"
        "{ echo $$; echo $PPID; pwd; for a in \"$@\"; do echo \"$a\"; done; }"
        " > \"$OUT.part\"\n"
        "mv \"$OUT.part\" \"$OUT\"\n"
        "i=0\n"
        "while [ -e \"$OUT\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n";
    TempFolder::writeFile(path, script);
    ::chmod(path.c_str(), 0755);
}

std::vector<std::string> waitForLines(const std::string& path) {
    for (int i = 0; i < 1000 && !std::filesystem::exists(path); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::vector<std::string> lines;
    std::istringstream in(TempFolder::readFile(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool hasNoChildren() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

class DesktopShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        m_savedPath = path ? path : "";
        std::filesystem::create_directory(m_temp / "bin");
        std::filesystem::create_directory(m_temp / "work");
        ::setenv("PATH", (m_temp / "bin:/usr/bin:/bin").c_str(), 1);
    }
    void TearDown() override { ::setenv("PATH", m_savedPath.c_str(), 1); }

    TempFolder m_temp;
    std::string m_savedPath;
    DesktopShell m_shell;
};

TEST_F(DesktopShellTest, OpenRunsXdgOpenDetachedInTheWorkingFolder) {
    const std::string out = m_temp / "out";
    writeRecorder(m_temp / "bin/xdg-open", out);
    ASSERT_TRUE(m_shell.open("http://127.0.0.1/a b.html", m_temp / "work"));
    const auto lines = waitForLines(out);
    ASSERT_EQ(lines.size(), 4u);
    // open() came back while the program still runs, and the program is not our child.
    const pid_t program = std::stoi(lines[0]);
    EXPECT_EQ(::kill(program, 0), 0);
    EXPECT_NE(std::stoi(lines[1]), ::getpid());
    EXPECT_EQ(lines[2], m_temp / "work");
    EXPECT_EQ(lines[3], "http://127.0.0.1/a b.html");
    EXPECT_TRUE(hasNoChildren());
    std::filesystem::remove(out);
}

TEST_F(DesktopShellTest, ARunFileIsOpenedUnderItsNameOnDisk) {
    // The item holds 932 text; the disk names the folder and the file in UTF-8, or, for a file
    // an earlier version wrote, the file under its 932 bytes.
    const std::string out = m_temp / "out";
    writeRecorder(m_temp / "bin/xdg-open", out);
    std::filesystem::create_directory(m_temp / "ソフト");
    TempFolder::writeFile(m_temp / "ソフト/表.txt", "x");
    ASSERT_TRUE(m_shell.open(jp("表.txt"), jp(m_temp / "ソフト/")));
    auto lines = waitForLines(out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], m_temp / "ソフト");
    EXPECT_EQ(lines[3], "表.txt");
    std::filesystem::remove(out);

    const std::string legacy = m_temp / "ソフト/" + jp("能.txt");
    TempFolder::writeFile(legacy, "x");
    ASSERT_TRUE(m_shell.open(jp("能.txt"), jp(m_temp / "ソフト")));
    lines = waitForLines(out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], m_temp / "ソフト");
    EXPECT_EQ(lines[3], jp("能.txt"));
    std::filesystem::remove(out);
}

TEST_F(DesktopShellTest, LaunchFindsTheExecutableInTheWorkingFolderFirst) {
    const std::string out = m_temp / "out";
    writeRecorder(m_temp / "work/Quaylink", out);
    ASSERT_TRUE(m_shell.launch("Quaylink", {"-x", "two words"}, m_temp / "work"));
    const auto lines = waitForLines(out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], m_temp / "work");
    EXPECT_EQ(lines[3], "-x");
    EXPECT_EQ(lines[4], "two words");
    std::filesystem::remove(out);
    EXPECT_TRUE(hasNoChildren());
}

TEST_F(DesktopShellTest, FailuresToStartAreReported) {
    writeRecorder(m_temp / "work/Quaylink", m_temp / "out");
    EXPECT_FALSE(m_shell.launch("Brindle", {}, m_temp / "work"));
    EXPECT_FALSE(m_shell.launch("Quaylink", {}, m_temp / "no-such-folder"));
    EXPECT_FALSE(m_shell.launch("", {}, ""));
    // No xdg-open anywhere on the path.
    ::setenv("PATH", (m_temp / "bin").c_str(), 1);
    EXPECT_FALSE(m_shell.open("http://127.0.0.1/", ""));
    // An executable that the system refuses to run (no interpreter).
    TempFolder::writeFile(m_temp / "work/Broken", "#!/no/such/interpreter\n");
    ::chmod((m_temp / "work/Broken").c_str(), 0755);
    EXPECT_FALSE(m_shell.launch("Broken", {}, m_temp / "work"));
    EXPECT_TRUE(hasNoChildren());
}

TEST(DesktopSoundPlayerTest, BareNamesAreLookedUpInTheDataThenTheShareFolder) {
    TempFolder data;
    TempFolder share;
    TempFolder::writeFile(share / "notify.wav", "RIFF");
    TempFolder::writeFile(share / "ring.wav", "RIFF");
    TempFolder::writeFile(data / "ring.wav", "RIFF");
    DesktopSoundPlayer player(data.path(), share.path());
    EXPECT_EQ(player.resolve("notify.wav"), share / "notify.wav");
    EXPECT_EQ(player.resolve("ring.wav"), data / "ring.wav");
    EXPECT_EQ(player.resolve(share / "notify.wav"), share / "notify.wav");
    EXPECT_EQ(player.resolve("missing.wav"), "");
    EXPECT_EQ(player.resolve(data / "missing.wav"), "");
    EXPECT_EQ(player.resolve(""), "");
}

TEST(DesktopSoundPlayerTest, JapaneseNamesAreFoundUnderTheirNamesOnDisk) {
    TempFolder temp;
    std::filesystem::create_directory(temp / "データ");
    TempFolder::writeFile(temp / "データ/通知.wav", "RIFF");
    TempFolder::writeFile(temp / "データ/" + jp("古い.wav"), "RIFF");
    DesktopSoundPlayer player(jp(temp / "データ"), temp.path());
    EXPECT_EQ(player.resolve(jp("通知.wav")), temp / "データ/通知.wav");
    EXPECT_EQ(player.resolve(jp(temp / "データ/通知.wav")), temp / "データ/通知.wav");
    EXPECT_EQ(player.resolve(jp("古い.wav")), temp / "データ/" + jp("古い.wav"));
}

} // namespace
} // namespace tw
