#include "ScriptedSmtpServer.h"
#include "support/LocalSocket.h"

#include "core/net/CollectingMailProgress.h"
#include "core/net/MailSender.h"
#include "core/net/SmtpClient.h"
#include "core/platform/CodeConverter.h"
#include "core/util/CancelSignal.h"
#include "core/util/Cp932.h"
#include "core/util/TextUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw {
namespace {

using test::ScriptedSmtpServer;
using Step = CollectingMailProgress::Step;

} // namespace

void PrintTo(const CollectingMailProgress::Step& step, std::ostream* out) {
    *out << (step.finished ? "finished " : "step ") << '"' << fromCp932(step.text) << '"';
}

namespace {

const std::string kOk = "250 OK\r\n";

std::string send(int port, const std::string& server = "127.0.0.1",
                 CollectingMailProgress* progress = nullptr, int replyMs = 5000) {
    CollectingMailProgress own;
    return sendMail(server, port, "from@example.test", "to@example.test", "Subject", "Body",
                    nullptr, progress ? *progress : own, MailTimeouts{5000, replyMs});
}

TEST(SmtpClient, DeliversAndReportsEveryStep) {
    ScriptedSmtpServer server(
        {"220 ready\r\n", kOk, kOk, kOk, "354 go on\r\n", kOk, "221 bye\r\n"});
    CollectingMailProgress progress;
    EXPECT_EQ(send(server.port(), "127.0.0.1", &progress), "");

    const std::vector<std::string> expected = {
        "HELO 127.0.0.1",
        "MAIL FROM: <from@example.test>",
        "RCPT TO: <to@example.test>",
        "DATA",
        "To : to@example.test\r\nMIME-Version: 1.0\r\nContent-Type: text/plain;\r\n"
        "\tcharset=\"iso-2022-jp\"\r\nContent-Transfer-Encoding: 7bit\r\nSubject: Subject\r\n"
        "\r\nBody\r\n.\r\n",
        "QUIT"};
    EXPECT_EQ(server.received(), expected);

    EXPECT_EQ(progress.startTexts(), std::vector<std::string>{jp("接続中・・・・")});
    const std::vector<Step> steps = {{false, ""},
                                     {false, ""},
                                     {false, ""},
                                     {false, ""},
                                     {false, ""},
                                     {false, ""},
                                     {false, jp("データ送信中")},
                                     {false, jp("メール配送完了")},
                                     {true, ""}};
    EXPECT_EQ(progress.steps(), steps);
}

TEST(SmtpClient, HeloNamesTheServerAsGiven) {
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        ScriptedSmtpServer server({"220 ready\r\n", "502 no\r\n"});
        send(server.port(), host);
        const auto received = server.received();
        ASSERT_FALSE(received.empty()) << host;
        EXPECT_EQ(received[0], "HELO " + host);
    }
}

TEST(SmtpClient, ReadsMultiLineAndSplitReplies) {
    // A greeting in several lines and a reply cut in the middle still make one reply each.
    ScriptedSmtpServer server({"220-first line\r\n220-second line\r\n220 last line\r\n", kOk, kOk,
                               kOk, "354 go on\r\n", kOk, "221 bye\r\n"});
    EXPECT_EQ(send(server.port()), "");
    EXPECT_EQ(server.received().size(), 6u);
}

