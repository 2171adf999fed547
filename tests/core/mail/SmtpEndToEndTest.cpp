// The mail sender against a real SMTP server (aiosmtpd) on 127.0.0.1, started and stopped here.

#include "core/net/CollectingMailProgress.h"
#include "core/net/MailSender.h"
#include "core/platform/CodeConverter.h"
#include "core/util/Cp932.h"
#include "support/AiosmtpdServer.h"
#include "support/MissingServer.h"

#include <gtest/gtest.h>

#include <memory>

namespace tw {
namespace {

/// One aiosmtpd process for all tests of this file.
class SmtpEndToEnd : public ::testing::Test {
protected:
    // Started by the first test rather than in SetUpTestSuite: gtest reports the tests of a suite
    // whose SetUpTestSuite failed as skipped, and ctest then counts them as not run, not failed.
    void SetUp() override {
        TW_REQUIRE_SERVER(test::AiosmtpdServer::available(), "aiosmtpd (python3-aiosmtpd)");
        if (!s_server) {
            s_server = std::make_unique<test::AiosmtpdServer>();
            const std::string failure = s_server->start();
            ASSERT_EQ(failure, "");
        }
        ASSERT_GT(s_server->port(), 0) << "aiosmtpd did not start";
    }

    static void TearDownTestSuite() { s_server.reset(); }

    using Received = test::AiosmtpdServer::Received;

    /// Sends one mail and returns what the server saved for it.
    Received send(const std::string& subject, const std::string& body, CodeConverter* converter,
                  const std::string& recipient = "to@example.test") {
        CollectingMailProgress progress;
        const std::string result = sendMail("127.0.0.1", s_server->port(), "from@example.test",
                                            recipient, subject, body, converter, progress);
        EXPECT_EQ(result, "") << fromCp932(result);
        return s_server->received(++s_count);
    }

    static inline std::unique_ptr<test::AiosmtpdServer> s_server;
    static inline int s_count = 0;
};

std::string header(const std::string& recipient, const std::string& subject) {
    return "To : " + recipient +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\tcharset=\"iso-2022-jp\"\r\n"
           "Content-Transfer-Encoding: 7bit\r\nSubject: " +
           subject + "\r\n\r\n";
}

std::string base64Decode(const std::string& text) {
    static const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const std::size_t value = digits.find(c);
        if (value == std::string::npos) {
            continue;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

TEST_F(SmtpEndToEnd, AsciiMailArrivesAsListedWithDotLinesIntact) {
    const Received got =
        send("Page changed", "First line\n.\n..two dots\n.leading dot\r\nlast", nullptr);
    EXPECT_EQ(got.envelope, "HELO 127.0.0.1\nFROM from@example.test\nTO to@example.test\n");
    EXPECT_EQ(got.message, header("to@example.test", "Page changed") +
                               "First line\r\n.\r\n..two dots\r\n.leading dot\r\nlast\r\n");
}

TEST_F(SmtpEndToEnd, JapaneseSubjectAndBodyArriveInIso2022Jp) {
    std::unique_ptr<CodeConverter> converter = createCodeConverter();
    ASSERT_TRUE(converter);
    // "更新" in the subject; half-width "ｶﾀｶﾅ" in the body arrives as full-width カタカナ.
    const Received got =
        send(jp("更新のお知らせ"), jp("ページが更新されました\nｶﾀｶﾅ\n.\n"), converter.get());

    const std::string esc = "\x1b";
    const std::string subjectJis = esc + "$B99?7$N$*CN$i$;" + esc + "(B";
    const std::string bodyJis = esc + "$B%Z!<%8$,99?7$5$l$^$7$?" + esc + "(B\r\n" + esc +
                                "$B%+%?%+%J" + esc + "(B\r\n.\r\n\r\n";

    const std::string prefix = header("to@example.test", "");
    ASSERT_EQ(got.message.compare(0, prefix.size() - 4, prefix, 0, prefix.size() - 4), 0)
        << got.message;
    const std::size_t subjectStart = got.message.find("Subject: ") + 9;
    const std::string subject =
        got.message.substr(subjectStart, got.message.find("\r\n", subjectStart) - subjectStart);
    ASSERT_EQ(subject.rfind("=?iso-2022-jp?B?", 0), 0u) << subject;
    ASSERT_EQ(subject.substr(subject.size() - 2), "?=") << subject;
    EXPECT_EQ(subject.find(' '), std::string::npos) << "one encoded word";
    EXPECT_EQ(base64Decode(subject.substr(16, subject.size() - 18)), subjectJis);

    const std::size_t bodyStart = got.message.find("\r\n\r\n") + 4;
    EXPECT_EQ(got.message.substr(bodyStart), bodyJis);
}

} // namespace
} // namespace tw
