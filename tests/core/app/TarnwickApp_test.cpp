#include "core/app/CTarnwickApp.h"
#include "core/net/CFetch.h"
#include "core/platform/Event.h"
#include "core/platform/RuntimeFolder.h"
#include "core/util/Cp932.h"
#include "support/ChildProcess.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::TempFolder;

class PassThroughConverter : public CodeConverter {
public:
    bool convert(int from, int to, std::string_view in, std::string& out) override {
        out.assign(in);
        return from == to;
    }
};

class TarnwickAppTest : public ::testing::Test {
protected:
    AppPaths paths(const std::string& program) const {
        return AppPaths{program, m_temp / "config", m_temp / "run"};
    }
    AppPaths paths() const { return paths(m_temp / "home"); }
    void SetUp() override { std::filesystem::create_directory(m_temp / "home"); }

    std::string value(const std::string& key, const std::string& name) const {
        const std::string file = m_temp / ("config/Orvane/" + key + "/" + name);
        return std::filesystem::exists(file) ? TempFolder::readFile(file) : "<missing>";
    }

    TempFolder m_temp;
    test::FakePrompter m_prompter;
};

TEST_F(TarnwickAppTest, TheFourKeysAreOpenedAndOnlyWritableOnesCreated) {
    CTarnwickApp app(m_prompter, paths());
    EXPECT_TRUE(app.ownKey.opened());
    EXPECT_TRUE(app.quaylinkKey.opened());
    EXPECT_TRUE(app.locationKey.opened());
    EXPECT_FALSE(app.brindleKey.opened());
    EXPECT_TRUE(app.brindleKey.readOnly());
    EXPECT_EQ(app.ownKey.folder(), m_temp / "config/Orvane/Tarnwick");
    EXPECT_EQ(app.quaylinkKey.folder(), m_temp / "config/Orvane/brlHelper");
    EXPECT_EQ(app.locationKey.folder(), m_temp / "config/Orvane/Location");
    EXPECT_FALSE(std::filesystem::exists(m_temp / "config/Orvane/Brindle"));
    EXPECT_TRUE(m_prompter.messages().empty());

    app.setState("hide");
    EXPECT_EQ(value("Tarnwick", "State"), "hide");
}

TEST_F(TarnwickAppTest, KeysThatCannotBeCreatedAreReportedAndLeftUnusable) {
    TempFolder::writeFile(m_temp / "config", "not a folder");
    {
        CTarnwickApp app(m_prompter, paths());
        EXPECT_FALSE(app.ownKey.opened());
        EXPECT_FALSE(app.quaylinkKey.opened());
        EXPECT_FALSE(app.locationKey.opened());
        // One message per writable key; the read-only one fails silently.
        EXPECT_EQ(m_prompter.messages().size(), 3u);
        app.setState("opened");
        EXPECT_EQ(app.ownKey.readString("State"), "");
    }
}

TEST_F(TarnwickAppTest, VersionNumbers) {
    EXPECT_EQ(CTarnwickApp::versionNumber("1.20"), 120);
    EXPECT_EQ(CTarnwickApp::versionNumber("1.5"), 15);
    EXPECT_EQ(CTarnwickApp::versionNumber("1.2.3"), 12);
    EXPECT_EQ(CTarnwickApp::versionNumber("120"), 0);
    EXPECT_EQ(CTarnwickApp::versionNumber(""), 0);
    CTarnwickApp app(m_prompter, paths());
    EXPECT_EQ(app.ownVersionNumber(), 120);
}

