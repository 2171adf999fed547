#include "core/util/Cp932.h"
#include "core/util/TextUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tw;

namespace {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tw-util-XXXXXX";
        m_path = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(m_path); }
    const std::string& path() const { return m_path; }
    void touch(const std::string& name) const { std::ofstream(m_path + "/" + name) << "x"; }

private:
    std::string m_path;
};

} // namespace

TEST(TextUtil, SplitsPathsAndAddresses) {
    EXPECT_EQ(afterLast("a/b/c.html", '/'), "c.html");
    EXPECT_EQ(afterLast("plain", '/'), "plain");
    EXPECT_EQ(upToLast("a/b/c.html", '/'), "a/b/");
    EXPECT_EQ(upToLast("plain", '/'), "plain");
    EXPECT_EQ(schemeAndHost("http://host:8080/dir/page"), "http://host:8080");
    EXPECT_EQ(schemeAndHost("http://host"), "http://host");
    EXPECT_EQ(schemeAndHost("host/dir"), "");
}

TEST(TextUtil, ExtensionTakesLastDotAndCutsQuery) {
    EXPECT_EQ(extension("http://h/dir/page.cgi?x=1"), "cgi");
    EXPECT_EQ(extension("http://h/dir/page.cgi?v=1.5"), "5");
    EXPECT_EQ(extension("/a.b/file"), "");
    EXPECT_EQ(extension("/d/name."), "");
    // Paths handed over by other programs may still use backslashes.
    EXPECT_EQ(extension("C:\\a.b\\file"), "");
}

TEST(TextUtil, ChangeExtensionIgnoresDotsInFolders) {
    EXPECT_EQ(changeExtension("/a.b/file", "html"), "/a.b/file.html");
    EXPECT_EQ(changeExtension("/d/x.zip", "html"), "/d/x.html");
    EXPECT_EQ(changeExtension("noext", "txt"), "noext.txt");
}

TEST(TextUtil, StripCounterRemovesOnlyNumericSuffix) {
    EXPECT_EQ(stripCounter("/d/page_12.html"), "/d/page.html");
    EXPECT_EQ(stripCounter("/d/my_page.html"), "/d/my_page.html");
    EXPECT_EQ(stripCounter("/d/page_.html"), "/d/page.html");
    EXPECT_EQ(stripCounter("/d/page_3"), "/d/page");
    EXPECT_EQ(stripCounter("/d/a_1.b_2.txt"), "/d/a_1.b.txt");
    // A bare name stays a bare name.
    EXPECT_EQ(stripCounter("page_2.html"), "page.html");
    EXPECT_EQ(stripCounter("page.html"), "page.html");
    EXPECT_EQ(stripCounter("sub/page_2.html"), "sub/page.html");
}

TEST(TextUtil, UniqueFileNameNumbersPastTakenNames) {
    TempDir dir;
    const std::string base = dir.path() + "/temp.tmp";
    EXPECT_EQ(uniqueFileName(base), base);
    dir.touch("temp.tmp");
    dir.touch("temp_1.tmp");
    EXPECT_EQ(uniqueFileName(base), dir.path() + "/temp_2.tmp");
    dir.touch("noext");
    EXPECT_EQ(uniqueFileName(dir.path() + "/noext"), dir.path() + "/noext_1");
    EXPECT_EQ(uniqueFileName("/no/such/folder/x.txt"), "/no/such/folder/x.txt");

    // A dangling symlink and a file nobody may read are taken names too.
    const std::string page = dir.path() + "/page.html";
    ASSERT_EQ(::symlink((dir.path() + "/elsewhere").c_str(), page.c_str()), 0);
    dir.touch("page_1.html");
    ::chmod((dir.path() + "/page_1.html").c_str(), 0);
    EXPECT_EQ(uniqueFileName(page), dir.path() + "/page_2.html");
}

TEST(TextUtil, ValidateSaveFolderCodes) {
    TempDir dir;
    std::string text;
    EXPECT_EQ(validateSaveFolder(text), 1);
    EXPECT_EQ(text, jp("保存用のフォルダが指定されていません。"));

    // The words blame the name; the reason says what is really wrong with it.
    text = dir.path() + "/missing";
    EXPECT_EQ(validateSaveFolder(text), 2);
    EXPECT_EQ(text, jp("保存用のフォルダ名が不正です。\n理由: ファイルまたはフォルダがありません"));

    dir.touch("file");
    text = dir.path() + "/file";
    EXPECT_EQ(validateSaveFolder(text), 3);
    text = dir.path() + "/file/below";
    EXPECT_EQ(validateSaveFolder(text), 2);
    EXPECT_EQ(text, jp("保存用のフォルダ名が不正です。\n理由: フォルダではありません"));

    text = dir.path();
    EXPECT_EQ(validateSaveFolder(text), 0);
    EXPECT_EQ(text, dir.path());

    if (::geteuid() != 0) { // root can write anywhere
        ::chmod(dir.path().c_str(), 0500);
        text = dir.path();
        EXPECT_EQ(validateSaveFolder(text), 4);
        ::chmod(dir.path().c_str(), 0700);
    }
}

