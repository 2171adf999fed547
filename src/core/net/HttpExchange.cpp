#include "core/net/HttpExchange.h"

#include "core/net/CFetchException.h"
#include "core/util/Cp932.h"
#include "core/util/TextUtil.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <type_traits>

namespace tw {

namespace {

/// More than this much unread body makes libcurl hold back the rest until the reader catches up.
constexpr std::size_t kMaxBuffered = std::size_t{256} * 1024;
/// Longest wait for network activity before the cancel flag is looked at again.
constexpr int kPollMs = 100;

void initCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CURL* easy(void* handle) {
    return static_cast<CURL*>(handle);
}
CURLM* multi(void* handle) {
    return static_cast<CURLM*>(handle);
}

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

bool HttpExchange::Address::sameOrigin(const Address& other) const {
    return equalsIgnoringAsciiCase(scheme, other.scheme) &&
           equalsIgnoringAsciiCase(host, other.host) && port == other.port;
}

std::string HttpExchange::encodedAddress(const std::string& url) {
    // Only blanks: libcurl's own encoding would also turn blanks in the query into "+" and
    // re-encode bytes the server may expect as they are.
    std::string encoded;
    encoded.reserve(url.size());
    for (const char c : url) {
        if (c == ' ') {
            encoded += "%20";
        } else {
            encoded += c;
        }
    }
    return encoded;
}

std::optional<HttpExchange::Address> HttpExchange::parseAddress(const std::string& url) {
    initCurl();
    CURLU* parsed = curl_url();
    if (!parsed) {
        return std::nullopt;
    }
    std::optional<Address> result;
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, encodedAddress(url).c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        std::string name = host;
        if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
            name = name.substr(1, name.size() - 2);
        }
        result = Address{scheme, name, port};
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(parsed);
    return result;
}

std::string HttpExchange::durationText(int seconds) {
    if (seconds >= 60 && seconds % 60 == 0) {
        return std::to_string(seconds / 60) + jp("分");
    }
    return std::to_string(seconds) + jp("秒");
}

std::string HttpExchange::failureText(int curlCode, long osErrno, const std::string& description,
                                      bool viaProxy) {
    // The server the connection goes to first: through a proxy, it is the proxy that failed.
    const std::string server = viaProxy ? jp("プロキシサーバー") : jp("サーバー");
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_PARTIAL_FILE:
        return jp("受信の途中で接続が切れました（ページの一部しか届いていません）");
    case CURLE_OPERATION_TIMEDOUT:
        return server + jp("への接続がタイムアウトしました");
    case CURLE_COULDNT_CONNECT:
        if (osErrno == ECONNREFUSED) {
            return server + jp("に接続を拒否されました");
        }
        if (osErrno == ENETUNREACH || osErrno == EHOSTUNREACH) {
            return server + jp("に到達できません");
        }
        return server + jp("に接続できません");
    case CURLE_COULDNT_RESOLVE_HOST:
        return jp("サーバーが見つかりません（ホスト名を解決できません）");
    case CURLE_COULDNT_RESOLVE_PROXY:
        return jp("プロキシサーバーが見つかりません（ホスト名を解決できません）");
    case CURLE_PEER_FAILED_VERIFICATION:
        return jp("サーバーの証明書を確認できないため接続しませんでした");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
        return jp("サーバーとの暗号化通信（TLS）を確立できません");
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
        return jp("証明書のファイルを読み込めません");
    case CURLE_GOT_NOTHING:
        return jp("サーバーから応答がありません");
    case CURLE_WEIRD_SERVER_REPLY:
        return jp("サーバーの応答が正しくありません");
    case CURLE_RECV_ERROR:
        if (osErrno == ECONNRESET) {
            return jp("受信中にサーバーから接続を切られました");
        }
        return jp("受信中に通信エラーが発生しました");
    case CURLE_SEND_ERROR:
        if (osErrno == ECONNRESET || osErrno == EPIPE) {
            return jp("送信中にサーバーから接続を切られました");
        }
        return jp("送信中に通信エラーが発生しました");
    case CURLE_PROXY:
        return jp("プロキシサーバーとの通信に失敗しました");
    case CURLE_BAD_CONTENT_ENCODING:
        return jp("受信したデータを展開できません");
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return jp("アドレスの形式が正しくありません");
    case CURLE_OUT_OF_MEMORY:
        return jp("メモリが足りません");
    default:
        break;
    }
    std::string text = description;
    if (text.empty()) {
        text = curl_easy_strerror(static_cast<CURLcode>(curlCode));
    }
    return jp("通信エラー: ") + text;
}

std::optional<std::time_t> HttpExchange::parseHttpDate(const std::string& text) {
    const std::time_t value = curl_getdate(text.c_str(), nullptr);
    if (value == -1) {
        return std::nullopt;
    }
    return value;
}

