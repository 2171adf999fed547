#include "core/net/CFetch.h"

#include "core/net/CFetchException.h"
#include "core/net/HttpExchange.h"
#include "core/platform/CodeGuess.h"
#include "core/ports/Prompter.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/FieldRules.h"
#include "core/util/SystemPath.h"
#include "core/util/TestHooks.h"
#include "core/util/TextUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

namespace tw {

namespace {

constexpr std::size_t kMaxErrorText = 1024;

std::string headerName(const std::string& line) {
    std::string name = line.substr(0, line.find(':'));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
        name.pop_back();
    }
    return name;
}

/// Adds a header line unless the list already has a header of that name.
void addIfNew(std::vector<std::string>& headers, const std::string& line) {
    const std::string name = headerName(line);
    for (const std::string& present : headers) {
        if (equalsIgnoringAsciiCase(headerName(present), name)) {
            return;
        }
    }
    headers.push_back(line);
}

/// Seconds a busy server (429, 503) asked to be left alone, from now; -1 when it did not say.
std::int64_t retryAfter(const HttpExchange& exchange, std::time_t now) {
    const auto value = exchange.header("Retry-After");
    if (!value || value->empty()) {
        return -1;
    }
    if (std::all_of(value->begin(), value->end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
        return value->size() > 12 ? std::int64_t{999'999'999'999} : std::stoll(*value);
    }
    const std::optional<std::time_t> date = HttpExchange::parseHttpDate(*value);
    return date ? std::max<std::int64_t>(*date - now, 0) : -1;
}

bool isRelocation(long status) {
    return status == 301 || status == 302 || status == 303;
}

/// A header value that would end its line early or be cut short is refused, never sent.
void refuseLineBreak(const std::string& value, const char* field) {
    if (breaksHeaderLine(value)) {
        throw CFetchException(
            2, jp(std::string(field) + "に改行またはNUL文字が含まれているため送信できません。"));
    }
}

/// Limits that only tests shorten (util/TestHooks.h), so that a drip or an endless body ends in
/// seconds: the low-speed window and rate are replaced, the size and time limits lowered (never
/// raised). -1 when the hook is unset or not a positive number.
std::int64_t testLimit(TestHook hook) {
    const auto value = testHook(hook);
    if (!value) {
        return -1;
    }
    char* end = nullptr;
    const long long number = std::strtoll(value->c_str(), &end, 10);
    return end && *end == '\0' && number > 0 ? number : -1;
}

std::atomic<int> g_maxDownloadSeconds{CFetch::kDefaultMaxDownloadSeconds};

/// Where `name` (lower case) stands in `text` as a word of its own, from `from` on.
std::size_t findWord(std::string_view text, std::string_view name, std::size_t from) {
    for (std::size_t at = from; at + name.size() <= text.size(); ++at) {
        const bool starts =
            at == 0 || text[at - 1] == ' ' || text[at - 1] == ',' || text[at - 1] == '\t';
        const bool ends = at + name.size() == text.size() ||
                          !std::isalnum(static_cast<unsigned char>(text[at + name.size()]));
        if (starts && ends && equalsIgnoringAsciiCase(text.substr(at, name.size()), name)) {
            return at;
        }
    }
    return std::string_view::npos;
}

} // namespace

CFetch::CFetch(Prompter* prompter, const Clock& clock, HttpConnections* connections)
    : m_prompter(prompter), m_clock(clock), m_connections(connections) {}

void CFetch::setMaxDownloadSeconds(int seconds) {
    g_maxDownloadSeconds = seconds > 0 ? seconds : kDefaultMaxDownloadSeconds;
}

int CFetch::maxDownloadSeconds() {
    return g_maxDownloadSeconds;
}

int CFetch::timeLimitSeconds() const {
    std::int64_t limit =
        m_request->maxDownloadSeconds > 0 ? m_request->maxDownloadSeconds : maxDownloadSeconds();
    if (const auto test = testLimit(TestHook::MaxDownloadSeconds); test > 0) {
        limit = std::min(limit, test);
    }
    return static_cast<int>(limit);
}

std::string CFetch::originText(const HttpExchange::Address& origin) {
    const std::string scheme = asciiLower(origin.scheme);
    std::string text = scheme + "://";
    text += origin.host.find(':') != std::string::npos ? "[" + origin.host + "]" : origin.host;
    const bool defaultPort =
        (scheme == "http" && origin.port == "80") || (scheme == "https" && origin.port == "443");
    if (!defaultPort && !origin.port.empty()) {
        text += ":" + origin.port;
    }
    return text;
}

std::string CFetch::realmOf(const std::string& wwwAuthenticate) {
    const std::string_view value = wwwAuthenticate;
    const std::size_t basic = findWord(value, "basic", 0);
    std::size_t at = findWord(value, "realm", basic == std::string_view::npos ? 0 : basic);
    if (at == std::string_view::npos) {
        at = findWord(value, "realm", 0);
    }
    if (at == std::string_view::npos) {
        return {};
    }
    at += 5;
    while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) {
        ++at;
    }
    if (at >= value.size() || value[at] != '=') {
        return {};
    }
    ++at;
    while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) {
        ++at;
    }
    std::string realm;
    if (at < value.size() && value[at] == '"') {
        for (++at; at < value.size() && value[at] != '"'; ++at) {
            if (value[at] == '\\' && at + 1 < value.size()) {
                ++at;
            }
            realm += value[at];
        }
    } else {
        while (at < value.size() && value[at] != ',' && value[at] != ' ' && value[at] != '\t') {
            realm += value[at++];
        }
    }
    // A server chooses these bytes: nothing in them may break the dialog's lines.
    std::erase_if(realm, [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F;
    });
    if (isUtf8(realm)) {
        realm = toCp932(realm);
    }
    // Cut on a character boundary of code page 932.
    std::size_t end = 0;
    while (end < realm.size()) {
        const auto c = static_cast<unsigned char>(realm[end]);
        const std::size_t width = ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) ? 2 : 1;
        if (end + width > kMaxRealmBytes) {
            break;
        }
        end += width;
    }
    realm.resize(std::min(end, realm.size()));
    return realm;
}

