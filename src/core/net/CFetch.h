#pragma once

#include "core/net/FetchRequest.h"
#include "core/net/HttpExchange.h"
#include "core/platform/Clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace tw {

class HttpConnections;
class Prompter;

/// Retrieves one web page over HTTP or HTTPS for one FetchRequest, on the calling thread.
///
/// Requests carry "Accept: */*", the request's extra header lines, Content-Length for form data,
/// User-Agent (the request's, else "Tarnwick1.20"), Referer, Cookie and Range as the request
/// calls for; a header already present is never added twice. Form data makes the request a POST
/// with that body (as application/x-www-form-urlencoded unless the extra headers name another
/// Content-Type). Addresses may be http or https (certificates are verified; see
/// FetchRequest::caFile); any other scheme gives errorKind 1. Redirects are not followed by the
/// client: a 301, 302 or 303 is followed once by the engine when it keeps the file name or when
/// allowRelocation is set. No page is cached; connections are, in the HttpConnections given to
/// the constructor (without one, each call has connections of its own). A fresh download of the
/// item's own origin sends the request's ifNoneMatch and ifModifiedSince as If-None-Match and
/// If-Modified-Since (a header of that name among the extra header lines wins); a 304 then ends
/// the call with errorKind 304 and no file. The final response's ETag and Last-Modified come
/// back in etag and lastModifiedHeader. A proxy ("host:port") is used unless noProxyForLocal
/// is set and the host is local (a name without a dot, or a loopback address). A 401 asks the user
/// through Prompter::authenticate on the calling thread (closing by itself after 60 s), naming
/// the origin that asked and its realm, and resends with the given credentials; anything but
/// true refuses ("認証が否定されました", errorKind 2). The item's credentials, cookie and extra
/// header lines go only to the origin (scheme, host, port) of targetUrl; credentials typed for
/// another origin (a relocation led there) go only to that origin, for this request only
/// (FetchRequest::otherOriginCredentials), and never into its userName and password. A header value
/// holding CR, LF or NUL is never sent: the call fails with errorKind 2 naming the field. A
/// transfer slower than the request's low-speed limit, a call longer than its time limit or a body
/// beyond maxBodyBytes fails with errorKind 2, and a fresh file that was not completed is removed
/// unless keepPartial is set. New files are created exclusively, mode 0600, never through a
/// symbolic link; paths are code page 932 text, turned into the name on disk (systemPath) at the
/// system call.
///
/// Outcomes are written into the request (errorKind, errorText, lastModified, destFile,
/// contentLength, expectedSize, bytesWritten, contentType, and userName/password after a prompt
/// for the item's own origin); no exception leaves the engine. Network failures give errorKind 2
/// with a short Japanese text (HttpExchange::failureText).
/// One CFetch serves one call at a time; it may be reused for further requests.
class CFetch {
public:
    /// Product name and version, sent as User-Agent when the request names none.
    static constexpr const char* kAgentName = "Tarnwick1.20";
    /// The authentication prompt closes by itself after this many seconds.
    static constexpr int kAuthAutoCloseSeconds = 60;
    /// Size of each block read from the response and written to the file.
    static constexpr std::size_t kBlockSize = 2048;
    /// Longest time one call may take unless the program's settings say otherwise.
    static constexpr int kDefaultMaxDownloadSeconds = 600;

    /// The program's time limit for every call whose request names none ([net] max_download_s
    /// of tarnwick.conf, read at start); values below 1 restore the default. Any thread.
    static void setMaxDownloadSeconds(int seconds);
    static int maxDownloadSeconds();

    /// Without a prompter every authentication demand is refused. Time limits are measured on
    /// the clock's steady time. Requests go over `connections` when given (it must outlive this
    /// CFetch and be used on this thread only).
    explicit CFetch(Prompter* prompter = nullptr, const Clock& clock = SystemClock::instance(),
                    HttpConnections* connections = nullptr);

    /// Retrieves targetUrl (GET, or POST when formData is set) and saves the body. The save name
    /// is destFile, given the content type as extension when it has none, counter-stripped and
    /// made unique on a fresh download; errorText then names the file written. With startOffset
    /// set the existing destFile is continued from that offset and the server must answer with
    /// a Content-Range. Returns the final errorKind, 0 on success.
    int fetchToFile(FetchRequest& request);

    /// Sends a HEAD request and returns the page's Last-Modified time (also stored in
    /// lastModified), or 0 when the request failed or the server sent none. errorKind is -1 on
    /// entry, 0 after a connection was made, and tells what failed.
    std::time_t queryLastModified(FetchRequest& request);

    /// Content-Type of the last response saved by fetchToFile.
    const std::string& contentType() const { return m_contentType; }
    /// Final HTTP status of the last call's response, 0 when no response came.
    long lastStatus() const { return m_lastStatus; }

    /// The proxy bypass rule for local addresses: a host name without a dot, or a loopback
    /// address (127.0.0.0/8, ::1).
    static bool isLocalHost(const std::string& host);
    /// The part of a content type after its last "/", " " or ",": "html" for "text/html".
    static std::string contentSubtype(const std::string& contentType);
    /// A Last-Modified header value as the engine stores it: the date's calendar fields taken
    /// as local time (mktime, daylight saving decided by the C library). 0 when unreadable.
    /// Values are only ever compared with values made the same way.
    static std::time_t lastModifiedTime(const std::string& headerValue);
    /// The address a relocation leads to from `address` with the Location header value
    /// `location` (not empty): an absolute "http://" or "https://" one as it is, one beginning
    /// with "/" on the current server, any other relative to the current address's folder.
    static std::string relocationAddress(const std::string& address, const std::string& location);
    /// An origin as the credentials prompt shows it: "scheme://host", with ":port" unless it is
    /// the scheme's default, an IPv6 host in brackets.
    static std::string originText(const HttpExchange::Address& origin);
    /// The realm of a WWW-Authenticate value (that of its Basic challenge when it names
    /// several) as the prompt can show it: code page 932 (converted when the server sent
    /// UTF-8), without control characters, at most kMaxRealmBytes long; empty when none.
    static std::string realmOf(const std::string& wwwAuthenticate);
    static constexpr std::size_t kMaxRealmBytes = 120;

private:
    enum class Verb { Download, Head };

    void begin(FetchRequest& request);
    long retrieve(Verb verb, HttpExchange& exchange);
    long attempt(Verb verb, HttpExchange& exchange, std::string& address);
    long relocate(long status, const HttpExchange& exchange, std::string& address);
    std::vector<std::string> requestHeaders(Verb verb, bool itemOrigin);
    int timeLimitSeconds() const;
    std::int64_t maxBodyBytes() const;
    std::string tooLargeText() const;
    void bodyPhase(HttpExchange& exchange);
    void writeBody(const std::string& path, HttpExchange& exchange);
    void signalReady();

    Prompter* m_prompter;
    const Clock& m_clock;
    HttpConnections* m_connections;
    FetchRequest* m_request = nullptr;
    std::string m_contentType;
    long m_lastStatus = 0;
    bool m_readySignalled = false;
    /// Where the item's credentials, cookie and extra headers belong.
    std::optional<HttpExchange::Address> m_itemOrigin;
    int m_timeLimit = kDefaultMaxDownloadSeconds;
    std::chrono::steady_clock::time_point m_deadline;
};

} // namespace tw
