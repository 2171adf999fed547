#include "core/app/CTarnwickApp.h"
#include "core/app/SettingsArchive.h"
#include "core/util/Cp932.h"
#include "support/ChildProcess.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <csignal>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <set>

namespace tw {
namespace {

using test::TempFolder;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int value : values) {
        out += static_cast<char>(value);
    }
    return out;
}

/// A schema 3 file written out by hand: all three string length forms appear.
std::string schema3File() {
    return bytes({3, 0, 0, 0}) +                               // application block schema
           bytes({0}) +                                        // reserved text ""
           bytes({1, 0, 0, 0}) +                               // linkDownloadOption 1
           bytes({2}) + "mx" +                                 // mail server, 1-byte length
           bytes({0x4B, 0x02, 0, 0}) +                         // mail port 587
           bytes({0xFF, 0x2C, 0x01}) + std::string(300, 'a') + // account, 16-bit length
           bytes({1, 0, 0, 0}) +                               // main window block schema
           bytes({0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}) +
           std::string(70000, 'f'); // link save folder, 32-bit length
}

/// Runs `body` in a child process as an ordinary user, so that permissions count also when the
/// tests run as root: then the child becomes uid and gid 65534, and `folder` is handed to it
/// first. The child's result, or 254 when it could not drop its rights.
template <typename Body>
int runUnprivileged(const std::string& folder, Body body) {
    const bool root = ::geteuid() == 0;
    if (root) {
        constexpr uid_t nobody = 65534;
        ::lchown(folder.c_str(), nobody, nobody);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            ::lchown(entry.path().c_str(), nobody, nobody);
        }
    }
    return test::runInChild([&] {
        if (root && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                     ::setresuid(65534, 65534, 65534) != 0)) {
            return 254;
        }
        return body();
    });
}

class SettingsFileTest : public ::testing::Test {
protected:
    SettingsFileTest() : m_app(m_prompter, paths()) {}

    AppPaths paths() const { return AppPaths{m_temp.path(), m_temp / "config", m_temp / "run"}; }
    void writeSettings(const std::string& content) {
        TempFolder::writeFile(m_app.settingsPath(), content);
    }
    void fillNonDefaults() {
        m_app.setMailServer({"old.example", 2525, "old@example"});
        m_app.linkDownloadOption = 5;
    }

    TempFolder m_temp;
    test::FakePrompter m_prompter;
    CTarnwickApp m_app;
};

TEST(SettingsArchiveTest, LengthFormsChangeAtTheirBoundaries) {
    const struct {
        std::size_t length;
        std::string prefix;
    } cases[] = {
        {0, bytes({0})},
        {254, bytes({0xFE})},
        {255, bytes({0xFF, 0xFF, 0x00})},
        {65533, bytes({0xFF, 0xFD, 0xFF})},
        {65534, bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
        {65535, bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00})},
    };
    for (const auto& c : cases) {
        SettingsArchive out;
        out.writeString(std::string(c.length, 'x'));
        EXPECT_EQ(out.bytes(), c.prefix + std::string(c.length, 'x')) << c.length;
        SettingsArchive in(out.bytes());
        std::string back;
        EXPECT_TRUE(in.readString(back));
        EXPECT_EQ(back.size(), c.length);
        EXPECT_EQ(in.remaining(), 0u);
    }
    SettingsArchive ints;
    ints.writeInt(-2);
    ints.writeInt(0x12345678);
    EXPECT_EQ(ints.bytes(), bytes({0xFE, 0xFF, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12}));
}

TEST(SettingsArchiveTest, Utf16StringsAreReadIntoCodePage932) {
    // "A" and HIRAGANA A, then a string after it that must still be in step.
    SettingsArchive in(bytes({0xFF, 0xFE, 0xFF, 0x02, 0x41, 0x00, 0x42, 0x30}) + bytes({1}) + "z");
    std::string text;
    ASSERT_TRUE(in.readString(text));
    EXPECT_EQ(text, "A" + jp("あ"));
    ASSERT_TRUE(in.readString(text));
    EXPECT_EQ(text, "z");
}

