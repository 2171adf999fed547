#pragma once

#include "core/platform/Clock.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct curl_slist;

namespace tw {

struct CurlFunctions;
class HttpConnections;

/// One HTTP request at a time over one libcurl handle, driven step by step: send() returns once
/// the final response headers are in, so that the caller can look at the status and headers
/// before it reads the body block by block or abandons the response. Used by CFetch only.
///
/// Failures are thrown as CFetchException: kind 2 with libcurl's message for a network failure,
/// kind -1 when the cancel flag was seen while waiting for the network.
class HttpExchange {
public:
    struct Request {
        std::string url;
        /// "host:port"; empty for a direct connection.
        std::string proxy;
        /// HEAD instead of GET/POST; a body is still sent when there is one.
        bool head = false;
        /// Sent as the body (POST, or with HEAD) when present.
        std::optional<std::string> body;
        /// Complete header lines without line ends, in the order to send.
        std::vector<std::string> headers;
        /// Credentials for Basic authentication, sent unless a header line carries its own.
        std::optional<std::pair<std::string, std::string>> credentials;
        int connectTimeoutSeconds = 30;
        int stallTimeoutSeconds = 60;
        /// Fewer bytes than this a second (received and sent), averaged over lowSpeedSeconds,
        /// fail the transfer; 0 turns the check off.
        std::int64_t lowSpeedBytesPerSecond = 0;
        int lowSpeedSeconds = 60;
        /// The whole exchange, the body read through read() included, fails once this moment
        /// has passed; `timeLimitSeconds` is the limit it stands for, named in the error text.
        std::chrono::steady_clock::time_point deadline =
            std::chrono::steady_clock::time_point::max();
        int timeLimitSeconds = 0;
        std::string caFile;
        /// Asks for the encodings libcurl can decode (Accept-Encoding) and hands read() the
        /// decoded body; unless a header line already names Accept-Encoding.
        bool decodeContent = false;
    };

    /// Scheme, host and port (the scheme's default when none is given) of an address; nothing
    /// when libcurl cannot parse it. The host of an IPv6 address comes without brackets. Blanks
    /// are taken as encodedAddress sends them.
    struct Address {
        std::string scheme;
        std::string host;
        std::string port;
        /// Scheme, host and port: what credentials are bound to.
        bool sameOrigin(const Address& other) const;
    };
    static std::optional<Address> parseAddress(const std::string& url);
    /// The address with each blank percent-encoded, as a browser sends an address pasted with
    /// blanks; everything else is left as written.
    static std::string encodedAddress(const std::string& url);
    /// An HTTP date (RFC 1123, RFC 850 or asctime form) in seconds since 1970 UTC; nothing when
    /// it cannot be read.
    static std::optional<std::time_t> parseHttpDate(const std::string& text);
    /// The Japanese text (code page 932) of a failed transfer: libcurl's result code, the
    /// system error behind it (CURLINFO_OS_ERRNO, 0 when none), libcurl's own description, and
    /// whether a proxy was in the way. The common failures have short texts of their own; any
    /// other keeps libcurl's description after a Japanese lead-in.
    static std::string failureText(int curlCode, long osErrno, const std::string& description,
                                   bool viaProxy);
    /// "10分" for 600, "90秒" for 90: a time limit as the error texts name it (code page 932).
    static std::string durationText(int seconds);

    /// Time-outs, the low-speed window and the deadline are measured on the clock's steady time.
    /// The requests go over `connections` (kept open between exchanges) when given, else over
    /// connections of this exchange alone.
    explicit HttpExchange(const std::atomic<bool>* cancel,
                          const Clock& clock = SystemClock::instance(),
                          HttpConnections* connections = nullptr);
    ~HttpExchange();
    HttpExchange(const HttpExchange&) = delete;
    HttpExchange& operator=(const HttpExchange&) = delete;

    /// Abandons any earlier response, sends the request and waits for the final response's
    /// headers. Returns the status code.
    long send(const Request& request);
    /// Header lines of the final response, CR LF separated, status line first.
    const std::string& rawHeaders() const { return m_rawHeaders; }
    /// The value of the first header of that name (case-insensitive), trimmed.
    std::optional<std::string> header(std::string_view name) const;
    /// Up to `size` bytes of the body; 0 at its end.
    std::size_t read(char* buffer, std::size_t size);
    /// Abandons the current response; the connection it used is dropped unless the response
    /// had ended.
    void close();
    /// Ends the current response, reading what is left of a short body (an error page, the
    /// rest of a body cut at its expected size) so that its connection can serve the next
    /// request; a longer one is abandoned as close() does. Never throws.
    void release();

private:
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
    static int onProgress(void* self, std::int64_t, std::int64_t, std::int64_t,
                          std::int64_t uploaded);
    void configure(const Request& request);
    /// Runs the transfer until `ready` holds or it ended; throws on cancel.
    template <typename Ready>
    void drive(Ready ready);
    [[noreturn]] void throwFailure() const;
    bool cancelled() const { return m_cancel && m_cancel->load(std::memory_order_relaxed); }
    void checkLowSpeed();
    std::size_t buffered() const { return m_body.size() - m_bodyPos; }

    const std::atomic<bool>* m_cancel;
    const Clock& m_clock;
    /// libcurl, opened by the first exchange; null when it could not be.
    const CurlFunctions* m_curl;
    /// The exchange's own connections when none were given.
    std::unique_ptr<HttpConnections> m_ownConnections;
    HttpConnections* m_connections;
    void* m_easy = nullptr;
    void* m_multi = nullptr;
    curl_slist* m_headerList = nullptr;
    bool m_active = false;
    bool m_headersDone = false;
    bool m_done = false;
    bool m_paused = false;
    int m_result = 0;
    std::string m_rawHeaders;
    std::string m_body;
    std::size_t m_bodyPos = 0;
    std::vector<char> m_errorBuffer;
    /// Time of the last byte received or sent; the transfer fails when it lies too far back.
    std::chrono::steady_clock::time_point m_lastActivity;
    std::chrono::seconds m_stallLimit{60};
    std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
    int m_timeLimitSeconds = 0;
    bool m_viaProxy = false;
    std::int64_t m_uploaded = 0;
    /// Bytes received (headers and body) and sent since send().
    std::int64_t m_transferred = 0;
    std::int64_t m_lowSpeedBytes = 0;
    std::chrono::seconds m_lowSpeedTime{60};
    /// The low-speed check compares the bytes moved since the start of the current window.
    std::chrono::steady_clock::time_point m_windowStart;
    std::int64_t m_windowTransferred = 0;
};

} // namespace tw