TEST(SmtpClient, EveryFailureGivesItsOwnText) {
    struct Row {
        const char* name;
        std::vector<std::string> replies;
        std::string text;
        std::size_t commands;
    };
    const Row rows[] = {
        {"greeting 554", {"554 go away\r\n"}, jp("接続できませんでした。"), 0},
        {"HELO refused", {"220 ready\r\n", "501 bad\r\n"}, jp("接続が拒否されました。"), 1},
        {"sender refused",
         {"220 ready\r\n", kOk, "550 no such sender\r\n"},
         jp("この差出人アドレスでは受付られません。"),
         2},
        {"recipient refused",
         {"220 ready\r\n", kOk, kOk, "550 no such user\r\n"},
         jp("この宛先アドレスでは受付られません。"),
         3},
        {"DATA refused",
         {"220 ready\r\n", kOk, kOk, kOk, "554 no data\r\n"},
         jp("データ入力を拒否されました。"),
         4},
        {"message refused",
         {"220 ready\r\n", kOk, kOk, kOk, "354 go on\r\n", "554 spam\r\n"},
         jp("メールが配送できません。"),
         5},
        {"hang-up after HELO",
         {"220 ready\r\n", ScriptedSmtpServer::kHangUp},
         jp("接続が拒否されました。"),
         1},
    };
    for (const Row& row : rows) {
        ScriptedSmtpServer server(row.replies);
        CollectingMailProgress progress;
        EXPECT_EQ(send(server.port(), "127.0.0.1", &progress, 1000), row.text) << row.name;
        const auto received = server.received();
        EXPECT_EQ(received.size(), row.commands) << row.name;
        if (!received.empty()) {
            EXPECT_NE(received.back(), "QUIT") << row.name;
        }
        ASSERT_FALSE(progress.steps().empty());
        EXPECT_EQ(progress.steps().back(), (Step{true, row.text})) << row.name;
    }
}

TEST(SmtpClient, SilentServerTimesOut) {
    ScriptedSmtpServer silent({""});
    EXPECT_EQ(send(silent.port(), "127.0.0.1", nullptr, 1000), CSmtpClient::noAnswerText());
    EXPECT_TRUE(silent.received().empty());

    // Silent after the message was accepted: the mail is delivered all the same.
    ScriptedSmtpServer noGoodbye({"220 ready\r\n", kOk, kOk, kOk, "354 go on\r\n", kOk, ""});
    EXPECT_EQ(send(noGoodbye.port(), "127.0.0.1", nullptr, 1000), "");
}

/// Collects the steps of a send running on a thread of its own, so that the test can wait for
/// the dialogue to reach a step and for the send to end, and cancel it from its own thread.
class ThreadedSend {
public:
    class Progress : public MailProgress {
    public:
        explicit Progress(ThreadedSend& owner) : m_owner(owner) {}
        void started(const std::string& text,
                     const std::shared_ptr<CancelSignal>& cancel) override {
            m_owner.m_collected.started(text, cancel);
        }
        void step(bool finished, const std::string& text) override {
            {
                std::lock_guard lock(m_owner.m_mutex);
                m_owner.m_collected.step(finished, text);
            }
            m_owner.m_changed.notify_all();
        }

    private:
        ThreadedSend& m_owner;
    };

    /// Sends to `port` with a reply time-out far longer than any wait of the test.
    explicit ThreadedSend(int port)
        : m_thread([this, port] {
              std::string result =
                  sendMail("127.0.0.1", port, "from@example.test", "to@example.test", "Subject",
                           "Body", nullptr, m_progress, MailTimeouts{5000, 120000});
              {
                  std::lock_guard lock(m_mutex);
                  m_result = std::move(result);
                  m_ended = true;
              }
              m_changed.notify_all();
          }) {}
    ~ThreadedSend() { m_thread.join(); }

    /// Waits (at most 20 s) until a step with `text` has come.
    bool waitForStep(const std::string& text) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] {
            for (const Step& step : m_collected.steps()) {
                if (step.text == text) {
                    return true;
                }
            }
            return false;
        });
    }
    /// Waits until `count` steps have come: after 2 the client is connected and waits for the
    /// greeting, after 4 it waits for the reply to MAIL FROM.
    bool waitForSteps(std::size_t count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20),
                                  [&] { return m_collected.steps().size() >= count; });
    }
    void cancel() { m_collected.cancel()->raise(); }
    /// Waits (at most 20 s, a sixth of the reply time-out) for the send to end.
    bool waitEnded() {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_ended; });
    }
    std::string result() {
        std::lock_guard lock(m_mutex);
        return m_result;
    }
    std::vector<Step> steps() const { return m_collected.steps(); }