TEST_F(SettingsFileTest, FirstStartHasTheDefaults) {
    EXPECT_FALSE(m_app.loadSettings());
    EXPECT_EQ(m_app.mailServer().server, "");
    EXPECT_EQ(m_app.mailServer().port, 25);
    EXPECT_EQ(m_app.mailServer().account, "");
    EXPECT_EQ(m_app.linkDownloadOption, 0);
    EXPECT_EQ(m_app.linkSaveFolder, "c:");
}

TEST_F(SettingsFileTest, Schema3IsReadAndWrittenByteForByte) {
    writeSettings(schema3File());
    ASSERT_TRUE(m_app.loadSettings());
    EXPECT_EQ(m_app.linkDownloadOption, 1);
    EXPECT_EQ(m_app.mailServer().server, "mx");
    EXPECT_EQ(m_app.mailServer().port, 587);
    EXPECT_EQ(m_app.mailServer().account, std::string(300, 'a'));
    EXPECT_EQ(m_app.linkSaveFolder, std::string(70000, 'f'));

    std::filesystem::remove(m_app.settingsPath());
    m_app.reservedText = "never written";
    ASSERT_TRUE(m_app.saveSettings());
    EXPECT_EQ(TempFolder::readFile(m_app.settingsPath()), schema3File());
}

TEST_F(SettingsFileTest, Schema2SkipsAValueAndResetsTheMailSettings) {
    fillNonDefaults();
    writeSettings(bytes({2, 0, 0, 0, 0, 7, 0, 0, 0, 0x2A, 0, 0, 0, 1, 0, 0, 0, 4}) + "/srv");
    ASSERT_TRUE(m_app.loadSettings());
    EXPECT_TRUE(m_prompter.messages().empty());
    EXPECT_EQ(m_app.linkDownloadOption, 7);
    EXPECT_EQ(m_app.mailServer().server, "");
    EXPECT_EQ(m_app.mailServer().port, 25);
    EXPECT_EQ(m_app.mailServer().account, "");
    EXPECT_EQ(m_app.linkSaveFolder, "/srv");
}

TEST_F(SettingsFileTest, Schema1ReadsOnlyTheReservedTextAndTheMainWindowBlock) {
    fillNonDefaults();
    writeSettings(bytes({1, 0, 0, 0, 3}) + "old" + bytes({1, 0, 0, 0, 4}) + "/srv");
    ASSERT_TRUE(m_app.loadSettings());
    EXPECT_TRUE(m_prompter.messages().empty());
    EXPECT_EQ(m_app.reservedText, "old");
    EXPECT_EQ(m_app.linkDownloadOption, 5);
    EXPECT_EQ(m_app.mailServer().server, "");
    EXPECT_EQ(m_app.mailServer().port, 25);
    EXPECT_EQ(m_app.mailServer().account, "");
    EXPECT_EQ(m_app.linkSaveFolder, "/srv");
}

TEST_F(SettingsFileTest, TruncatedFilesKeepTheDefaultsFromTheBreakOn) {
    const std::string whole = bytes({3, 0, 0, 0, 0, 1, 0, 0, 0, 2}) + "mx" +
                              bytes({0x4B, 0x02, 0, 0, 0xFF, 0x2C, 0x01}) + std::string(300, 'a') +
                              bytes({1, 0, 0, 0, 4}) + "/srv";
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        SettingsArchive archive(whole.substr(0, cut));
        CTarnwickApp app(m_prompter, paths());
        app.deserializeSettings(archive);
        EXPECT_EQ(archive.failed(), true) << cut;
        // Every field is either whole or at its default, and none after a default is set.
        const bool fields[] = {app.linkDownloadOption == 1, app.mailServer().server == "mx",
                               app.mailServer().port == 587,
                               app.mailServer().account == std::string(300, 'a'),
                               app.linkSaveFolder == "/srv"};
        const bool defaults[] = {app.linkDownloadOption == 0, app.mailServer().server.empty(),
                                 app.mailServer().port == 25, app.mailServer().account.empty(),
                                 app.linkSaveFolder == "c:"};
        bool broken = false;
        for (int i = 0; i < 5; ++i) {
            EXPECT_TRUE(broken ? defaults[i] : fields[i] || defaults[i]) << cut << " " << i;
            broken = broken || !fields[i];
        }
    }
}

