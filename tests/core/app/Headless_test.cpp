// The real program in its headless mode, run as an ordinary user so that permissions count
// also when the tests run as root.

#include "support/ChildProcess.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tw {
namespace {

using test::TempFolder;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

/// A schema 3 settings file with a mail server set.
const std::string kSettings = std::string("\x03\0\0\0\0\0\0\0\0\x02", 10) + "mx" +
                              std::string("\x19\0\0\0\0\x01\0\0\0\x02", 10) + "c:";

class HeadlessTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_temp / "home/comp");
        fs::create_directories(m_temp / "config");
        fs::create_directories(m_temp / "run");
        TempFolder::writeFile(m_temp / "home/TARNWICK.INI", kSettings);
    }

    /// Runs `tarnwick --headless --until-idle`; its exit code, its standard error in `errors`.
    int runProgram(std::string& errors) {
        const bool root = ::geteuid() == 0;
        if (root) {
            ::lchown(m_temp.path().c_str(), kNobody, kNobody);
            for (const auto& entry : fs::recursive_directory_iterator(m_temp.path())) {
                ::lchown(entry.path().c_str(), kNobody, kNobody);
            }
        }
        const std::string errorFile = m_temp / "stderr";
        const std::string env[] = {
            "TARNWICK_HOME=" + (m_temp / "home"), "XDG_CONFIG_HOME=" + (m_temp / "config"),
            "XDG_RUNTIME_DIR=" + (m_temp / "run"), "HOME=" + m_temp.path(), "LANG=C.UTF-8"};
        const int code = test::runInChild([&] {
            if (root &&
                (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
                 ::setresuid(kNobody, kNobody, kNobody) != 0)) {
                return 254;
            }
            const int fd = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int null = ::open("/dev/null", O_WRONLY);
            if (fd < 0 || null < 0 || ::dup2(fd, 2) < 0 || ::dup2(null, 1) < 0) {
                return 253;
            }
            std::vector<char*> envp;
            for (const std::string& entry : env) {
                envp.push_back(const_cast<char*>(entry.c_str()));
            }
            envp.push_back(nullptr);
            char* argv[] = {const_cast<char*>(TARNWICK_BINARY), const_cast<char*>("--headless"),
                            const_cast<char*>("--until-idle"), nullptr};
            ::execve(TARNWICK_BINARY, argv, envp.data());
            return 252;
        });
        errors = TempFolder::readFile(errorFile);
        return code;
    }

    TempFolder m_temp;
};

TEST_F(HeadlessTest, UnreadableSettingsFailTheRunAndStayAsTheyWere) {
    ::chmod((m_temp / "home/TARNWICK.INI").c_str(), 0);
    std::string errors;
    const int code = runProgram(errors);
    EXPECT_NE(code, 0);
    EXPECT_LT(code, 250) << "the program did not run";
    EXPECT_NE(errors.find("設定ファイルを読み込めませんでした"), std::string::npos) << errors;
    EXPECT_NE(errors.find("上書きしませんでした"), std::string::npos) << errors;
    fs::permissions(m_temp / "home/TARNWICK.INI", fs::perms::owner_read);
    EXPECT_EQ(TempFolder::readFile(m_temp / "home/TARNWICK.INI"), kSettings);
}

TEST_F(HeadlessTest, FailedFinalSavesAreToldAndFailTheRun) {
    // A data folder that cannot be written: neither the settings nor the list can be saved.
    TempFolder::writeFile(m_temp / "home/WatchList.twl", "");
    ::chmod((m_temp / "home").c_str(), 0500);
    std::string errors;
    const int code = runProgram(errors);
    ::chmod((m_temp / "home").c_str(), 0700);
    EXPECT_NE(code, 0);
    EXPECT_LT(code, 250) << "the program did not run";
    EXPECT_NE(errors.find("設定ファイルを保存できませんでした"), std::string::npos) << errors;
    EXPECT_NE(errors.find("ウォッチリストを保存できませんでした"), std::string::npos) << errors;
    EXPECT_EQ(TempFolder::readFile(m_temp / "home/TARNWICK.INI"), kSettings);
}

} // namespace
} // namespace tw
