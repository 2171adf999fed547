#include "net/CFetch.h"

#include "ports/Prompter.h"
#include "net/CFetchException.h"
#include "net/HttpExchange.h"
#include "util/Cp932.h"
#include "util/TextUtil.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tw {

namespace {

constexpr std::size_t kMaxErrorText = 1024;

bool sameHeaderName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

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
        if (sameHeaderName(headerName(present), name)) {
            return;
        }
    }
    headers.push_back(line);
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = char(c - 32);
        }
    }
    return text;
}

bool isRelocation(long status) {
    return status == 301 || status == 302 || status == 303;
}

} // namespace

CFetch::CFetch(Prompter* prompter) : m_prompter(prompter) {}

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
    HttpExchange exchange(request.cancelRequested);
    try {
        const long result = retrieve(Verb::Download, exchange);
        m_lastStatus = result > 1 ? result : 0;
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
        }
    } catch (const CFetchException& e) {
        request.errorKind = e.kind();
        if (e.text()) {
            request.errorText = e.text()->substr(0, kMaxErrorText);
        }
    }
    exchange.close();
    signalReady();
    return request.errorKind;
}

std::time_t CFetch::queryLastModified(FetchRequest& request) {
    begin(request);
    request.errorKind = -1;
    HttpExchange exchange(request.cancelRequested);
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
    exchange.close();
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
    if (!request.userName.empty()) {
        http.credentials = {request.userName, request.password};
    }
    http.connectTimeoutSeconds = request.connectTimeoutSeconds;
    http.stallTimeoutSeconds = request.stallTimeoutSeconds;
    http.caFile = request.caFile;
    if (http.caFile.empty()) {
        if (const char* env = std::getenv("TARNWICK_CA_FILE"); env && *env) {
            http.caFile = env;
        }
    }
    http.headers = requestHeaders();
    const std::vector<std::string> baseHeaders = http.headers;

    long status = exchange.send(http);

    if (request.cancelled()) {
        throw CFetchException(-1);
    }
    while (status == 401) {
        request.errorKind = -1;
        std::string userName;
        std::string password;
        if (!m_prompter || !m_prompter->authenticate(userName, password, request.targetUrl,
                                                     kAuthAutoCloseSeconds)) {
            throw CFetchException(2, jp("認証が否定されました"));
        }
        request.errorKind = 0;
        request.password = password;
        request.userName = userName;
        // A repeated prompt replaces the credentials of the previous one; an Authorization line
        // among the extra headers still wins.
        http.headers = baseHeaders;
        addIfNew(http.headers, "Authorization: Basic " + base64Encode(userName + ":" + password));
        status = exchange.send(http);
    }
    return relocate(status, exchange, address);
}

std::string CFetch::relocationAddress(const std::string& address, const std::string& location) {
    // Only a scheme makes a Location absolute: a relative name may well begin with "http"
    // ("http-notes.html").
    std::string head = location.substr(0, 8);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
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
    const bool sameName = afterLast(address, '/') == afterLast(*location, '/');
    address = relocationAddress(address, *location);
    request.errorText = sameName ? std::string() : *location;
    return 1;
}

std::vector<std::string> CFetch::requestHeaders() {
    FetchRequest& request = *m_request;
    std::vector<std::string> headers;
    addIfNew(headers, "Accept: */*");
    if (!request.extraHeaders.empty()) {
        std::string& extra = request.extraHeaders;
        while (!extra.empty() && std::strchr(" \t\r\n\v\f", extra.back())) {
            extra.pop_back();
        }
        extra += "\r\n";
        std::size_t start = 0;
        while (start < extra.size()) {
            auto end = extra.find('\n', start);
            if (end == std::string::npos) {
                end = extra.size();
            }
            std::string line = extra.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.find(':') != std::string::npos && !headerName(line).empty()) {
                addIfNew(headers, line);
            }
            start = end + 1;
        }
    }
    if (!request.formData.empty()) {
        addIfNew(headers, "Content-Length: " + std::to_string(request.formData.size()));
    }
    if (!request.userAgent.empty()) {
        addIfNew(headers, "User-Agent: " + request.userAgent);
    }
    if (!request.referer.empty()) {
        addIfNew(headers, "Referer: " + request.referer);
    }
    if (!request.cookie.empty()) {
        addIfNew(headers, "Cookie: " + request.cookie);
    }
    if (request.startOffset != 0) {
        addIfNew(headers, "Range: bytes=" + std::to_string(request.startOffset) + "-");
    }
    addIfNew(headers, std::string("User-Agent: ") + kAgentName);
    return headers;
}

void CFetch::bodyPhase(HttpExchange& exchange) {
    FetchRequest& request = *m_request;
    m_contentType = exchange.header("Content-Type").value_or(std::string());
    const std::string subtype = contentSubtype(m_contentType);

    if (extension(request.destFile).empty()) {
        if (!request.destFile.ends_with('.')) {
            request.destFile += '.';
        }
        request.destFile += subtype;
    } else {
        const std::string addressExtension = extension(request.targetUrl);
        if (!addressExtension.empty() && (subtype == "html" || subtype == "htm") &&
            upper(addressExtension) != upper(subtype)) {
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
            request.expectedSize = request.contentLength;
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
    }
    signalReady();
    writeBody(path, exchange);
}

void CFetch::writeBody(const std::string& path, HttpExchange& exchange) {
    FetchRequest& request = *m_request;
    std::FILE* file = std::fopen(path.c_str(), request.startOffset == 0 ? "wb" : "r+b");
    if (!file) {
        request.errorText = jp("保存ファイルが作れません");
        request.errorKind = 2;
        return;
    }
    if (request.startOffset != 0) {
        fseeko(file, static_cast<off_t>(request.startOffset), SEEK_SET);
    }
    int result = 0;
    char block[kBlockSize];
    try {
        for (;;) {
            const std::size_t count = exchange.read(block, sizeof block);
            if (count == 0) {
                break;
            }
            if (std::fwrite(block, 1, count, file) != count) {
                request.errorText = std::strerror(errno);
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
        request.errorText = std::strerror(errno);
        result = 2;
    }
    if (result == 0 && path != request.destFile) {
        request.errorText = path;
    }
    request.errorKind = result;
}

} // namespace tw