TEST_F(SettingsFileTest, HostileLengthsEndReadingThere) {
    const std::string hostile[] = {
        // 32-bit length of four billion for the mail server.
        bytes({3, 0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xF0, 0xFF, 0xFF, 0xFF}) + "mx",
        // UTF-16 string of two billion characters.
        bytes({3, 0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
        // 16-bit length beyond the end.
        bytes({3, 0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0x00, 0x10}) + "mx",
    };
    for (const std::string& content : hostile) {
        CTarnwickApp app(m_prompter, paths());
        TempFolder::writeFile(app.settingsPath(), content);
        EXPECT_FALSE(app.loadSettings());
        EXPECT_EQ(app.linkDownloadOption, 1);
        EXPECT_EQ(app.mailServer().server, "");
        EXPECT_EQ(app.mailServer().port, 25);
        EXPECT_EQ(app.mailServer().account, "");
        EXPECT_EQ(app.linkSaveFolder, "c:");
    }
}

TEST_F(SettingsFileTest, DamagedFileIsKeptAsideBeforeTheNextSaveReplacesIt) {
    const std::string damaged = bytes({3, 0, 0, 0, 0, 1, 0, 0, 0, 9}) + "mx";
    writeSettings(damaged);
    EXPECT_FALSE(m_app.loadSettings());
    EXPECT_EQ(TempFolder::readFile(m_temp / "TARNWICK-damaged.INI"), damaged);
    ASSERT_TRUE(m_app.saveSettings());
    EXPECT_TRUE(m_app.loadSettings());
    EXPECT_EQ(TempFolder::readFile(m_temp / "TARNWICK-damaged.INI"), damaged);
}

TEST_F(SettingsFileTest, SettingsThatCannotBeReadAreToldAndNeverWrittenOver) {
    const std::string settings = m_app.settingsPath();
    const std::string folder = m_temp.path();
    const std::string original = schema3File();
    // Not readable by its owner, a FIFO (which must not stop the start) and a folder.
    const struct {
        const char* name;
        std::function<void()> make;
    } cases[] = {
        {"no permission",
         [&] {
             TempFolder::writeFile(settings, original);
             ::chmod(settings.c_str(), 0);
         }},
        {"fifo", [&] { ::mkfifo(settings.c_str(), 0600); }},
        {"folder", [&] { std::filesystem::create_directory(settings); }},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(settings);
        c.make();
        const auto type = std::filesystem::symlink_status(settings).type();
        const int code = runUnprivileged(folder, [&] {
            ::alarm(30); // a read that waits for a writer ends the child as a failure
            test::FakePrompter prompter;
            CTarnwickApp app(prompter, paths());
            if (app.loadSettings() || prompter.messages().size() != 1 ||
                prompter.messages()[0].find(jp("設定ファイルを読み込めませんでした")) != 0) {
                return 1;
            }
            app.setMailServer({"defaults must not replace the file", 25, ""});
            if (app.saveSettings() || prompter.messages().size() != 2 ||
                prompter.messages()[1].find(settings) == std::string::npos) {
                return 2;
            }
            return 0;
        });
        EXPECT_EQ(code, 0) << c.name;
        EXPECT_EQ(std::filesystem::symlink_status(settings).type(), type) << c.name;
        std::filesystem::permissions(settings, std::filesystem::perms::owner_all);
        if (type == std::filesystem::file_type::regular) {
            EXPECT_EQ(TempFolder::readFile(settings), original) << c.name;
        }
        EXPECT_FALSE(std::filesystem::exists(m_temp / "TARNWICK-damaged.INI")) << c.name;
    }
}

TEST_F(SettingsFileTest, DamagedFilesAreKeptAsideAndAnnounced) {
    std::mt19937 random(13);
    std::string noise(300, '\0');
    for (char& ch : noise) {
        ch = static_cast<char>(random() & 0xFF);
    }
    // Each of these was read as sound before: the schema is not one any version writes, or
    // bytes follow the last field of a known layout. Fields read whole before the damage are
    // taken, as for a cut file; after a bad first schema there are none.
    const struct {
        std::string content;
        bool schemaRefused;
    } damaged[] = {
        {std::string(200, '\0'), false},
        {schema3File() + "trailing", false},
        {bytes({0x7F, 0, 0, 0x7F, 0, 1, 0, 0, 0, 0, 0x19, 0, 0, 0, 0, 1, 0, 0, 0, 0}), true},
        {bytes({3, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x19, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0}), false},
        {noise, true},
    };
    std::set<std::string> copies;
    for (const auto& [content, schemaRefused] : damaged) {
        test::FakePrompter prompter;
        CTarnwickApp app(prompter, paths());
        app.setMailServer({"kept", 25, ""});
        writeSettings(content);
        EXPECT_FALSE(app.loadSettings());
        if (schemaRefused) {
            EXPECT_EQ(app.mailServer().server, "kept");
        }
        const std::string copy = app.damagedSettingsCopy();
        ASSERT_FALSE(copy.empty());
        EXPECT_TRUE(copies.insert(copy).second) << "an earlier copy was overwritten";
        EXPECT_EQ(TempFolder::readFile(copy), content);
        ASSERT_EQ(prompter.messages().size(), 1u);
        EXPECT_NE(prompter.messages()[0].find(copy), std::string::npos);
        EXPECT_EQ(prompter.messages()[0].find(jp("設定ファイルが壊れていました")), 0u);
    }
    EXPECT_EQ(copies.count(m_temp / "TARNWICK-damaged.INI"), 1u);
    EXPECT_EQ(copies.count(m_temp / "TARNWICK-damaged_1.INI"), 1u);
    for (const std::string& copy : copies) {
        EXPECT_TRUE(std::filesystem::exists(copy));
    }
    // With its bytes kept, the damaged file may be replaced by sound settings.
    ASSERT_TRUE(m_app.loadSettings() || !m_app.damagedSettingsCopy().empty());
    ASSERT_TRUE(m_app.saveSettings());
    test::FakePrompter prompter;
    CTarnwickApp reader(prompter, paths());
    EXPECT_TRUE(reader.loadSettings());
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(SettingsFileTest, SettingsNeverLoadedDoNotReplaceAnExistingFile) {
    writeSettings(schema3File());
    m_app.setMailServer({"not read", 25, ""});
    EXPECT_FALSE(m_app.saveSettings());
    EXPECT_EQ(m_prompter.messages().size(), 1u);
    EXPECT_EQ(TempFolder::readFile(m_app.settingsPath()), schema3File());
    ASSERT_TRUE(m_app.loadSettings());
    EXPECT_TRUE(m_app.saveSettings());
}

TEST_F(SettingsFileTest, SaveReplacesTheFileWholeOrNotAtAll) {
    m_app.setMailServer({"first", 25, ""});
    ASSERT_TRUE(m_app.saveSettings());
    const std::string first = TempFolder::readFile(m_app.settingsPath());

    // When the new content cannot be written (a file-size limit fails the write part-way, as
    // a full disk would, also for root), the old file stays as it was.
    m_app.setMailServer({std::string(4096, 's'), 25, ""});
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(m_app.saveSettings() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save should have failed";
    EXPECT_EQ(TempFolder::readFile(m_app.settingsPath()), first);
    m_app.setMailServer({"second", 25, ""});

    ASSERT_TRUE(m_app.saveSettings());
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_temp.path())) {
        ++files;
    }
    EXPECT_EQ(files, 2); // config and TARNWICK.INI: no temporary file left
    CTarnwickApp reader(m_prompter, paths());
    ASSERT_TRUE(reader.loadSettings());
    EXPECT_EQ(reader.mailServer().server, "second");
}

} // namespace
} // namespace tw
