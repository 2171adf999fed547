#include "FetchTestSupport.h"

#include "core/net/CFetch.h"
#include "core/net/HttpConnections.h"
#include "core/util/Cp932.h"
#include "support/CountingHttpServer.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <zlib.h>

#include <cstdlib>
#include <memory>

namespace tw {
namespace {

using test::CountingHttpServer;
using test::fileExists;
using test::readFile;
using test::TempDir;

FetchRequest requestFor(const std::string& url, const std::string& dest) {
    FetchRequest request;
    request.targetUrl = url;
    request.destFile = dest;
    request.allowRelocation = 1;
    request.connectTimeoutSeconds = 5;
    request.stallTimeoutSeconds = 5;
    return request;
}

std::string headerOf(const std::string& request, const std::string& name) {
    const auto at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return {};
    }
    const auto start = at + name.size() + 4;
    return request.substr(start, request.find("\r\n", start) - start);
}

std::string gzipped(const std::string& data) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, data.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

class ConnectionsTest : public ::testing::Test {
protected:
    /// Fetches `url` through the shared connections into a fresh file; the errorKind.
    int fetchOnce(const std::string& url, FetchRequest* out = nullptr) {
        FetchRequest request =
            requestFor(url, dir.file("page" + std::to_string(++m_count) + ".html"));
        CFetch fetch(nullptr, SystemClock::instance(), &connections);
        const int result = fetch.fetchToFile(request);
        if (out) {
            *out = request;
        }
        return result;
    }

    TempDir dir;
    HttpConnections connections;

private:
    int m_count = 0;
};

TEST_F(ConnectionsTest, TwentyFetchesOfOneHostUseOneConnection) {
    CountingHttpServer server([](const std::string&) { return CountingHttpServer::ok("page"); });
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(fetchOnce(server.url("/page.html")), 0);
    }
    EXPECT_EQ(server.requests().size(), 20u);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(ConnectionsTest, AnErrorPageAndAHeadQueryKeepTheConnection) {
    CountingHttpServer server([](const std::string& request) {
        if (request.starts_with("HEAD")) {
            return std::string("HTTP/1.1 200 OK\r\nLast-Modified: Wed, 21 Oct 2015 07:28:00 "
                               "GMT\r\nContent-Length: 4\r\n\r\n");
        }
        if (request.find("/missing") != std::string::npos) {
            // Longer than one read of the client: the headers come before the body's end.
            const std::string page(40000, 'n');
            return "HTTP/1.1 404 Not Found\r\nContent-Length: " + std::to_string(page.size()) +
                   "\r\n\r\n" + page;
        }
        return CountingHttpServer::ok("page");
    });
    EXPECT_EQ(fetchOnce(server.url("/missing.html")), 404);
    FetchRequest head = requestFor(server.url("/page.html"), dir.file("head.html"));
    CFetch fetch(nullptr, SystemClock::instance(), &connections);
    EXPECT_NE(fetch.queryLastModified(head), 0);
    EXPECT_EQ(fetchOnce(server.url("/page.html")), 0);
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(ConnectionsTest, AConnectionTheServerClosedWhenIdleIsOpenedAgain) {
    CountingHttpServer server([](const std::string&) { return CountingHttpServer::ok("page"); },
                              CountingHttpServer::Closing::WhenIdle, 50);
    ASSERT_EQ(fetchOnce(server.url("/page.html")), 0);
    ASSERT_TRUE(server.waitClosedByServer(1));
    FetchRequest second;
    EXPECT_EQ(fetchOnce(server.url("/page.html"), &second), 0) << second.errorText;
    EXPECT_EQ(server.connections(), 2);
}

TEST_F(ConnectionsTest, AServerThatClosesAfterEachResponseCostsNoFailure) {
    CountingHttpServer server([](const std::string&) { return CountingHttpServer::ok("page"); },
                              CountingHttpServer::Closing::AfterEachResponse);
    for (int i = 0; i < 20; ++i) {
        FetchRequest request;
        ASSERT_EQ(fetchOnce(server.url("/page.html"), &request), 0) << request.errorText;
        EXPECT_EQ(readFile(request.savedPath), "page");
    }
    EXPECT_EQ(server.requests().size(), 20u);
}

TEST_F(ConnectionsTest, NothingOfARequestCarriesOverToTheNext) {
    CountingHttpServer server([](const std::string&) { return CountingHttpServer::ok("page"); });
    FetchRequest post = requestFor(server.url("/form.html"), dir.file("form.html"));
    post.formData = "a=1";
    post.userName = "user";
    post.password = "secret";
    post.cookie = "session=1";
    {
        CFetch fetch(nullptr, SystemClock::instance(), &connections);
        ASSERT_EQ(fetch.fetchToFile(post), 0);
    }
    ASSERT_EQ(fetchOnce(server.url("/page.html")), 0);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].starts_with("POST"));
    EXPECT_TRUE(requests[1].starts_with("GET /page.html"));
    EXPECT_EQ(headerOf(requests[1], "Authorization"), "");
    EXPECT_EQ(headerOf(requests[1], "Cookie"), "");
    EXPECT_EQ(headerOf(requests[1], "Content-Length"), "");
    EXPECT_EQ(server.connections(), 1);
}

// ---- Conditional requests ----------------------------------------------------------------------