HttpExchange::HttpExchange(const std::atomic<bool>* cancel, const Clock& clock)
    : m_cancel(cancel), m_clock(clock), m_errorBuffer(CURL_ERROR_SIZE + 1, '\0') {
    initCurl();
    m_easy = curl_easy_init();
    m_multi = curl_multi_init();
    if (!m_easy || !m_multi) {
        return;
    }
    CURL* handle = easy(m_easy);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, m_errorBuffer.data());
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &HttpExchange::onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &HttpExchange::onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &HttpExchange::onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    // The engine follows relocations itself and speaks HTTP/1.1 like the client it replaces.
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // Only the request's own proxy setting counts, never the environment's.
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
}

HttpExchange::~HttpExchange() {
    close();
    if (m_multi) {
        curl_multi_cleanup(multi(m_multi));
    }
    if (m_easy) {
        curl_easy_cleanup(easy(m_easy));
    }
    curl_slist_free_all(m_headerList);
}

void HttpExchange::configure(const Request& request) {
    CURL* handle = easy(m_easy);
    curl_easy_setopt(handle, CURLOPT_URL, encodedAddress(request.url).c_str());
    curl_easy_setopt(handle, CURLOPT_PROXY, request.proxy.c_str());

    curl_slist_free_all(m_headerList);
    m_headerList = nullptr;
    for (const std::string& line : request.headers) {
        m_headerList = curl_slist_append(m_headerList, line.c_str());
    }
    // No "Expect: 100-continue" round trip before a body.
    m_headerList = curl_slist_append(m_headerList, "Expect:");
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, m_headerList);

    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
    if (request.body) {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body->size()));
        curl_easy_setopt(handle, CURLOPT_COPYPOSTFIELDS, request.body->c_str());
        if (request.head) {
            // libcurl sends no body with its own HEAD; a POST renamed to HEAD does. The caller
            // reads nothing after the headers, so the response's missing body is never awaited.
            curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "HEAD");
        }
    } else {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(handle, CURLOPT_NOBODY, request.head ? 1L : 0L);
    }

    if (request.credentials) {
        curl_easy_setopt(handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(handle, CURLOPT_USERNAME, request.credentials->first.c_str());
        curl_easy_setopt(handle, CURLOPT_PASSWORD, request.credentials->second.c_str());
    } else {
        curl_easy_setopt(handle, CURLOPT_USERNAME, static_cast<const char*>(nullptr));
        curl_easy_setopt(handle, CURLOPT_PASSWORD, static_cast<const char*>(nullptr));
    }

    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT,
                     static_cast<long>(request.connectTimeoutSeconds));
    m_stallLimit = std::chrono::seconds(request.stallTimeoutSeconds);
    m_lowSpeedBytes = request.lowSpeedBytesPerSecond;
    m_lowSpeedTime = std::chrono::seconds(std::max(1, request.lowSpeedSeconds));
    m_deadline = request.deadline;
    m_timeLimitSeconds = request.timeLimitSeconds;
    m_viaProxy = !request.proxy.empty();
    if (!request.caFile.empty()) {
        // Only ever set: a null value would also drop the system's default bundle.
        curl_easy_setopt(handle, CURLOPT_CAINFO, request.caFile.c_str());
    }
}

long HttpExchange::send(const Request& request) {
    close();
    if (!m_easy || !m_multi) {
        throw CFetchException(2, jp("通信の準備ができません（HTTPクライアントを作成できません）"));
    }
    m_rawHeaders.clear();
    m_body.clear();
    m_bodyPos = 0;
    m_headersDone = false;
    m_done = false;
    m_paused = false;
    m_result = CURLE_OK;
    m_errorBuffer[0] = '\0';
    m_uploaded = 0;
    m_transferred = 0;
    m_windowTransferred = 0;
    m_lastActivity = m_clock.steadyNow();
    m_windowStart = m_lastActivity;

    configure(request);
    if (curl_multi_add_handle(multi(m_multi), easy(m_easy)) != CURLM_OK) {
        throw CFetchException(2, jp("通信の準備ができません（HTTPリクエストを開始できません）"));
    }
    m_active = true;
    drive([this] { return m_headersDone; });
    if (!m_headersDone) {
        throwFailure();
    }
    long status = 0;
    curl_easy_getinfo(easy(m_easy), CURLINFO_RESPONSE_CODE, &status);
    return status;
}

std::optional<std::string> HttpExchange::header(std::string_view name) const {
    std::string_view rest = m_rawHeaders;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos &&
            equalsIgnoringAsciiCase(line.substr(0, colon), name)) {
            return std::string(trim(line.substr(colon + 1)));
        }
    }
    return std::nullopt;
}

std::size_t HttpExchange::read(char* buffer, std::size_t size) {
    while (buffered() == 0 && !m_done) {
        if (m_paused) {
            // Resuming hands the held-back data straight to onBody.
            m_paused = false;
            curl_easy_pause(easy(m_easy), CURLPAUSE_CONT);
            continue;
        }
        drive([this] { return buffered() > 0 || m_paused; });
    }
    if (buffered() == 0) {
        if (m_result != CURLE_OK) {
            throwFailure();
        }
        return 0;
    }
    const std::size_t count = std::min(size, buffered());
    std::memcpy(buffer, m_body.data() + m_bodyPos, count);
    m_bodyPos += count;
    if (m_bodyPos == m_body.size()) {
        m_body.clear();
        m_bodyPos = 0;
    }
    return count;
}