bool CFetch::isLocalHost(const std::string& host) {
    if (host.empty()) {
        return false;
    }
    if (host.find(':') != std::string::npos) {
        in6_addr address{};
        if (inet_pton(AF_INET6, host.c_str(), &address) != 1) {
            return false;
        }
        if (IN6_IS_ADDR_LOOPBACK(&address)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
    }
    if (host.find('.') == std::string::npos) {
        return true;
    }
    in_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::string CFetch::contentSubtype(const std::string& contentType) {
    const auto pos = contentType.find_last_of("/ ,");
    return pos == std::string::npos ? contentType : contentType.substr(pos + 1);
}

std::time_t CFetch::lastModifiedTime(const std::string& headerValue) {
    const auto utc = HttpExchange::parseHttpDate(headerValue);
    if (!utc) {
        return 0;
    }
    std::tm fields{};
    if (!gmtime_r(&*utc, &fields)) {
        return 0;
    }
    fields.tm_isdst = -1;
    const std::time_t value = std::mktime(&fields);
    return value == -1 ? 0 : value;
}

void CFetch::begin(FetchRequest& request) {
    m_request = &request;
    m_readySignalled = false;
    m_lastStatus = 0;
    request.authenticationRefused = false;
    request.savedPath.clear();
    request.contentType.clear();
    request.etag.clear();
    request.lastModifiedHeader.clear();
    m_itemOrigin = HttpExchange::parseAddress(request.targetUrl);
    m_timeLimit = timeLimitSeconds();
    m_deadline = m_clock.steadyNow() + std::chrono::seconds(m_timeLimit);
}

void CFetch::signalReady() {
    if (m_readySignalled) {
        return;
    }
    m_readySignalled = true;
    if (m_request->onReady) {
        m_request->onReady(*m_request);
    }
}

int CFetch::fetchToFile(FetchRequest& request) {
    begin(request);
    HttpExchange exchange(request.cancelRequested, m_clock, m_connections);
    try {
        const long result = retrieve(Verb::Download, exchange);
        m_lastStatus = result > 1 ? result : 0;
        if (m_lastStatus != 0) {
            request.etag = exchange.header("ETag").value_or(std::string());
            request.lastModifiedHeader = exchange.header("Last-Modified").value_or(std::string());
        }
        if (result == 200 || result == 206) {
            bodyPhase(exchange);
        } else if (result == 1) {
            if (request.errorText.empty()) {
                request.errorText = jp("リロケーションの許容回数を越えました");
                request.errorKind = 2;
            } else {
                request.errorKind = 3;
            }
        } else {
            request.errorKind = static_cast<int>(result);
            if (result == 429 || result == 503) {
                request.retryAfterSeconds = retryAfter(exchange, m_clock.now());
            }
        }
    } catch (const CFetchException& e) {
        request.errorKind = e.kind();
        if (e.text()) {
            request.errorText = e.text()->substr(0, kMaxErrorText);
        }
    }
    exchange.release();
    signalReady();
    return request.errorKind;
}

std::time_t CFetch::queryLastModified(FetchRequest& request) {
    begin(request);
    request.errorKind = -1;
    HttpExchange exchange(request.cancelRequested, m_clock, m_connections);
    try {
        const long result = retrieve(Verb::Head, exchange);
        m_lastStatus = result > 1 ? result : 0;
        if (result == 200 || result == 206) {
            request.errorKind = 0;
            const auto header = exchange.header("Last-Modified");
            const std::time_t value = header ? lastModifiedTime(*header) : 0;
            if (value != 0) {
                request.lastModified = value;
            }
            // Ended rather than abandoned: its connection serves the download that may follow.
            exchange.release();
            return value;
        }
        if (result == 1 && request.errorText.empty()) {
            request.errorText = jp("リロケーションの許容回数を越えました");
            request.errorKind = 2;
        }
    } catch (const CFetchException& e) {
        request.errorKind = e.kind();
        if (e.text()) {
            request.errorText = e.text()->substr(0, kMaxErrorText);
        }
    }
    exchange.release();
    signalReady();
    return 0;
}

long CFetch::retrieve(Verb verb, HttpExchange& exchange) {
    FetchRequest& request = *m_request;
    std::string address = request.targetUrl;
    long result = 0;
    // The first request and at most one more after a relocation.
    for (int n = 0; n < 2; ++n) {
        result = attempt(verb, exchange, address);
        if (result != 1) {
            break;
        }
        // errorText is empty when the relocation keeps the file name.
        if (!request.errorText.empty() && request.allowRelocation == 0) {
            break;
        }
    }
    return result;
}

long CFetch::attempt(Verb verb, HttpExchange& exchange, std::string& address) {
    FetchRequest& request = *m_request;

    const auto parsed = HttpExchange::parseAddress(address);
    if (!parsed || (parsed->scheme != "http" && parsed->scheme != "https")) {
        throw CFetchException(1);
    }
    request.errorKind = 0;

    HttpExchange::Request http;
    http.url = address;
    if (!request.proxy.empty() && !(request.noProxyForLocal && isLocalHost(parsed->host))) {
        http.proxy = request.proxy;
    }
    http.head = verb == Verb::Head;
    if (!request.formData.empty()) {
        http.body = request.formData;
    }
    // The item's credentials, cookie and extra headers stay with its origin, and what the user
    // typed for another origin stays with that one; an https page's never travel over http,
    // since the scheme is part of the origin.
    const bool itemOrigin = m_itemOrigin && m_itemOrigin->sameOrigin(*parsed);
    const std::string origin = originText(*parsed);
    const auto& other = request.otherOriginCredentials;
    if (itemOrigin && !request.userName.empty()) {
        http.credentials = {request.userName, request.password};
    } else if (!itemOrigin && other && equalsIgnoringAsciiCase(other->origin, origin)) {
        http.credentials = {other->userName, other->password};
    }
    http.connectTimeoutSeconds = request.connectTimeoutSeconds;
    http.stallTimeoutSeconds = request.stallTimeoutSeconds;
    http.lowSpeedBytesPerSecond = request.lowSpeedBytesPerSecond;
    http.lowSpeedSeconds = request.lowSpeedSeconds;
    if (const auto seconds = testLimit(TestHook::LowSpeedSeconds); seconds > 0) {
        http.lowSpeedSeconds = static_cast<int>(std::min<std::int64_t>(seconds, 3600));
    }
    if (const auto bytes = testLimit(TestHook::LowSpeedBytes); bytes > 0) {
        http.lowSpeedBytesPerSecond = bytes;
    }
    http.caFile = request.caFile;
    if (http.caFile.empty()) {
        if (const char* env = std::getenv("TARNWICK_CA_FILE"); env && *env) {
            http.caFile = env;
        }
    }
    http.headers = requestHeaders(verb, itemOrigin);
    http.decodeContent =
        verb == Verb::Download && request.startOffset == 0 && request.acceptEncoding;
    http.deadline = m_deadline;
    http.timeLimitSeconds = m_timeLimit;
    const std::vector<std::string> baseHeaders = http.headers;

    long status = exchange.send(http);

    if (request.cancelled()) {
        throw CFetchException(-1);
    }
    while (status == 401) {
        request.errorKind = -1;
        std::string userName;
        std::string password;
        const Prompter::AuthChallenge challenge{
            origin, realmOf(exchange.header("WWW-Authenticate").value_or("")), itemOrigin};
        // The user's time in the prompt does not count against the call's time limit.
        const auto asked = m_clock.steadyNow();
        const bool confirmed = m_prompter && m_prompter->authenticate(userName, password, challenge,
                                                                      kAuthAutoCloseSeconds);
        m_deadline += m_clock.steadyNow() - asked;
        if (!confirmed) {
            request.authenticationRefused = true;
            throw CFetchException(2, jp("認証が否定されました"));
        }
        request.errorKind = 0;
        // Only the item's own server's answer is the item's: the caller keeps it. Another
        // server's is used for this request alone.
        if (itemOrigin) {
            request.password = password;
            request.userName = userName;
        } else {
            request.otherOriginCredentials = {origin, userName, password};
        }
        // A repeated prompt replaces the credentials of the previous one; an Authorization line
        // among the extra headers still wins.
        http.headers = baseHeaders;
        std::string pair = userName;
        pair += ':';
        pair += password;
        addIfNew(http.headers, "Authorization: Basic " + base64Encode(pair));
        http.deadline = m_deadline;
        status = exchange.send(http);
    }
    return relocate(status, exchange, address);
}

std::string CFetch::relocationAddress(const std::string& address, const std::string& location) {
    // Only a scheme makes a Location absolute: a relative name may well begin with "http"
    // ("http-notes.html").
    const std::string head = asciiLower(location.substr(0, 8));
    if (head.starts_with("http://") || head.starts_with("https://")) {
        return location;
    }
    const auto scheme = address.find("://");
    if (scheme == std::string::npos) {
        return location.starts_with("/") ? location : upToLast(address, '/') + location;
    }
    // The server part ends where the path, the query or the fragment begins; the folder ends
    // at the path's last "/", never at one inside the query. "http://host" and "http://host?q"
    // have the root as their folder.
    const auto pathStart = address.find_first_of("/?#", scheme + 3);
    const std::string server = address.substr(0, pathStart);
    if (location.starts_with("/")) {
        return server + location;
    }
    if (pathStart == std::string::npos || address[pathStart] != '/') {
        return server + "/" + location;
    }
    const std::string path = address.substr(0, address.find_first_of("?#", pathStart));
    return upToLast(path, '/') + location;
}

long CFetch::relocate(long status, const HttpExchange& exchange, std::string& address) {
    FetchRequest& request = *m_request;
    if (request.cancelled()) {
        throw CFetchException(2, jp("ダウンロードがキャンセルされました"));
    }
    if (!isRelocation(status)) {
        return status;
    }
    const auto location = exchange.header("Location");
    if (!location || location->empty()) {
        throw CFetchException(2, jp("不正なＵＲＬへのリダイレクト"));
    }
    if (std::any_of(location->begin(), location->end(),
                    [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
        throw CFetchException(2,
                              jp("リダイレクト先のアドレスに改行などの制御文字が含まれています"));
    }
    // "file:", "ftp:" and the like would otherwise be taken as a relative name.
    const auto colon = location->find(':');
    if (colon != std::string::npos && colon > 0 && location->find_first_of("/?#") > colon &&
        std::all_of(
            location->begin(), location->begin() + static_cast<long>(colon),
            [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; }) &&
        std::isalpha(static_cast<unsigned char>(location->front()))) {
        const std::string scheme = asciiLower(location->substr(0, colon));
        if (scheme != "http" && scheme != "https") {
            throw CFetchException(2,
                                  jp("http・https 以外のアドレスへのリダイレクトには従いません"));
        }
    }
    const bool sameName = afterLast(address, '/') == afterLast(*location, '/');
    address = relocationAddress(address, *location);
    request.errorText = sameName ? std::string() : *location;
    return 1;
}

std::vector<std::string> CFetch::requestHeaders(Verb verb, bool itemOrigin) {
    FetchRequest& request = *m_request;
    std::vector<std::string> headers;
    addIfNew(headers, "Accept: */*");
    if (!request.extraHeaders.empty()) {
        std::string& extra = request.extraHeaders;
        while (!extra.empty() &&
               (extra.back() == '\0' || std::strchr(" \t\r\n\v\f", extra.back()))) {
            extra.pop_back();
        }
        extra += "\r\n";
        // The lines are separated by CR LF; a CR, LF or NUL left inside a line is refused.
        std::size_t start = 0;
        while (start < extra.size()) {
            auto end = extra.find("\r\n", start);
            if (end == std::string::npos) {
                end = extra.size();
            }
            const std::string line = extra.substr(start, end - start);
            refuseLineBreak(line, "追加ヘッダー");
            // Any of them may carry a secret (an API key, Proxy-Authorization, a token under a
            // name of the site's own): they go only to the item's own origin.
            if (itemOrigin && line.find(':') != std::string::npos && !headerName(line).empty()) {
                addIfNew(headers, line);
            }
            start = end + 2;
        }
    }
    refuseLineBreak(request.userAgent, "ユーザーエージェント");
    refuseLineBreak(request.referer, "リファラー");
    refuseLineBreak(request.cookie, "クッキー");
    if (!request.formData.empty()) {
        addIfNew(headers, "Content-Length: " + std::to_string(request.formData.size()));
    }
    if (!request.userAgent.empty()) {
        addIfNew(headers, "User-Agent: " + request.userAgent);
    }
    if (!request.referer.empty()) {
        addIfNew(headers, "Referer: " + request.referer);
    }
    if (!request.cookie.empty() && itemOrigin) {
        addIfNew(headers, "Cookie: " + request.cookie);
    }
    if (request.startOffset != 0) {
        addIfNew(headers, "Range: bytes=" + std::to_string(request.startOffset) + "-");
    }
    // Validators describe the copy of the item's own page; a relocation's target or a resumed
    // file is another matter. Added after the extra lines, so that one of the user's wins.
    if (verb == Verb::Download && request.startOffset == 0 && itemOrigin) {
        refuseLineBreak(request.ifNoneMatch, "ETag");
        refuseLineBreak(request.ifModifiedSince, "Last-Modified");
        if (!request.ifNoneMatch.empty()) {
            addIfNew(headers, "If-None-Match: " + request.ifNoneMatch);
        }
        if (!request.ifModifiedSince.empty()) {
            addIfNew(headers, "If-Modified-Since: " + request.ifModifiedSince);
        }
    }
    addIfNew(headers, std::string("User-Agent: ") + kAgentName);
    return headers;
}

void CFetch::bodyPhase(HttpExchange& exchange) {
    FetchRequest& request = *m_request;
    m_contentType = exchange.header("Content-Type").value_or(std::string());
    request.contentType = m_contentType;
    const std::string subtype = contentSubtype(m_contentType);

    if (extension(request.destFile).empty()) {
        if (!request.destFile.ends_with('.')) {
            request.destFile += '.';
        }
        request.destFile += subtype;
    } else {
        const std::string addressExtension = extension(request.targetUrl);
        if (!addressExtension.empty() && (subtype == "html" || subtype == "htm") &&
            !equalsIgnoringAsciiCase(addressExtension, subtype)) {
            if (request.allowRelocation == 0) {
                throw CFetchException(2, jp("異なるファイルタイプが返されました"));
            }
            request.destFile = changeExtension(request.destFile, subtype);
            request.errorText = request.destFile;
        }
    }

    if (request.startOffset == 0) {
        if (const auto length = exchange.header("Content-Length")) {
            request.contentLength = parseInt64(*length);
            // The length of an encoded body says nothing of the decoded page's.
            const auto encoding = exchange.header("Content-Encoding");
            const bool decoded = request.acceptEncoding && encoding && !encoding->empty() &&
                                 !equalsIgnoringAsciiCase(*encoding, "identity");
            request.expectedSize = decoded ? 0 : request.contentLength;
            if (request.contentLength > maxBodyBytes()) {
                throw CFetchException(2, tooLargeText());
            }
        } else {
            request.contentLength = -1;
            request.expectedSize = 0;
        }
    } else {
        if (!exchange.header("Content-Range")) {
            throw CFetchException(-1);
        }
        request.errorKind = 0;
    }

    if (request.cancelled()) {
        throw CFetchException(-1);
    }

    const auto lastModified = exchange.header("Last-Modified");
    request.lastModified = lastModified ? lastModifiedTime(*lastModified) : 0;

    std::string path = request.destFile;
    if (request.startOffset == 0) {
        path = uniqueFileName(stripCounter(request.destFile));
        request.errorText = path;
        request.savedPath = path;
    }
    signalReady();
    writeBody(path, exchange);
}

std::int64_t CFetch::maxBodyBytes() const {
    std::int64_t limit = m_request->maxBodyBytes > 0 ? m_request->maxBodyBytes : 0;
    if (const auto test = testLimit(TestHook::MaxBodyBytes); test > 0) {
        limit = limit > 0 ? std::min(limit, test) : test;
    }
    return limit > 0 ? limit : std::numeric_limits<std::int64_t>::max();
}

std::string CFetch::tooLargeText() const {
    const std::int64_t limit = maxBodyBytes();
    const std::string size = limit % (1 << 20) == 0 ? std::to_string(limit >> 20) + "MB"
                                                    : std::to_string(limit) + "バイト";
    return jp("ページが大きすぎるため中断しました（上限" + size + "）");
}

void CFetch::writeBody(const std::string& path, HttpExchange& exchange) {
    FetchRequest& request = *m_request;
    const bool fresh = request.startOffset == 0;
    // A fresh file is always a new one of the program's own: never one that is already there,
    // and never through a symbolic link planted in a shared folder. A resumed file must be the
    // regular file the caller left. The path is the program's 932 text; the name on disk is
    // decided once, so that the file removed below is the one created here.
    const std::string diskPath = systemPath(path);
    const int fd =
        fresh ? ::open(diskPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
              : ::open(diskPath.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        request.errorText = jp("保存ファイルが作れません");
        request.errorKind = 2;
        return;
    }
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!file) {
        if (fd >= 0) {
            ::close(fd);
            if (fresh) {
                ::unlink(diskPath.c_str());
            }
        }
        request.errorText = jp("保存ファイルが作れません");
        request.errorKind = 2;
        return;
    }
    if (!fresh) {
        fseeko(file, static_cast<off_t>(request.startOffset), SEEK_SET);
    }
    const std::int64_t limit = maxBodyBytes();
    int result = 0;
    char block[kBlockSize];
    try {
        for (;;) {
            const std::size_t count = exchange.read(block, sizeof block);
            if (count == 0) {
                break;
            }
            if (ftello(file) + static_cast<std::int64_t>(count) > limit) {
                request.errorText = tooLargeText();
                result = 2;
                break;
            }
            if (std::fwrite(block, 1, count, file) != count) {
                request.errorText = systemErrorText(errno);
                result = 2;
                break;
            }
            request.bytesWritten = ftello(file);
            if (request.expectedSize != 0 && request.bytesWritten >= request.expectedSize) {
                break;
            }
            if (request.cancelled()) {
                request.errorText = jp("強制終了しました");
                result = 2;
                break;
            }
        }
    } catch (const CFetchException& e) {
        // Cancelled or failed while waiting for the next block.
        request.errorText = e.kind() == -1 ? jp("強制終了しました")
                                           : e.text().value_or("").substr(0, kMaxErrorText);
        result = 2;
    }
    request.bytesWritten = ftello(file);
    if (std::fclose(file) != 0 && result == 0) {
        request.errorText = systemErrorText(errno);
        result = 2;
    }
    // A half page is worth nothing to the caller unless it will resume it; left behind, the
    // parts pile up and fill the disk.
    if (result != 0 && fresh && !request.keepPartial) {
        ::unlink(diskPath.c_str());
        request.bytesWritten = 0;
    }
    if (result == 0 && path != request.destFile) {
        request.errorText = path;
    }
    if (result != 0) {
        request.savedPath.clear();
    }
    request.errorKind = result;
}

} // namespace tw