private:
    CollectingMailProgress m_collected;
    Progress m_progress{*this};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_result;
    bool m_ended = false;
    std::thread m_thread;
};

TEST(SmtpClient, CancelEndsAWaitForASilentServerAtOnce) {
    ScriptedSmtpServer silent({""}); // accepts, never greets
    ThreadedSend send(silent.port());
    ASSERT_TRUE(send.waitForSteps(2));
    send.cancel();
    ASSERT_TRUE(send.waitEnded());
    EXPECT_EQ(send.result(), CSmtpClient::cancelledText());
    EXPECT_EQ(send.steps().back(), (Step{true, CSmtpClient::cancelledText()}));
    EXPECT_TRUE(silent.clientClosed());
    EXPECT_TRUE(silent.received().empty());
}

TEST(SmtpClient, CancelInTheMiddleSendsNothingMore) {
    ScriptedSmtpServer server({"220 ready\r\n", kOk, ""}); // silent after MAIL FROM
    ThreadedSend send(server.port());
    ASSERT_TRUE(send.waitForSteps(4));
    send.cancel();
    ASSERT_TRUE(send.waitEnded());
    EXPECT_EQ(send.result(), CSmtpClient::cancelledText());
    EXPECT_TRUE(server.clientClosed());
    const std::vector<std::string> expected = {"HELO 127.0.0.1", "MAIL FROM: <from@example.test>"};
    EXPECT_EQ(server.received(), expected);
}

TEST(SmtpClient, CancelAfterTheMessageWasTakenIsADelivery) {
    // The server takes the message and never answers QUIT.
    ScriptedSmtpServer server({"220 ready\r\n", kOk, kOk, kOk, "354 go on\r\n", kOk, ""});
    ThreadedSend send(server.port());
    ASSERT_TRUE(send.waitForStep(jp("メール配送完了")));
    send.cancel();
    ASSERT_TRUE(send.waitEnded());
    EXPECT_EQ(send.result(), "");
    EXPECT_EQ(send.steps().back(), (Step{true, ""}));
    EXPECT_TRUE(server.clientClosed());
    EXPECT_EQ(server.received().back(), "QUIT");
}

TEST(SmtpClient, ConnectionRefusedAndUnknownHost) {
    // A port that was free a moment ago: nothing listens there.
    const int port = test::freeLocalPort();

    CollectingMailProgress progress;
    EXPECT_EQ(send(port, "127.0.0.1", &progress), jp("ネットワークに繋がっていません"));
    const std::vector<Step> steps = {{false, ""}, {true, jp("ネットワークに繋がっていません")}};
    EXPECT_EQ(progress.steps(), steps);

    EXPECT_EQ(send(25, "no-such-host.invalid"), jp("ネットワークに繋がっていません"));
}

TEST(SmtpClient, LineBreaksInAddressesOrSubjectAreRefusedBeforeConnecting) {
    ScriptedSmtpServer server(
        {"220 ready\r\n", kOk, kOk, kOk, "354 go on\r\n", kOk, "221 bye\r\n"});
    const std::string host = "127.0.0.1";
    const std::string to = "to@example.test";
    struct Case {
        std::string server, sender, recipient, subject, text;
    };
    const Case cases[] = {
        {host + "\r\nRSET", "a@b", to, "s",
         jp("サーバー名に改行が含まれているため送信できません。")},
        {host, "a@b>\r\nRCPT TO: <victim@x", to, "s",
         jp("差出人アドレスに改行が含まれているため送信できません。")},
        {host, "a@b", to + "\n", "s", jp("宛先アドレスに改行が含まれているため送信できません。")},
        {host, "a@b", to, "Hi\r\nBcc: victim@x",
         jp("件名に改行が含まれているため送信できません。")},
        {host, "a@b", to, std::string("Hi\0there", 8),
         jp("件名に改行が含まれているため送信できません。")},
    };
    for (const Case& c : cases) {
        CollectingMailProgress progress;
        EXPECT_EQ(sendMail(c.server, server.port(), c.sender, c.recipient, c.subject, "Body",
                           nullptr, progress),
                  c.text);
        EXPECT_TRUE(progress.startTexts().empty());
        EXPECT_TRUE(progress.steps().empty());
    }
    EXPECT_FALSE(server.accepted());
}