void HttpExchange::close() {
    if (m_active) {
        curl_multi_remove_handle(multi(m_multi), easy(m_easy));
        m_active = false;
    }
}

template <typename Ready>
void HttpExchange::drive(Ready ready) {
    for (;;) {
        if (cancelled()) {
            close();
            throw CFetchException(-1);
        }
        int running = 0;
        curl_multi_perform(multi(m_multi), &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi(m_multi), &queued)) {
            if (message->msg == CURLMSG_DONE) {
                m_done = true;
                m_result = message->data.result;
            }
        }
        if (m_done || ready()) {
            return;
        }
        const auto now = m_clock.steadyNow();
        if (now - m_lastActivity > m_stallLimit) {
            close();
            throw CFetchException(2, std::to_string(m_stallLimit.count()) +
                                         jp("秒間データが届かないため中断しました"));
        }
        // A body that arrives just fast enough for the low-speed check would otherwise hold the
        // check, and every item behind it, for as long as the server likes.
        if (now >= m_deadline) {
            close();
            throw CFetchException(2, jp("ダウンロードに時間がかかりすぎるため中断しました（上限") +
                                         durationText(m_timeLimitSeconds) + jp("）"));
        }
        checkLowSpeed();
        curl_multi_poll(multi(m_multi), nullptr, 0, kPollMs, nullptr);
    }
}

void HttpExchange::checkLowSpeed() {
    if (m_lowSpeedBytes <= 0) {
        return;
    }
    const auto now = m_clock.steadyNow();
    if (now - m_windowStart < m_lowSpeedTime) {
        return;
    }
    if (m_transferred - m_windowTransferred < m_lowSpeedBytes * m_lowSpeedTime.count()) {
        close();
        throw CFetchException(2, jp("通信速度が遅すぎるため中断しました（" +
                                    std::to_string(m_lowSpeedTime.count()) + "秒間の平均が毎秒" +
                                    std::to_string(m_lowSpeedBytes) + "バイト未満）"));
    }
    m_windowStart = now;
    m_windowTransferred = m_transferred;
}

void HttpExchange::throwFailure() const {
    if (cancelled()) {
        throw CFetchException(-1);
    }
    // libcurl refuses a header line beyond its limit as if memory had run out.
    if (m_result == CURLE_OUT_OF_MEMORY && !m_headersDone) {
        throw CFetchException(2, jp("サーバーの応答ヘッダーが長すぎます"));
    }
    if (m_result == CURLE_OK) {
        // The transfer ended without a final response.
        throw CFetchException(2, jp("サーバーから応答がありません"));
    }
    long osErrno = 0;
    curl_easy_getinfo(easy(m_easy), CURLINFO_OS_ERRNO, &osErrno);
    throw CFetchException(2, failureText(m_result, osErrno, m_errorBuffer.data(), m_viaProxy));
}

std::size_t HttpExchange::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* exchange = static_cast<HttpExchange*>(self);
    const std::string_view line(data, size * count);
    if (exchange->m_headersDone) {
        return line.size(); // trailers of a chunked body
    }
    if (line.starts_with("HTTP/")) {
        exchange->m_rawHeaders.clear(); // a new response after an interim one
    }
    exchange->m_lastActivity = exchange->m_clock.steadyNow();
    exchange->m_transferred += static_cast<std::int64_t>(line.size());
    exchange->m_rawHeaders.append(line);
    if (line == "\r\n" || line == "\n") {
        long status = 0;
        curl_easy_getinfo(easy(exchange->m_easy), CURLINFO_RESPONSE_CODE, &status);
        exchange->m_headersDone = status >= 200;
    }
    return line.size();
}

static_assert(std::is_same_v<curl_off_t, std::int64_t>, "progress callback type");

int HttpExchange::onProgress(void* self, std::int64_t, std::int64_t, std::int64_t,
                             std::int64_t uploaded) {
    auto* exchange = static_cast<HttpExchange*>(self);
    if (uploaded != exchange->m_uploaded) {
        exchange->m_transferred += uploaded - exchange->m_uploaded;
        exchange->m_uploaded = uploaded;
        exchange->m_lastActivity = exchange->m_clock.steadyNow();
    }
    // Aborts a transfer that libcurl is in the middle of; drive() sees the flag between calls.
    return exchange->cancelled() ? 1 : 0;
}

std::size_t HttpExchange::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto* exchange = static_cast<HttpExchange*>(self);
    if (exchange->buffered() >= kMaxBuffered) {
        exchange->m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    exchange->m_lastActivity = exchange->m_clock.steadyNow();
    exchange->m_transferred += static_cast<std::int64_t>(size * count);
    exchange->m_body.append(data, size * count);
    return size * count;
}

} // namespace tw
