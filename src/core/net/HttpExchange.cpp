#include "core/net/HttpExchange.h"

#include "core/net/CFetchException.h"
#include "core/net/CurlLibrary.h"
#include "core/net/HttpConnections.h"
#include "core/util/Cp932.h"
#include "core/util/TextUtil.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>

namespace tw {

namespace {

/// More than this much unread body makes libcurl hold back the rest until the reader catches up.
constexpr std::size_t kMaxBuffered = std::size_t{256} * 1024;
/// Longest wait for network activity before the cancel flag is looked at again.
constexpr int kPollMs = 100;
/// Most of a body left unread that release() still reads to keep the connection: an error page
/// costs less to read than a new connection does; a long one is not worth waiting for.
constexpr std::size_t kMaxDrained = std::size_t{64} * 1024;

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
    const CurlFunctions* curl = curlLibrary();
    CURLU* parsed = curl ? curl->url() : nullptr;
    if (!parsed) {
        return std::nullopt;
    }
    std::optional<Address> result;
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl->urlSet(parsed, CURLUPART_URL, encodedAddress(url).c_str(), 0) == CURLUE_OK &&
        curl->urlGet(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl->urlGet(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl->urlGet(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        std::string name = host;
        if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
            name = name.substr(1, name.size() - 2);
        }
        result = Address{scheme, name, port};
    }
    curl->free(scheme);
    curl->free(host);
    curl->free(port);
    curl->urlCleanup(parsed);
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
        const CurlFunctions* curl = curlLibrary();
        text =
            curl ? curl->easyStrerror(static_cast<CURLcode>(curlCode)) : std::to_string(curlCode);
    }
    return jp("通信エラー: ") + text;
}

std::optional<std::time_t> HttpExchange::parseHttpDate(const std::string& text) {
    const CurlFunctions* curl = curlLibrary();
    const std::time_t value = curl ? curl->getdate(text.c_str(), nullptr) : -1;
    if (value == -1) {
        return std::nullopt;
    }
    return value;
}

HttpExchange::HttpExchange(const std::atomic<bool>* cancel, const Clock& clock,
                           HttpConnections* connections)
    : m_cancel(cancel), m_clock(clock), m_curl(curlLibrary()), m_connections(connections),
      m_errorBuffer(CURL_ERROR_SIZE + 1, '\0') {
    if (!m_curl) {
        return;
    }
    if (!m_connections) {
        m_ownConnections = std::make_unique<HttpConnections>();
        m_connections = m_ownConnections.get();
    }
    if (m_connections->open()) {
        m_easy = m_connections->easy();
        m_multi = m_connections->multi();
    }
}

HttpExchange::~HttpExchange() {
    close();
    if (m_easy) {
        // The handle outlives this exchange: nothing of it (buffers, header list, callbacks'
        // data) may stay set. Connections and cached names are kept by the reset.
        m_curl->easyReset(easy(m_easy));
    }
    if (m_curl) {
        m_curl->slistFreeAll(m_headerList);
    }
}

void HttpExchange::configure(const Request& request) {
    CURL* handle = easy(m_easy);
    // Every option of the previous request goes, whoever set it (method, body, credentials,
    // proxy, certificate file, encodings): what this request needs is set below.
    m_curl->easyReset(handle);
    m_curl->set<CURLOPT_NOSIGNAL>(handle, 1L);
    m_curl->set<CURLOPT_ERRORBUFFER>(handle, m_errorBuffer.data());
    m_curl->set<CURLOPT_HEADERFUNCTION>(handle, &HttpExchange::onHeader);
    m_curl->set<CURLOPT_HEADERDATA>(handle, this);
    m_curl->set<CURLOPT_WRITEFUNCTION>(handle, &HttpExchange::onBody);
    m_curl->set<CURLOPT_WRITEDATA>(handle, this);
    m_curl->set<CURLOPT_NOPROGRESS>(handle, 0L);
    m_curl->set<CURLOPT_XFERINFOFUNCTION>(handle, &HttpExchange::onProgress);
    m_curl->set<CURLOPT_XFERINFODATA>(handle, this);
    // The engine follows relocations itself and speaks HTTP/1.1 like the client it replaces.
    m_curl->set<CURLOPT_FOLLOWLOCATION>(handle, 0L);
    m_curl->set<CURLOPT_HTTP_VERSION>(handle, static_cast<long>(CURL_HTTP_VERSION_1_1));
    m_curl->set<CURLOPT_PROTOCOLS_STR>(handle, "http,https");
    m_curl->set<CURLOPT_SUPPRESS_CONNECT_HEADERS>(handle, 1L);
    // Only the request's own proxy setting counts, never the environment's.
    m_curl->set<CURLOPT_NOPROXY>(handle, "");

    m_curl->set<CURLOPT_URL>(handle, encodedAddress(request.url).c_str());
    m_curl->set<CURLOPT_PROXY>(handle, request.proxy.c_str());

    m_curl->slistFreeAll(m_headerList);
    m_headerList = nullptr;
    for (const std::string& line : request.headers) {
        m_headerList = m_curl->slistAppend(m_headerList, line.c_str());
    }
    // No "Expect: 100-continue" round trip before a body.
    m_headerList = m_curl->slistAppend(m_headerList, "Expect:");
    m_curl->set<CURLOPT_HTTPHEADER>(handle, m_headerList);

    m_curl->set<CURLOPT_CUSTOMREQUEST>(handle, static_cast<const char*>(nullptr));
    if (request.body) {
        m_curl->set<CURLOPT_NOBODY>(handle, 0L);
        m_curl->set<CURLOPT_POSTFIELDSIZE_LARGE>(handle,
                                                 static_cast<curl_off_t>(request.body->size()));
        m_curl->set<CURLOPT_COPYPOSTFIELDS>(handle, request.body->c_str());
        if (request.head) {
            // libcurl sends no body with its own HEAD; a POST renamed to HEAD does. The caller
            // reads nothing after the headers, so the response's missing body is never awaited.
            m_curl->set<CURLOPT_CUSTOMREQUEST>(handle, "HEAD");
        }
    } else {
        m_curl->set<CURLOPT_HTTPGET>(handle, 1L);
        m_curl->set<CURLOPT_NOBODY>(handle, request.head ? 1L : 0L);
    }

    if (request.credentials) {
        m_curl->set<CURLOPT_HTTPAUTH>(handle, static_cast<long>(CURLAUTH_BASIC));
        m_curl->set<CURLOPT_USERNAME>(handle, request.credentials->first.c_str());
        m_curl->set<CURLOPT_PASSWORD>(handle, request.credentials->second.c_str());
    } else {
        m_curl->set<CURLOPT_USERNAME>(handle, static_cast<const char*>(nullptr));
        m_curl->set<CURLOPT_PASSWORD>(handle, static_cast<const char*>(nullptr));
    }

    m_curl->set<CURLOPT_CONNECTTIMEOUT>(handle, static_cast<long>(request.connectTimeoutSeconds));
    m_stallLimit = std::chrono::seconds(request.stallTimeoutSeconds);
    m_lowSpeedBytes = request.lowSpeedBytesPerSecond;
    m_lowSpeedTime = std::chrono::seconds(std::max(1, request.lowSpeedSeconds));
    m_deadline = request.deadline;
    m_timeLimitSeconds = request.timeLimitSeconds;
    m_viaProxy = !request.proxy.empty();
    if (!request.caFile.empty()) {
        // Only ever set: a null value would also drop the system's default bundle (the reset
        // above brought that back).
        m_curl->set<CURLOPT_CAINFO>(handle, request.caFile.c_str());
    }
    if (request.decodeContent) {
        const bool named = std::any_of(
            request.headers.begin(), request.headers.end(), [](const std::string& line) {
                return line.size() > 16 &&
                       equalsIgnoringAsciiCase(std::string_view(line).substr(0, 16),
                                               "Accept-Encoding:");
            });
        if (!named) {
            // "": every encoding this libcurl was built to decode.
            m_curl->set<CURLOPT_ACCEPT_ENCODING>(handle, "");
        }
    }
}

long HttpExchange::send(const Request& request) {
    release();
    if (!m_curl) {
        throw CFetchException(2, jp("通信の準備ができません（libcurlを読み込めません: ") +
                                     toCp932(curlLibraryError()) + jp("）"));
    }
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
    if (m_curl->multiAddHandle(multi(m_multi), easy(m_easy)) != CURLM_OK) {
        throw CFetchException(2, jp("通信の準備ができません（HTTPリクエストを開始できません）"));
    }
    m_active = true;
    drive([this] { return m_headersDone; });
    if (!m_headersDone) {
        throwFailure();
    }
    long status = 0;
    m_curl->easyGetinfo(easy(m_easy), CURLINFO_RESPONSE_CODE, &status);
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
            m_curl->easyPause(easy(m_easy), CURLPAUSE_CONT);
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
        m_curl->multiRemoveHandle(multi(m_multi), easy(m_easy));
        m_active = false;
    }
}

void HttpExchange::release() {
    if (!m_active) {
        return;
    }
    try {
        std::size_t drained = 0;
        char block[4096];
        while (!m_done && !cancelled() && drained <= kMaxDrained) {
            const std::size_t count = read(block, sizeof block);
            if (count == 0) {
                break;
            }
            drained += count;
        }
    } catch (const CFetchException&) {
        // The connection is dropped below like any other abandoned one.
    }
    close();
}

template <typename Ready>
void HttpExchange::drive(Ready ready) {
    for (;;) {
        if (cancelled()) {
            close();
            throw CFetchException(-1);
        }
        int running = 0;
        m_curl->multiPerform(multi(m_multi), &running);
        int queued = 0;
        while (CURLMsg* message = m_curl->multiInfoRead(multi(m_multi), &queued)) {
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
        m_curl->multiPoll(multi(m_multi), nullptr, 0, kPollMs, nullptr);
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
    m_curl->easyGetinfo(easy(m_easy), CURLINFO_OS_ERRNO, &osErrno);
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
        exchange->m_curl->easyGetinfo(easy(exchange->m_easy), CURLINFO_RESPONSE_CODE, &status);
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
