#include "net/CFetch.h"
#include "net/FetchRequest.h"
#include "net/HttpExchange.h"
#include "records/WatchSettings.h"
#include "support/LocalTime.h"
#include "util/Cp932.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>

namespace tw {
namespace {

TEST(CFetchLocalHost, NamesWithoutDotAndLoopbackAddressesAreLocal) {
    EXPECT_TRUE(CFetch::isLocalHost("localhost"));
    EXPECT_TRUE(CFetch::isLocalHost("intranet"));
    EXPECT_TRUE(CFetch::isLocalHost("127.0.0.1"));
    EXPECT_TRUE(CFetch::isLocalHost("127.45.6.7"));
    EXPECT_TRUE(CFetch::isLocalHost("::1"));
    EXPECT_TRUE(CFetch::isLocalHost("::ffff:127.0.0.1"));
}

TEST(CFetchLocalHost, DottedNamesAndOtherAddressesAreNotLocal) {
    EXPECT_FALSE(CFetch::isLocalHost(""));
    EXPECT_FALSE(CFetch::isLocalHost("www.example.com"));
    EXPECT_FALSE(CFetch::isLocalHost("localhost.example"));
    EXPECT_FALSE(CFetch::isLocalHost("10.0.0.1"));
    EXPECT_FALSE(CFetch::isLocalHost("128.0.0.1"));
    EXPECT_FALSE(CFetch::isLocalHost("2001:db8::1"));
}

TEST(CFetchContentSubtype, TakesTheTextAfterTheLastSlashBlankOrComma) {
    EXPECT_EQ(CFetch::contentSubtype("text/html"), "html");
    EXPECT_EQ(CFetch::contentSubtype("text/html; charset=UTF-8"), "charset=UTF-8");
    EXPECT_EQ(CFetch::contentSubtype("image/png,image/gif"), "gif");
    EXPECT_EQ(CFetch::contentSubtype("plain"), "plain");
    EXPECT_EQ(CFetch::contentSubtype(""), "");
}

std::time_t localCalendar(int year, int month, int day, int hour, int minute, int second) {
    return test::localTime(year, month, day, hour, minute, second);
}

TEST(CFetchLastModified, TakesTheDatesFieldsAsLocalTime) {
    const std::time_t expected = localCalendar(2015, 10, 21, 7, 28, 0);
    EXPECT_EQ(CFetch::lastModifiedTime("Wed, 21 Oct 2015 07:28:00 GMT"), expected);
    EXPECT_EQ(CFetch::lastModifiedTime("Wednesday, 21-Oct-15 07:28:00 GMT"), expected);
    EXPECT_EQ(CFetch::lastModifiedTime("Wed Oct 21 07:28:00 2015"), expected);
}

TEST(CFetchLastModified, UnreadableDatesGiveZero) {
    EXPECT_EQ(CFetch::lastModifiedTime(""), 0);
    EXPECT_EQ(CFetch::lastModifiedTime("yesterday-ish"), 0);
}

TEST(FetchRequestRecord, StartsFromTheSettingsWithEmptyWorkingFields) {
    WatchSettings item;
    item.targetUrl = "http://www.example.com/a.html";
    item.userName = "u";
    item.lastModified = 77;
    const FetchRequest request(item);
    EXPECT_EQ(request.targetUrl, item.targetUrl);
    EXPECT_EQ(request.userName, "u");
    EXPECT_EQ(request.lastModified, 77);
    EXPECT_EQ(request.errorKind, 0);
    EXPECT_TRUE(request.errorText.empty());
    EXPECT_EQ(request.startOffset, 0);
    EXPECT_EQ(request.contentLength, -1);
    EXPECT_EQ(request.connectTimeoutSeconds, 30);
    EXPECT_EQ(request.stallTimeoutSeconds, 60);
    EXPECT_FALSE(request.cancelled());
}

TEST(FetchRequestRecord, CancelFlagIsReadThroughThePointer) {
    std::atomic<bool> cancel{false};
    FetchRequest request;
    request.cancelRequested = &cancel;
    EXPECT_FALSE(request.cancelled());
    cancel = true;
    EXPECT_TRUE(request.cancelled());
}

TEST(HttpExchangeFailures, CommonFailuresHaveShortJapaneseTexts) {
    const auto text = [](CURLcode code, long osErrno = 0, bool proxy = false) {
        return HttpExchange::failureText(code, osErrno, "libcurl's own words", proxy);
    };
    EXPECT_EQ(text(CURLE_PARTIAL_FILE),
              jp("受信の途中で接続が切れました（ページの一部しか届いていません）"));
    EXPECT_EQ(text(CURLE_OPERATION_TIMEDOUT), jp("サーバーへの接続がタイムアウトしました"));
    EXPECT_EQ(text(CURLE_OPERATION_TIMEDOUT, 0, true),
              jp("プロキシサーバーへの接続がタイムアウトしました"));
    EXPECT_EQ(text(CURLE_COULDNT_CONNECT, ECONNREFUSED), jp("サーバーに接続を拒否されました"));
    EXPECT_EQ(text(CURLE_COULDNT_CONNECT, EHOSTUNREACH), jp("サーバーに到達できません"));
    EXPECT_EQ(text(CURLE_COULDNT_CONNECT), jp("サーバーに接続できません"));
    EXPECT_EQ(text(CURLE_COULDNT_RESOLVE_HOST),
              jp("サーバーが見つかりません（ホスト名を解決できません）"));
    EXPECT_EQ(text(CURLE_COULDNT_RESOLVE_PROXY),
              jp("プロキシサーバーが見つかりません（ホスト名を解決できません）"));
    EXPECT_EQ(text(CURLE_PEER_FAILED_VERIFICATION),
              jp("サーバーの証明書を確認できないため接続しませんでした"));
    EXPECT_EQ(text(CURLE_SSL_CONNECT_ERROR), jp("サーバーとの暗号化通信（TLS）を確立できません"));
    EXPECT_EQ(text(CURLE_GOT_NOTHING), jp("サーバーから応答がありません"));
    EXPECT_EQ(text(CURLE_RECV_ERROR, ECONNRESET), jp("受信中にサーバーから接続を切られました"));
    // Anything else keeps libcurl's words after a Japanese lead-in.
    EXPECT_EQ(text(CURLE_FILESIZE_EXCEEDED), jp("通信エラー: ") + "libcurl's own words");
    EXPECT_EQ(HttpExchange::failureText(CURLE_FILESIZE_EXCEEDED, 0, "", false),
              jp("通信エラー: ") + curl_easy_strerror(CURLE_FILESIZE_EXCEEDED));
}

TEST(HttpExchangeFailures, TimeLimitsAreNamedInMinutesOrSeconds) {
    EXPECT_EQ(HttpExchange::durationText(600), jp("10分"));
    EXPECT_EQ(HttpExchange::durationText(90), jp("90秒"));
    EXPECT_EQ(HttpExchange::durationText(1), jp("1秒"));
}

} // namespace
} // namespace tw
