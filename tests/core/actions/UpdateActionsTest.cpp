#include "core/watch/UpdateActions.h"
#include "core/mail/ScriptedSmtpServer.h"
#include "core/net/CollectingMailProgress.h"
#include "core/platform/Desktop.h"
#include "core/ports/MainWindowPort.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/MailSettingsStore.h"
#include "support/FakePrompter.h"
#include "support/LocalSocket.h"

#include <gtest/gtest.h>

#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw {
namespace {

/// Every fake writes into one log, so that a test sees the order across them.
using Log = std::vector<std::string>;

class RecordingSound : public SoundPlayer {
public:
    explicit RecordingSound(Log& log) : m_log(log) {}
    void play(const std::string& file) override { m_log.push_back("sound " + file); }

private:
    Log& m_log;
};

class RecordingShell : public Shell {
public:
    explicit RecordingShell(Log& log) : m_log(log) {}
    bool open(const std::string& target, const std::string& workingFolder) override {
        m_log.push_back("open " + target + " in " + workingFolder);
        return true;
    }
    bool launch(const std::string& executable, const std::vector<std::string>&,
                const std::string&) override {
        m_log.push_back("launch " + executable);
        return true;
    }

private:
    Log& m_log;
};

class RecordingMainWindow : public MainWindowPort {
public:
    explicit RecordingMainWindow(Log& log) : m_log(log) {}
    void popUp() override { m_log.push_back("popUp"); }
    void showItem(const WatchSettings& item) override {
        m_log.push_back("showItem " + item.targetUrl);
    }
    void showAddress(const std::string& address) override {
        m_log.push_back("showAddress " + address);
    }

private:
    Log& m_log;
};

class UpdateActions : public ::testing::Test {
protected:
    UpdateActions() {
        m_context.sound = &m_sound;
        m_context.mainWindow = &m_mainWindow;
        m_context.shell = &m_shell;
        m_context.prompter = &m_prompter;
        m_context.mailServer = {"smtp.example.test", 587, "me@example.test"};
        m_context.sendMail = [this](const MailServerSettings& server, const std::string& to,
                                    const std::string& subject, const std::string& body) {
            m_log.push_back("mail " + server.server + ":" + std::to_string(server.port) + " " +
                            server.account + " -> " + to + " | " + subject + " | " + body);
            return m_mailResult;
        };
    }

    /// An item with every action off.
    static WatchSettings quietItem() {
        WatchSettings item;
        item.targetUrl = "http://watched.example.test/";
        item.soundMode = 0;
        item.popUp = 0;
        item.showInBrowser = 0;
        item.sendMail = 0;
        item.runOnUpdate.clear();
        return item;
    }

    Log run(const WatchSettings& item) {
        m_log.clear();
        doActions(item, m_context);
        return m_log;
    }

