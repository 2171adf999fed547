#include "core/net/CFetch.h"
#include "core/net/FetchRequest.h"
#include "core/net/HttpExchange.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "support/LocalTime.h"

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

TEST(CFetchPrompt, TheOriginIsSchemeHostAndAPortOtherThanTheDefault) {
    const auto origin = [](const std::string& url) {
        return CFetch::originText(*HttpExchange::parseAddress(url));
    };
    EXPECT_EQ(origin("http://www.example.jp/a/b.html?q=1"), "http://www.example.jp");
    EXPECT_EQ(origin("http://www.example.jp:80/"), "http://www.example.jp");
    EXPECT_EQ(origin("HTTPS://secure.example.jp:443/"), "https://secure.example.jp");
    EXPECT_EQ(origin("https://secure.example.jp:8443/"), "https://secure.example.jp:8443");
    EXPECT_EQ(origin("http://127.0.0.1:8080/x"), "http://127.0.0.1:8080");
    EXPECT_EQ(origin("http://[::1]:8080/x"), "http://[::1]:8080");
}

TEST(CFetchPrompt, TheRealmIsTheBasicChallengesMadeSafeToShow) {
    EXPECT_EQ(CFetch::realmOf("Basic realm=\"intranet\""), "intranet");
    EXPECT_EQ(CFetch::realmOf("basic REALM = \"a \\\"quoted\\\" b\", charset=\"UTF-8\""),
              "a \"quoted\" b");
    EXPECT_EQ(CFetch::realmOf("Basic realm=token, other=1"), "token");
    EXPECT_EQ(CFetch::realmOf("Digest realm=\"digest\", nonce=\"n\", Basic realm=\"basic\""),
              "basic");
    EXPECT_EQ(CFetch::realmOf("Bearer realm=\"api\""), "api");
    EXPECT_EQ(CFetch::realmOf("Basic"), "");
    EXPECT_EQ(CFetch::realmOf("Basic myrealm=\"no\""), "");
    EXPECT_EQ(CFetch::realmOf(""), "");
    // UTF-8 becomes code page 932; bytes that are not UTF-8 are taken as they come.
    EXPECT_EQ(CFetch::realmOf("Basic realm=\"社内ウィキ\""), jp("社内ウィキ"));
    EXPECT_EQ(CFetch::realmOf("Basic realm=\"\x8e\xd0\x93\xe0\""), "\x8e\xd0\x93\xe0");
    // Nothing a server sends can break the dialog's line or run on without end.
    EXPECT_EQ(CFetch::realmOf("Basic realm=\"a\tb\x1b[2Jc\x7f\""), "ab[2Jc");
    EXPECT_EQ(CFetch::realmOf("Basic realm=\"" + std::string(5000, 'x') + "\"").size(),
              CFetch::kMaxRealmBytes);
    // The cut never halves a double-byte character.
    std::string wide;
    for (int i = 0; i < 100; ++i) {
        wide += "x社";
    }
    const std::string cut = CFetch::realmOf("Basic realm=\"" + wide + "\"");
    EXPECT_EQ(cut, jp(wide).substr(0, 120));
}

// Refused connections, time-outs, cut bodies, certificates and proxies meet real servers in
// CFetchTest; these are the failures no test here can cause without leaving this machine.
TEST(HttpExchangeFailures, CommonFailuresHaveShortJapaneseTexts) {
    const auto text = [](CURLcode code, long osErrno = 0, bool proxy = false) {
        return HttpExchange::failureText(code, osErrno, "libcurl's own words", proxy);
    };
    EXPECT_EQ(text(CURLE_COULDNT_RESOLVE_HOST),
              jp("サーバーが見つかりません（ホスト名を解決できません）"));
    EXPECT_EQ(text(CURLE_COULDNT_CONNECT, EHOSTUNREACH), jp("サーバーに到達できません"));
    EXPECT_EQ(text(CURLE_OPERATION_TIMEDOUT, 0, true),
              jp("プロキシサーバーへの接続がタイムアウトしました"));
    EXPECT_EQ(text(CURLE_SSL_CONNECT_ERROR), jp("サーバーとの暗号化通信（TLS）を確立できません"));
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