TEST_F(ConnectionsTest, ValidatorsAreSentAndANotModifiedWritesNothing) {
    CountingHttpServer server([](const std::string& request) {
        if (headerOf(request, "If-None-Match") == "\"v1\"") {
            return std::string("HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\n\r\n");
        }
        return CountingHttpServer::ok(
            "page", "ETag: \"v1\"\r\nLast-Modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n");
    });
    FetchRequest first;
    ASSERT_EQ(fetchOnce(server.url("/page.html"), &first), 0);
    EXPECT_EQ(first.etag, "\"v1\"");
    EXPECT_EQ(first.lastModifiedHeader, "Wed, 21 Oct 2015 07:28:00 GMT");

    FetchRequest second = requestFor(server.url("/page.html"), dir.file("second.html"));
    second.ifNoneMatch = first.etag;
    second.ifModifiedSince = first.lastModifiedHeader;
    CFetch fetch(nullptr, SystemClock::instance(), &connections);
    EXPECT_EQ(fetch.fetchToFile(second), 304);
    EXPECT_TRUE(second.savedPath.empty());
    EXPECT_FALSE(fileExists(dir.file("second.html")));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(headerOf(requests[0], "If-None-Match"), "");
    EXPECT_EQ(headerOf(requests[1], "If-None-Match"), "\"v1\"");
    EXPECT_EQ(headerOf(requests[1], "If-Modified-Since"), "Wed, 21 Oct 2015 07:28:00 GMT");
    // The next request still finds the connection.
    EXPECT_EQ(fetchOnce(server.url("/page.html")), 0);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(ConnectionsTest, ValidatorsStayOffResumesAndYieldToTheUsersHeader) {
    CountingHttpServer server([](const std::string&) {
        return std::string("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-3/4\r\n"
                           "Content-Length: 2\r\n\r\nge");
    });
    test::writeFile(dir.file("part.html"), "pa");
    FetchRequest resumed = requestFor(server.url("/page.html"), dir.file("part.html"));
    resumed.startOffset = 2;
    resumed.ifNoneMatch = "\"v1\"";
    CFetch fetch(nullptr, SystemClock::instance(), &connections);
    EXPECT_EQ(fetch.fetchToFile(resumed), 0) << resumed.errorText;

    FetchRequest own = requestFor(server.url("/page.html"), dir.file("own.html"));
    own.ifNoneMatch = "\"v1\"";
    own.extraHeaders = "If-None-Match: \"mine\"";
    fetch.fetchToFile(own);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(headerOf(requests[0], "If-None-Match"), "");
    EXPECT_EQ(headerOf(requests[1], "If-None-Match"), "\"mine\"");
}

// ---- Encodings ---------------------------------------------------------------------------------

TEST_F(ConnectionsTest, ACompressedPageIsStoredDecodedWhenAskedFor) {
    const std::string page(100000, 'x');
    CountingHttpServer server([&](const std::string& request) {
        if (headerOf(request, "Accept-Encoding").find("gzip") == std::string::npos) {
            return CountingHttpServer::ok(page);
        }
        return CountingHttpServer::ok(gzipped(page), "Content-Encoding: gzip\r\n");
    });
    FetchRequest request = requestFor(server.url("/page.html"), dir.file("page.html"));
    request.acceptEncoding = true;
    CFetch fetch(nullptr, SystemClock::instance(), &connections);
    ASSERT_EQ(fetch.fetchToFile(request), 0) << request.errorText;
    EXPECT_EQ(readFile(request.savedPath), page);
    EXPECT_NE(headerOf(server.requests().back(), "Accept-Encoding").find("gzip"),
              std::string::npos);

    // Not asked for: nothing is offered, so nothing is unpacked.
    FetchRequest plain = requestFor(server.url("/page.html"), dir.file("plain.html"));
    ASSERT_EQ(fetch.fetchToFile(plain), 0);
    EXPECT_EQ(headerOf(server.requests().back(), "Accept-Encoding"), "");
}

TEST_F(ConnectionsTest, ACompressionBombStopsAtTheSizeLimit) {
    const std::string bomb = gzipped(std::string(std::size_t{16} << 20, '\0'));
    CountingHttpServer server([&](const std::string&) {
        return CountingHttpServer::ok(bomb, "Content-Encoding: gzip\r\n");
    });
    FetchRequest request = requestFor(server.url("/page.html"), dir.file("bomb.html"));
    request.acceptEncoding = true;
    request.maxBodyBytes = std::int64_t{1} << 20;
    CFetch fetch(nullptr, SystemClock::instance(), &connections);
    EXPECT_EQ(fetch.fetchToFile(request), 2);
    EXPECT_EQ(request.errorText, jp("ページが大きすぎるため中断しました（上限1MB）"));
    EXPECT_FALSE(fileExists(dir.file("bomb.html")));
}

// ---- Security: a connection is not shared across trust settings
// ----------------------------------

TEST_F(ConnectionsTest, AConnectionTrustedThroughOneCertificateFileIsNotReusedWithout) {
    const std::string cert = dir.file("cert.pem");
    const std::string key = dir.file("key.pem");
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout " +
        key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    httplib::SSLServer server(cert.c_str(), key.c_str());
    server.Get("/page.html", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("secure", "text/html");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });
    while (!server.is_running()) {
        std::this_thread::yield();
    }
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/page.html";
    ::unsetenv("TARNWICK_CA_FILE");

    FetchRequest trusted = requestFor(url, dir.file("a.html"));
    trusted.caFile = cert;
    CFetch fetch(nullptr, SystemClock::instance(), &connections);
    EXPECT_EQ(fetch.fetchToFile(trusted), 0) << trusted.errorText;
    // The system's store does not know the certificate: the open connection must not serve.
    FetchRequest untrusted = requestFor(url, dir.file("b.html"));
    EXPECT_EQ(fetch.fetchToFile(untrusted), 2);
    EXPECT_EQ(untrusted.errorText, jp("サーバーの証明書を確認できないため接続しませんでした"));
    server.stop();
    thread.join();
}

} // namespace
} // namespace tw