    Log m_log;
    RecordingSound m_sound{m_log};
    RecordingShell m_shell{m_log};
    RecordingMainWindow m_mainWindow{m_log};
    test::FakePrompter m_prompter;
    std::string m_mailResult;
    UpdateActionContext m_context;
};

TEST_F(UpdateActions, AllActionsRunInTheirOrder) {
    WatchSettings item = quietItem();
    item.soundMode = 1;
    item.popUp = 1;
    item.showInBrowser = 1;
    item.sendMail = 1;
    item.mailTo = "you@example.test";
    item.mailSubject = "Changed";
    item.mailBody = "See the page.";
    item.runOnUpdate = "/home/user/docs/report.txt";
    const Log expected = {
        "sound notify.wav", "popUp", "showItem http://watched.example.test/",
        "mail smtp.example.test:587 me@example.test -> you@example.test | Changed | See the page.",
        "open report.txt in /home/user/docs/"};
    EXPECT_EQ(run(item), expected);

    item.runOnUpdate = "http://other.example.test/";
    EXPECT_EQ(run(item).back(), "showAddress http://other.example.test/");
}

// The settings dialog stores new mail settings while the checker runs: the next mail must use
// them, not the ones the checker was started with.
TEST_F(UpdateActions, MailTakesTheStoredSettingsAtTheMomentItIsSent) {
    MailSettingsStore store;
    store.set({"old.example.test", 25, "old@example.test"});
    m_context.mailSettings = &store;
    WatchSettings item = quietItem();
    item.sendMail = 1;
    item.mailTo = "you@example.test";
    item.mailSubject = "S";
    item.mailBody = "B";
    EXPECT_EQ(run(item).at(0),
              "mail old.example.test:25 old@example.test -> you@example.test | S | B");
    std::thread dialog([&] { store.set({"new.example.test", 465, "new@example.test"}); });
    dialog.join();
    EXPECT_EQ(run(item).at(0),
              "mail new.example.test:465 new@example.test -> you@example.test | S | B");
}

TEST_F(UpdateActions, NothingHappensWithAllActionsOff) {
    EXPECT_TRUE(run(quietItem()).empty());
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(UpdateActions, SoundModes) {
    WatchSettings item = quietItem();
    item.soundFile = "/sounds/bell.wav";
    item.soundMode = 1;
    EXPECT_EQ(run(item), Log{"sound notify.wav"});
    item.soundMode = 2;
    EXPECT_EQ(run(item), Log{"sound /sounds/bell.wav"});
    // An empty name goes to the player, which falls back to the default sound.
    item.soundFile.clear();
    EXPECT_EQ(run(item), Log{"sound "});
}

TEST_F(UpdateActions, WebAddressesGoToTheMainWindowUnchanged) {
    WatchSettings item = quietItem();
    for (const std::string address :
         {"http://a.example.test/", "  HTTP://A.example.test/Page", "\tHttps://b.example.test/"}) {
        item.runOnUpdate = address;
        EXPECT_EQ(run(item), Log{"showAddress " + address});
    }
    EXPECT_TRUE(isWebAddress(" \r\n hTtP"));
    EXPECT_FALSE(isWebAddress("htt"));
    EXPECT_FALSE(isWebAddress("/srv/http/index.html"));
}

TEST_F(UpdateActions, FilesOpenFromTheirOwnFolder) {
    WatchSettings item = quietItem();
    item.runOnUpdate = "/home/user/My Documents/notes.txt";
    EXPECT_EQ(run(item), Log{"open notes.txt in /home/user/My Documents/"});
    // No folder part: opened from the current folder.
    item.runOnUpdate = "notes.txt";
    EXPECT_EQ(run(item), Log{"open notes.txt in "});
    // Other addresses reach the opener whole.
    item.runOnUpdate = "ftp://files.example.test/pub/list.txt";
    EXPECT_EQ(run(item), Log{"open ftp://files.example.test/pub/list.txt in "});
    item.runOnUpdate = "mailto:someone@example.test";
    EXPECT_EQ(run(item), Log{"open mailto:someone@example.test in "});
}

TEST_F(UpdateActions, MailFailureIsShownAndLaterActionsStillRun) {
    WatchSettings item = quietItem();
    item.sendMail = 1;
    item.runOnUpdate = "/tmp/a.txt";
    m_mailResult = jp("この宛先アドレスでは受付られません。");
    EXPECT_EQ(run(item).back(), "open a.txt in /tmp/");
    EXPECT_EQ(m_prompter.messages(), std::vector<std::string>{m_mailResult});

    m_mailResult.clear();
    run(item);
    EXPECT_EQ(m_prompter.messages().size(), 1u) << "a delivered mail shows no message";
}

TEST_F(UpdateActions, MailWithoutAServerIsNotSentAndSaysWhereTheServerIsSet) {
    WatchSettings item = quietItem();
    item.sendMail = 1;
    item.mailTo = "you@example.test";
    item.runOnUpdate = "/tmp/a.txt";
    // Sent anyway, the mail would fail as "not connected to the network".
    m_context.mailServer = {"", 25, "me@example.test"};
    EXPECT_EQ(run(item), Log{"open a.txt in /tmp/"}) << "nothing is sent, the rest runs";
    m_context.mailServer = {"  \t", 25, "me@example.test"};
    EXPECT_EQ(run(item), Log{"open a.txt in /tmp/"});
    EXPECT_NE(noMailServerText().find(jp("「操作(O)」→「環境設定(S)」")), std::string::npos);

    // Nor is the real sender started: no progress shows.
    CollectingMailProgress progress;
    m_context.sendMail = nullptr;
    m_context.mailProgress = &progress;
    run(item);
    EXPECT_TRUE(progress.startTexts().empty());
    EXPECT_EQ(m_prompter.messages(), std::vector<std::string>(3, noMailServerText()));
}

TEST_F(UpdateActions, MailGoesThroughTheSenderWithTheServerSettings) {
    // A port where nothing listens: the real sender reports its connection failure.
    const int port = test::freeLocalPort();

    CollectingMailProgress progress;
    m_context.sendMail = nullptr;
    m_context.mailProgress = &progress;
    m_context.mailServer = {"127.0.0.1", port, "me@example.test"};
    WatchSettings item = quietItem();
    item.sendMail = 1;
    item.mailTo = "you@example.test";
    run(item);
    EXPECT_EQ(progress.startTexts().size(), 1u);
    EXPECT_EQ(m_prompter.messages(),
              std::vector<std::string>{jp("ネットワークに繋がっていません")});
}

TEST_F(UpdateActions, MailIsDeliveredFromTheAccountToTheItemsRecipient) {
    const std::string ok = "250 ok\r\n";
    test::ScriptedSmtpServer server(
        {"220 ready\r\n", ok, ok, ok, "354 go on\r\n", ok, "221 bye\r\n"});
    CollectingMailProgress progress;
    m_context.sendMail = nullptr;
    m_context.mailProgress = &progress;
    m_context.mailServer = {"127.0.0.1", server.port(), "account@example.test"};
    WatchSettings item = quietItem();
    item.sendMail = 1;
    item.mailTo = "recipient@example.test";
    item.mailSubject = "Changed";
    item.mailBody = "See the page.";
    run(item);
    const auto received = server.received();
    ASSERT_GE(received.size(), 4u);
    EXPECT_EQ(received[1], "MAIL FROM: <account@example.test>");
    EXPECT_EQ(received[2], "RCPT TO: <recipient@example.test>");
    EXPECT_NE(received[4].find("To : recipient@example.test\r\n"), std::string::npos);
    EXPECT_NE(received[4].find("Subject: Changed\r\n"), std::string::npos);
    EXPECT_NE(received[4].find("\r\nSee the page.\r\n.\r\n"), std::string::npos);
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(UpdateActions, MailTakesTheServersSecurityAndLogin) {
    // No STARTTLS offered while it is required: nothing goes after EHLO, the user is told.
    test::ScriptedSmtpServer server({"220 ready\r\n", "250 AUTH PLAIN\r\n", "250 ok\r\n"});
    CollectingMailProgress progress;
    m_context.sendMail = nullptr;
    m_context.mailProgress = &progress;
    m_context.mailServer = {"127.0.0.1", server.port(), "account@example.test"};
    m_context.mailServer.security = MailServerSettings::Security::StartTls;
    m_context.mailServer.user = "alice";
    m_context.mailServer.password = "secret";
    WatchSettings item = quietItem();
    item.sendMail = 1;
    item.mailTo = "recipient@example.test";
    run(item);
    EXPECT_EQ(server.received(), std::vector<std::string>{"EHLO 127.0.0.1"});
    ASSERT_EQ(m_prompter.messages().size(), 1u);
    EXPECT_NE(m_prompter.messages()[0].find("STARTTLS"), std::string::npos);
}

TEST_F(UpdateActions, MissingPortsSkipTheirActions) {
    WatchSettings item = quietItem();
    item.soundMode = 1;
    item.popUp = 1;
    item.showInBrowser = 1;
    item.runOnUpdate = "notes.txt";
    UpdateActionContext empty;
    doActions(item, empty);
    item.runOnUpdate = "http://a.example.test/";
    doActions(item, empty);
    EXPECT_TRUE(m_log.empty());
}

} // namespace
} // namespace tw