TEST(SmtpClient, AddressesThatCouldAddParametersAreRefusedBeforeConnecting) {
    ScriptedSmtpServer server(
        {"220 ready\r\n", kOk, kOk, kOk, "354 go on\r\n", kOk, "221 bye\r\n"});
    const std::string from = jp(
        "差出人アドレスに使えない文字（<、>、空白、制御文字）が含まれているため送信できません。");
    const std::string to =
        jp("宛先アドレスに使えない文字（<、>、空白、制御文字）が含まれているため送信できません。");
    const std::pair<std::string, std::string> cases[] = {
        {"victim@example.test> NOTIFY=SUCCESS ORCPT=rfc822;evil@x", to},
        {"a@b>", to},
        {"<a@b", to},
        {"a b@example.test", to},
        {"a@b\tNOTIFY=NEVER", to},
        {std::string("a@b\x1b"), to},
    };
    for (const auto& [recipient, text] : cases) {
        CollectingMailProgress progress;
        EXPECT_EQ(sendMail("127.0.0.1", server.port(), "me@example.test", recipient, "s", "Body",
                           nullptr, progress),
                  text)
            << recipient;
        EXPECT_TRUE(progress.steps().empty());
    }
    CollectingMailProgress progress;
    EXPECT_EQ(sendMail("127.0.0.1", server.port(), "me@x> SIZE=1", "to@example.test", "s", "Body",
                       nullptr, progress),
              from);
    EXPECT_FALSE(server.accepted());
}

TEST(SmtpClient, BodyLineEndsAndLeadingDots) {
    EXPECT_EQ(CSmtpClient::transferBody(std::string("a\0b\n\0.c\0", 8)), "ab\r\n..c");
    EXPECT_EQ(CSmtpClient::transferBody("a\nb\r\nc\rd"), "a\r\nb\r\nc\r\nd");
    EXPECT_EQ(CSmtpClient::transferBody(".\n.."), "..\r\n...");
    EXPECT_EQ(CSmtpClient::transferBody("a.b\n\n.x\n"), "a.b\r\n\r\n..x\r\n");
    EXPECT_EQ(CSmtpClient::transferBody(""), "");
}

/// Marks what it converted, so that a test sees which texts went through it.
class MarkingConverter : public CodeConverter {
public:
    bool convert(int from, int to, std::string_view in, std::string& out) override {
        if (from != 932 || to != 50220) {
            return false;
        }
        out = "<" + std::string(in) + ">";
        return true;
    }
};

TEST(MailTexts, OnlyTextsWithHighBytesAreConverted) {
    MarkingConverter converter;
    const std::string japanese = jp("更新");
    EXPECT_EQ(prepareHeaderText("Plain subject", &converter), "Plain subject");
    EXPECT_EQ(prepareBody("Plain body\n", &converter), "Plain body\n");
    EXPECT_EQ(prepareHeaderText(japanese, &converter),
              "=?iso-2022-jp?B?" + base64Encode("<" + japanese + ">") + "?=");
    EXPECT_EQ(prepareBody(japanese, &converter), "<" + japanese + ">");
    // Without a converter the text goes as it stands.
    EXPECT_EQ(prepareBody(japanese, nullptr), japanese);
    EXPECT_EQ(prepareHeaderText(japanese, nullptr),
              "=?iso-2022-jp?B?" + base64Encode(japanese) + "?=");
}

} // namespace
} // namespace tw