TEST(TextUtil, ValidateSaveFolderRefusesAReadOnlyMount) {
    // A read-only bind mount in a namespace of its own refuses writing to root as well. The
    // child reports the code as its exit status.
    TempDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            ::_exit(100);
        }
        auto put = [](const char* file, const std::string& value) { std::ofstream(file) << value; };
        put("/proc/self/setgroups", "deny");
        put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        const char* folder = dir.path().c_str();
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(folder, folder, nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            ::_exit(101);
        }
        std::string text = dir.path();
        const int code = validateSaveFolder(text);
        ::_exit(code == 4 && text == jp("保存用のフォルダが読み取り専用です。") ? 4 : 102);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4) << "100: no namespace, 101: no mount, 102: wrong code";
}

TEST(TextUtil, UrlEncodingRoundTripsAndDecodesLeniently) {
    EXPECT_EQ(urlEncode("a b&c"), "a+b%26c");
    EXPECT_EQ(urlEncode("X-A: 1\r\n"), "X%2dA%3a+1%0d%0a");
    EXPECT_EQ(urlEncode("\x82\xa0_z9"), "%82%a0_z9");
    EXPECT_EQ(urlDecode("a+b%26c"), "a b&c");
    EXPECT_EQ(urlDecode("ab%"), "ab");
    EXPECT_EQ(urlDecode("ab%4"), "ab");
    EXPECT_EQ(urlDecode("%4A%4a"), "JJ");
    // Digits are not validated: "%zz" still yields a byte and the rest is kept.
    EXPECT_EQ(urlDecode("%zzq").size(), 2u);
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all += static_cast<char>(i);
    }
    EXPECT_EQ(urlDecode(urlEncode(all)), all);
}

TEST(TextUtil, Base64PadsLastGroup) {
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("a"), "YQ==");
    EXPECT_EQ(base64Encode("ab"), "YWI=");
    EXPECT_EQ(base64Encode("abc"), "YWJj");
    EXPECT_EQ(base64Encode("user:pass"), "dXNlcjpwYXNz");
    EXPECT_EQ(base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(TextUtil, ParseIntFollowsAtoiAndSaturates) {
    EXPECT_EQ(parseInt("  -42xyz"), -42);
    EXPECT_EQ(parseInt("+7"), 7);
    EXPECT_EQ(parseInt("x1"), 0);
    EXPECT_EQ(parseInt(""), 0);
    EXPECT_EQ(parseInt("99999999999999"), INT_MAX);
    EXPECT_EQ(parseInt("-99999999999999"), INT_MIN);
    EXPECT_EQ(parseInt("-2147483648"), INT_MIN);
    EXPECT_EQ(parseInt64("4102444800"), 4102444800LL);
    EXPECT_EQ(parseInt64("-99999999999999999999999"), LLONG_MIN);
}

TEST(TextUtil, ProgramFolderFollowsEnvironment) {
    TempDir dir;
    const char* saved = std::getenv("TARNWICK_HOME");
    const std::string savedValue = saved ? saved : "";
    ::setenv("TARNWICK_HOME", (dir.path() + "/home/").c_str(), 1);
    EXPECT_EQ(programFolder(), dir.path() + "/home");
    EXPECT_TRUE(fs::is_directory(dir.path() + "/home"));
    ::unsetenv("TARNWICK_HOME");
    const char* savedXdg = std::getenv("XDG_DATA_HOME");
    const std::string savedXdgValue = savedXdg ? savedXdg : "";
    ::setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(programFolder(), dir.path() + "/tarnwick");
    if (savedXdg) {
        ::setenv("XDG_DATA_HOME", savedXdgValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
    if (saved) {
        ::setenv("TARNWICK_HOME", savedValue.c_str(), 1);
    }
}

TEST(Cp932, ConvertsBothWaysAndReportsLoss) {
    bool lossless = false;
    EXPECT_EQ(toCp932("あ", &lossless), "\x82\xa0");
    EXPECT_TRUE(lossless);
    EXPECT_EQ(fromCp932("\x82\xa0"), "あ");
    EXPECT_EQ(toCp932("\\"), "\\");
    EXPECT_EQ(toCp932("①"), "\x87\x40");
    toCp932("한", &lossless);
    EXPECT_FALSE(lossless);
}

TEST(AsciiCase, FoldsOnlyAsciiLetters) {
    // Code page 932 trail bytes and UTF-8 bytes above 0x7F stay as they are.
    const std::string mixed = "HTTP://\x83\x41\x8A\xBF/\xC3\x80Z";
    EXPECT_EQ(asciiLower(mixed), "http://\x83\x61\x8A\xBF/\xC3\x80z");
    EXPECT_EQ(asciiLower('@'), '@');
    EXPECT_EQ(asciiLower('['), '[');
    EXPECT_TRUE(equalsIgnoringAsciiCase("Content-Length", "content-LENGTH"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("\xC3\x80", "\xC3\xA0"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("abc", "abcd"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("a@", "a`"));
}
