// Encrypted mail with a login: aiosmtpd with STARTTLS or TLS from the first byte, a certificate
// made here by the openssl command and trusted through the extra certificate file; and a scripted
// server for what must never be sent.

#include "ScriptedSmtpServer.h"

#include "core/net/CollectingMailProgress.h"
#include "core/net/MailSender.h"
#include "core/util/Cp932.h"
#include "support/AiosmtpdServer.h"
#include "support/MissingServer.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tw {
namespace {

using Mode = MailSecurity::Mode;

class SmtpTls : public ::testing::Test {
protected:
    void SetUp() override {
        TW_REQUIRE_SERVER(test::AiosmtpdServer::available(), "aiosmtpd (python3-aiosmtpd)");
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
            "-subj /CN=mail.example.test -addext subjectAltName=IP:127.0.0.1 -keyout " +
            m_folder / "key.pem" + " -out " + m_folder / "cert.pem" + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << "openssl could not make a certificate";
    }

    /// Starts the server; the port.
    int start(bool startTls, bool loginOnly = false) {
        test::AiosmtpdServer::Secure secure{startTls, m_folder / "cert.pem", m_folder / "key.pem",
                                            "alice",  "s3cret-pass",         loginOnly};
        const std::string failure = m_server.start(65535, &secure);
        EXPECT_EQ(failure, "");
        return m_server.port();
    }

    std::string send(int port, MailSecurity security, const std::string& host = "127.0.0.1") {
        CollectingMailProgress progress;
        const std::string result =
            sendMail(host, port, "from@example.test", "to@example.test", "Subject",
                     "Body line\n.dot", nullptr, progress, {5000, 5000}, nullptr, security);
        m_steps.clear();
        for (const auto& step : progress.steps()) {
            m_steps += fromCp932(step.text) + "|";
        }
        return result;
    }

    MailSecurity trusted(Mode mode, const std::string& password = "s3cret-pass") {
        return {mode, "alice", password, m_folder / "cert.pem"};
    }

    test::TempFolder m_folder;
    test::AiosmtpdServer m_server;
    std::string m_steps;
};

TEST_F(SmtpTls, StartTlsWithLoginDeliversTheBody) {
    const int port = start(true);
    EXPECT_EQ(send(port, trusted(Mode::StartTls)), "");
    const auto got = m_server.received(1);
    EXPECT_EQ(got.envelope, "HELO 127.0.0.1\nFROM from@example.test\nTO to@example.test\n");
    EXPECT_NE(got.message.find("\r\n\r\nBody line\r\n.dot\r\n"), std::string::npos) << got.message;
    EXPECT_EQ(m_steps, "||||暗号化中||認証中||||データ送信中|メール配送完了||");
}

TEST_F(SmtpTls, TlsFromTheFirstByteWithLoginDelivers) {
    const int port = start(false, true);
    EXPECT_EQ(send(port, trusted(Mode::Tls)), "");
    EXPECT_NE(m_server.received(1).message.find("Body line"), std::string::npos);
}

TEST_F(SmtpTls, WrongPasswordGivesTheServersAnswerWithoutThePassword) {
    const int port = start(true);
    const std::string result = send(port, trusted(Mode::StartTls, "wrong-secret"));
    EXPECT_EQ(result.rfind(jp("認証に失敗しました: 535"), 0), 0u) << fromCp932(result);
    EXPECT_EQ(result.find("wrong-secret"), std::string::npos);
    EXPECT_EQ(m_server.received(1).message, "");
}

TEST_F(SmtpTls, UntrustedCertificateIsRefusedWithItsReason) {
    const int port = start(false);
    MailSecurity security = trusted(Mode::Tls);
    security.caFile.clear();
    const std::string result = send(port, security);
    EXPECT_EQ(result.rfind(jp("証明書を確認できません: "), 0), 0u) << fromCp932(result);
    EXPECT_GT(result.size(), jp("証明書を確認できません: ").size());
    // Trusted, but reached by a name it does not hold.
    const std::string other = send(port, trusted(Mode::Tls), "localhost");
    EXPECT_EQ(other.rfind(jp("証明書を確認できません: "), 0), 0u) << fromCp932(other);
    EXPECT_EQ(m_server.received(1).message, "");
}

TEST(SmtpSecurity, NoStartTlsOfferedMeansNothingAfterEhlo) {
    test::ScriptedSmtpServer server(
        {"220 hello\r\n", "250-mail.test\r\n250 AUTH PLAIN LOGIN\r\n", "250 OK\r\n", "250 OK\r\n"});
    CollectingMailProgress progress;
    const std::string result =
        sendMail("127.0.0.1", server.port(), "from@example.test", "to@example.test", "S", "B",
                 nullptr, progress, {5000, 5000}, nullptr, {Mode::StartTls, "alice", "pw", ""});
    EXPECT_EQ(result.find(jp("STARTTLS に対応していない")) == std::string::npos, false)
        << fromCp932(result);
    EXPECT_EQ(server.received(), std::vector<std::string>{"EHLO 127.0.0.1"});
}

TEST(SmtpSecurity, HandshakeFaultsEndInTimeWithTheirReason) {
    const auto result = [](std::vector<std::string> replies, Mode mode) {
        test::ScriptedSmtpServer server(std::move(replies));
        CollectingMailProgress progress;
        return fromCp932(sendMail("127.0.0.1", server.port(), "f@example.test", "t@example.test",
                                  "S", "B", nullptr, progress, {5000, 300}, nullptr,
                                  {mode, "", "", ""}));
    };
    const std::string offer = "250-mail.test\r\n250 STARTTLS\r\n";
    EXPECT_EQ(result({"220 hello\r\n", offer, "454 TLS not available\r\n"}, Mode::StartTls),
              "暗号化を開始できませんでした: 454 TLS not available");
    // Silent after agreeing: the handshake has the reply time-out too.
    EXPECT_EQ(result({"220 hello\r\n", offer, "220 go\r\n", ""}, Mode::StartTls),
              "サーバーから応答がありません。");
    // A plain server where TLS is expected.
    EXPECT_EQ(result({"220 hello\r\n"}, Mode::Tls).rfind("暗号化の接続に失敗しました", 0), 0u);
}

TEST(SmtpSecurity, LoginWithoutEncryptionOrWithALineBreakIsRefusedBeforeConnecting) {
    test::ScriptedSmtpServer server({"220 hello\r\n"});
    const auto refused = [&](const MailSecurity& security) {
        CollectingMailProgress progress;
        return sendMail("127.0.0.1", server.port(), "f@example.test", "t@example.test", "S", "B",
                        nullptr, progress, {5000, 5000}, nullptr, security);
    };
    EXPECT_NE(refused({Mode::None, "alice", "pw", ""}).find(jp("暗号化")), std::string::npos);
    EXPECT_NE(refused({Mode::Tls, "ali\nce", "pw", ""}), "");
    EXPECT_NE(refused({Mode::StartTls, "alice", std::string("p\0w", 3), ""}), "");
    EXPECT_FALSE(server.accepted());
}

} // namespace
} // namespace tw