TEST_F(TarnwickAppTest, StartUpMakesCompWritesPositionAndVersionAndShutdownSetsClosed) {
    CTarnwickApp app(m_prompter, paths());
    app.setConverterFactory([] { return std::make_unique<PassThroughConverter>(); });
    bool ranWindow = false;
    const int code = app.run([&] {
        ranWindow = true;
        EXPECT_TRUE(std::filesystem::is_directory(m_temp / "home/comp"));
        EXPECT_EQ(value("Tarnwick", "Position"), m_temp / "home");
        EXPECT_EQ(value("Tarnwick", "Version"), "1.20");
        EXPECT_NE(app.codeConverter(), nullptr);
        EXPECT_TRUE(app.messageBus().running());
        app.setState("opened");
        app.saveSettings();
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(ranWindow);
    EXPECT_EQ(value("Tarnwick", "State"), "closed");
    EXPECT_EQ(app.codeConverter(), nullptr);
    EXPECT_FALSE(app.messageBus().running());
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(TarnwickAppTest, HistoryBoundsComeFromTarnwickConf) {
    const std::string conf = m_temp / "home/tarnwick.conf";
    const auto mb = [](std::int64_t megabytes) { return megabytes << 20; };
    const auto startWith = [&](const std::string& text) {
        TempFolder::writeFile(conf, text);
        CTarnwickApp app(m_prompter, paths());
        app.setConverterFactory([] { return std::make_unique<PassThroughConverter>(); });
        EXPECT_TRUE(app.initInstance());
        const HistoryLimits limits = app.historyLimits();
        app.exitInstance();
        return std::make_pair(limits.versions, limits.maxBytes);
    };
    EXPECT_EQ(startWith(""), std::make_pair(20, mb(200)));
    EXPECT_EQ(startWith("[history]\nversions=5\nmax_mb = 3\n"), std::make_pair(5, mb(3)));
    EXPECT_EQ(startWith("[history]\nversions=0\n"), std::make_pair(0, mb(200)));
    // Out of range or not a number: the default.
    EXPECT_EQ(startWith("[history]\nversions=-1\nmax_mb=0\n"), std::make_pair(20, mb(200)));
    EXPECT_EQ(startWith("[history]\nversions=many\nmax_mb=99999999\n"),
              std::make_pair(20, mb(200)));
}

// The choice lives in tarnwick.conf, never in the settings file the sibling programs read.
TEST_F(TarnwickAppTest, ChangesInTheMailAreAChoiceOfTarnwickConf) {
    const std::string conf = m_temp / "home/tarnwick.conf";
    TempFolder::writeFile(conf, "# mine\n[mail]\ninclude_changes = yes\n");
    {
        CTarnwickApp app(m_prompter, paths());
        app.setConverterFactory([] { return std::make_unique<PassThroughConverter>(); });
        ASSERT_TRUE(app.initInstance());
        EXPECT_TRUE(app.mailServer().includeChanges);
        app.loadSettings();
        EXPECT_TRUE(app.mailServer().includeChanges);
        EXPECT_TRUE(app.setMailServer({"mx.example.test", 25, "me@example.test", false}));
        EXPECT_TRUE(app.saveSettings());
        app.exitInstance();
    }
    EXPECT_EQ(TempFolder::readFile(conf), "# mine\n[mail]\ninclude_changes=false\n");
    CTarnwickApp app(m_prompter, paths());
    app.setConverterFactory([] { return std::make_unique<PassThroughConverter>(); });
    ASSERT_TRUE(app.initInstance());
    app.loadSettings();
    EXPECT_FALSE(app.mailServer().includeChanges);
    EXPECT_EQ(app.mailServer().server, "mx.example.test");
    app.exitInstance();
    EXPECT_TRUE(m_prompter.messages().empty());
}

/// A keyring that answers, or, switched off, one that does not.
class MapSecretStore : public SecretStore {
public:
    Result read(const std::string& name, std::string& secret) override {
        if (!answers) {
            return Result::Unavailable;
        }
        const auto found = secrets.find(name);
        if (found == secrets.end()) {
            return Result::NotFound;
        }
        secret = found->second;
        return Result::Done;
    }
    Result write(const std::string& name, const std::string& secret) override {
        return answers ? (secrets[name] = secret, Result::Done) : Result::Unavailable;
    }
    Result remove(const std::string& name) override {
        return answers ? (secrets.erase(name), Result::Done) : Result::Unavailable;
    }
    bool answers = true;
    std::map<std::string, std::string> secrets;
};

// The login lives in tarnwick.conf and the password in the keyring where one answers, else in
// the private tarnwick.conf; never in the settings file the sibling programs read.
TEST_F(TarnwickAppTest, MailLoginIsKeptInTarnwickConfAndThePasswordInTheKeyringOrThere) {
    const std::string conf = m_temp / "home/tarnwick.conf";
    MapSecretStore keyring;
    const auto start = [&](CTarnwickApp& app, SecretStore* store) {
        app.setSecretStore(store);
        app.setConverterFactory([] { return std::make_unique<PassThroughConverter>(); });
        ASSERT_TRUE(app.initInstance());
        app.loadSettings();
    };
    MailServerSettings mail{"mx.example.test", 587, "me@example.test", false};
    mail.security = MailServerSettings::Security::StartTls;
    mail.user = jp("利用者");
    mail.password = "pa=ss#word";
    mail.caFile = "/etc/ca.pem";
    for (SecretStore* store :
         {static_cast<SecretStore*>(&keyring), static_cast<SecretStore*>(nullptr)}) {
        {
            CTarnwickApp app(m_prompter, paths());
            start(app, store);
            EXPECT_TRUE(app.setMailServer(mail));
            EXPECT_TRUE(app.saveSettings());
            app.exitInstance();
        }
        const std::string kept = store ? "" : "password=pa=ss#word\n";
        EXPECT_EQ(TempFolder::readFile(conf),
                  "[mail]\nsecurity=starttls\nuser=利用者\ncafile=/etc/ca.pem\n" + kept);
        struct stat info {};
        ASSERT_EQ(stat(conf.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(TempFolder::readFile(m_temp / "home/TARNWICK.INI").find("pa=ss"),
                  std::string::npos);
        EXPECT_EQ(keyring.secrets.count("mail"), store ? 1u : 0u);
        CTarnwickApp app(m_prompter, paths());
        start(app, store);
        const MailServerSettings read = app.mailServer();
        EXPECT_EQ(read.security, MailServerSettings::Security::StartTls);
        EXPECT_EQ(read.user, jp("利用者"));
        EXPECT_EQ(read.password, "pa=ss#word");
        EXPECT_EQ(read.caFile, "/etc/ca.pem");
        app.exitInstance();
        std::filesystem::remove(conf);
        keyring.secrets.clear();
    }
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(TarnwickAppTest, StartUpPutsTheDownloadTimeLimitOfTarnwickConfInEffect) {
    const std::string conf = m_temp / "home/tarnwick.conf";
    const auto startWith = [&](const std::string& text) {
        CFetch::setMaxDownloadSeconds(1);
        TempFolder::writeFile(conf, text);
        CTarnwickApp app(m_prompter, paths());
        app.setConverterFactory([] { return std::make_unique<PassThroughConverter>(); });
        EXPECT_TRUE(app.initInstance());
        const int limit = CFetch::maxDownloadSeconds();
        app.exitInstance();
        return limit;
    };
    EXPECT_EQ(startWith("# ours\n[net]\nmax_download_s = 45\n[later]\nx=1\n"), 45);
    // A damaged value or line is never fatal: the default stands.
    EXPECT_EQ(startWith("[net]\nmax_download_s=ten minutes\n"), 600);
    EXPECT_EQ(startWith("[net]\nmax_download_s=0\n"), 600);
    EXPECT_EQ(startWith("\x01\x02 garbage [net\n"), 600);
    std::filesystem::remove(conf);
    EXPECT_EQ(startWith(""), 600);
    EXPECT_TRUE(m_prompter.messages().empty());
    // Reading it changed nothing in it.
    EXPECT_EQ(TempFolder::readFile(conf), "");

    // One that cannot be read is told, and the start goes on with the defaults.
    std::filesystem::remove(conf);
    std::filesystem::create_directory(conf);
    CFetch::setMaxDownloadSeconds(1);
    CTarnwickApp app(m_prompter, paths());
    app.setConverterFactory([] { return std::make_unique<PassThroughConverter>(); });
    EXPECT_TRUE(app.initInstance());
    EXPECT_EQ(CFetch::maxDownloadSeconds(), 600);
    ASSERT_EQ(m_prompter.messages().size(), 1u);
    EXPECT_EQ(m_prompter.messages()[0].rfind(jp("設定ファイルを読み込めないため"), 0), 0u);
    app.exitInstance();
}

TEST_F(TarnwickAppTest, MissingConverterIsReportedAndStartUpGoesOn) {
    CTarnwickApp app(m_prompter, paths());
    app.setConverterFactory([] { return std::unique_ptr<CodeConverter>(); });
    EXPECT_TRUE(app.initInstance());
    EXPECT_EQ(app.codeConverter(), nullptr);
    EXPECT_EQ(m_prompter.messages(),
              std::vector<std::string>{jp("漢字処理ルーチンが初期化できませんでした。")});
    app.exitInstance();
}

TEST_F(TarnwickAppTest, UnusableCompFolderEndsStartUpBeforeAnyValueIsWritten) {
    TempFolder::writeFile(m_temp / "home/comp", "a file, not a folder");
    CTarnwickApp app(m_prompter, paths());
    EXPECT_EQ(app.run([] { ADD_FAILURE() << "the main window must not run"; }), 1);
    EXPECT_FALSE(app.otherInstanceRunning());
    // The quoted words blame the installation; the folder and the reason say what is wrong.
    EXPECT_EQ(m_prompter.messages(),
              std::vector<std::string>{jp("Tarnwickが正しくインストールされていません\n") +
                                       (m_temp / "home/comp") + "\n" +
                                       jp("同じ名前のファイルがあります")});
    EXPECT_EQ(value("Tarnwick", "Position"), "<missing>");
    EXPECT_EQ(value("Tarnwick", "State"), "<missing>");
}

TEST_F(TarnwickAppTest, SecondInstanceCallsTheFirstToTheFrontAndWritesNothing) {
    CTarnwickApp app(m_prompter, paths());
    Event shown;
    app.messageBus().registerMessage(CTarnwickApp::kShowMessage,
                                     [&](const std::string&) { shown.set(); });
    ASSERT_TRUE(app.initInstance());
    app.setState("opened");

    std::filesystem::create_directory(m_temp / "second");
    const AppPaths secondPaths = paths(m_temp / "second");
    const int code = test::runInChild([&] {
        test::FakePrompter prompter;
        CTarnwickApp second(prompter, secondPaths);
        const int exitCode = second.run([] {});
        return exitCode == 0 && second.otherInstanceRunning() && prompter.messages().empty() ? 0
                                                                                             : 1;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(shown.wait(10s));
    EXPECT_EQ(value("Tarnwick", "Position"), m_temp / "home");
    EXPECT_EQ(value("Tarnwick", "State"), "opened");
    EXPECT_FALSE(std::filesystem::exists(m_temp / "second/comp"));
    EXPECT_FALSE(std::filesystem::exists(m_temp / "second/TARNWICK.INI"));
    app.exitInstance();
}

TEST_F(TarnwickAppTest, RefusedRuntimeFolderIsToldAndEndsStartUp) {
    // A file in its place, and a folder of another user (as root another owner is at hand;
    // otherwise a folder that cannot be made stands in for it).
    const bool root = ::geteuid() == 0;
    const struct {
        std::string folder;
        std::string reason;
    } cases[] = {
        {m_temp / "run-file", jp("フォルダではありません。")},
        {root ? m_temp / "run-other" : m_temp / "run-file/below",
         root ? jp("他のユーザーのフォルダです。") : ""},
    };
    TempFolder::writeFile(m_temp / "run-file", "not a folder");
    std::filesystem::create_directory(m_temp / "run-other");
    ::chown((m_temp / "run-other").c_str(), 65534, 65534);
    for (const auto& c : cases) {
        test::FakePrompter prompter;
        AppPaths refused = paths();
        refused.runtimeFolder = c.folder;
        CTarnwickApp app(prompter, refused);
        EXPECT_EQ(app.run([] { ADD_FAILURE() << "the main window must not run"; }), 1);
        ASSERT_EQ(prompter.messages().size(), 1u) << c.folder;
        const std::string text = prompter.messages()[0];
        EXPECT_EQ(text.find(jp("実行時フォルダを使用できないため、起動できません。")), 0u);
        EXPECT_NE(text.find(c.folder), std::string::npos);
        EXPECT_NE(text.find(c.reason), std::string::npos);
        EXPECT_EQ(value("Tarnwick", "Position"), "<missing>");
    }
    EXPECT_EQ(preparePrivateFolder(m_temp / "run-file"), ENOTDIR);
    EXPECT_EQ(preparePrivateFolder(m_temp / "run-new"), 0);
}

TEST_F(TarnwickAppTest, SecondInstanceWithAnotherRuntimeFolderIsStoppedByTheDataFolder) {
    auto app = std::make_unique<CTarnwickApp>(m_prompter, paths());
    ASSERT_TRUE(app->initInstance());
    struct stat lock {};
    ASSERT_EQ(::lstat((m_temp / "home/.tarnwick.lock").c_str(), &lock), 0);
    EXPECT_EQ(lock.st_mode & 0777, 0600u);

    // As under cron, where XDG_RUNTIME_DIR is unset: the second looks in a runtime folder of
    // its own, and calls whoever listens there to the front.
    AppPaths secondPaths = paths();
    secondPaths.runtimeFolder = m_temp / "run-cron";
    ASSERT_TRUE(makePrivateFolder(secondPaths.runtimeFolder));
    MessageBus listener(secondPaths.runtimeFolder);
    Event shown;
    listener.registerMessage(CTarnwickApp::kShowMessage, [&](const std::string&) { shown.set(); });
    ASSERT_TRUE(listener.start());
    app->setState("opened");

    const int code = test::runInChild([&] {
        test::FakePrompter prompter;
        CTarnwickApp second(prompter, secondPaths);
        const int exitCode = second.run([] {});
        return exitCode == 0 && second.otherInstanceRunning() && prompter.messages().empty() ? 0
                                                                                             : 1;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(shown.wait(10s));
    EXPECT_EQ(value("Tarnwick", "State"), "opened");
    app->exitInstance();
    app.reset();
    listener.stop();

    // Once the first is gone the data folder is free again.
    EXPECT_EQ(test::runInChild([&] {
                  test::FakePrompter prompter;
                  CTarnwickApp second(prompter, secondPaths);
                  return second.run([] {}) == 0 && !second.otherInstanceRunning() ? 0 : 1;
              }),
              0);
}

} // namespace
} // namespace tw
