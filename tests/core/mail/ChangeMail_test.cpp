// The update mail with the page's changed lines, against a real SMTP server (aiosmtpd).

#include "core/history/HistoryStore.h"
#include "core/platform/CodeConverter.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/ChangeMail.h"
#include "core/watch/UpdateActions.h"
#include "support/AiosmtpdServer.h"
#include "support/MissingServer.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace tw {
namespace {

class ChangeMailTest : public ::testing::Test {
protected:
    void SetUp() override {
        TW_REQUIRE_SERVER(test::AiosmtpdServer::available(), "aiosmtpd (python3-aiosmtpd)");
        ASSERT_EQ(m_server.start(), "");
        ASSERT_TRUE(m_converter);
    }

    void keep(const std::string& html, std::time_t when) {
        HistoryEntry entry;
        entry.checkedAt = when;
        entry.bytes = html;
        entry.codePage = 65001;
        entry.contentType = "text/html; charset=utf-8";
        ASSERT_EQ(m_store.record("temp.tmp", entry), "");
    }

    WatchSettings item(std::time_t lastCheck) const {
        WatchSettings w;
        w.targetUrl = "http://127.0.0.1:9/page.html";
        w.compareFile = m_data / "comp/temp.tmp";
        w.lastCheck = lastCheck;
        w.sendMail = 1;
        w.soundMode = 0;
        w.popUp = 0;
        w.mailTo = "to@example.test";
        w.mailSubject = jp("更新");
        w.mailBody = jp("ページが更新されました");
        return w;
    }

    /// Sends the update mail of `w` and returns its body as the recipient reads it (UTF-8).
    std::string mailBody(const WatchSettings& w, bool includeChanges, std::string* raw = nullptr) {
        UpdateActionContext context;
        context.mailServer = {"127.0.0.1", m_server.port(), "from@example.test", includeChanges};
        context.converter = m_converter.get();
        context.history = &m_store;
        doActions(w, context);
        const std::string message = m_server.received(++m_count).message;
        const std::string body = message.substr(message.find("\r\n\r\n") + 4);
        if (raw) {
            *raw = body;
        }
        std::string cp932;
        m_converter->convert(50220, 932, body, cp932);
        return fromCp932(cp932);
    }

    test::TempFolder m_data;
    HistoryStore m_store{m_data.path(), {}};
    std::unique_ptr<CodeConverter> m_converter = createCodeConverter();
    test::AiosmtpdServer m_server;
    int m_count = 0;
};

TEST_F(ChangeMailTest, TheChangedLinesFollowTheBodyInTheMailsCode) {
    keep("<html><body><p>価格：100円</p><p>在庫あり</p><script>x()</script></body></html>", 1000);
    keep("<html><body><p>価格：120円</p><p>在庫あり</p><p>絵文字😀と髙</p></body></html>", 2000);

    std::string raw;
    const std::string body = mailBody(item(2000), true, &raw);
    EXPECT_TRUE(std::all_of(raw.begin(), raw.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80;
    })) << "not 7-bit ISO-2022-JP";
    EXPECT_EQ(body, "ページが更新されました\r\n\r\n【変更内容】\r\n"
                    "- 価格：100円\r\n"
                    "+ 価格：120円\r\n"
                    "+ 絵文字〓と〓\r\n\r\n");

    // Off, or when this check kept nothing (the change is an older one): the body alone.
    EXPECT_EQ(mailBody(item(2000), false), "ページが更新されました\r\n");
    EXPECT_EQ(mailBody(item(3000), true), "ページが更新されました\r\n");
}

TEST_F(ChangeMailTest, AtMostFiftyLinesThenAnEllipsis) {
    std::string before = "<html>";
    std::string after = "<html>";
    for (int i = 0; i < 40; ++i) {
        before += "<p>old " + std::to_string(i) + "</p>";
        after += "<p>new " + std::to_string(i) + "</p>";
    }
    after += "<p>" + std::string(1000, 'x') + "</p>";
    keep(before + "</html>", 1000);
    keep(after + "</html>", 2000);
    const std::string body = mailBody(item(2000), true);
    const std::size_t lines = static_cast<std::size_t>(std::count(body.begin(), body.end(), '\n'));
    // The body, a blank line, the heading, 50 lines, the ellipsis, the mail's last line end.
    EXPECT_EQ(lines, 1u + 1 + 1 + kMaxMailChangeLines + 1 + 1) << body;
    EXPECT_NE(body.find("\r\n…\r\n"), std::string::npos);
    EXPECT_EQ(body.find("xxxxx"), std::string::npos); // the long line is past the fifty
}

TEST_F(ChangeMailTest, ALongLineIsCutAndEveryLineFitsAMail) {
    keep("<html><p>short</p></html>", 1000);
    keep("<html><p>short</p><p>" + std::string(5000, 'y') + "</p></html>", 2000);
    const std::string body = mailBody(item(2000), true);
    EXPECT_NE(body.find("+ " + std::string(kMaxMailChangeLineBytes - 2, 'y') + "…\r\n"),
              std::string::npos)
        << body;
}

} // namespace
} // namespace tw
