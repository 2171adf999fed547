#include "FetchTestSupport.h"

#include "core/net/CFetch.h"
#include "core/net/HttpExchange.h"
#include "core/util/Cp932.h"
#include "core/util/TextUtil.h"
#include "support/FakeClock.h"
#include "support/FakePrompter.h"
#include "support/MissingServer.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>

namespace tw {
namespace {

using test::FakePrompter;
using test::fileExists;
using test::RawHttpServer;
using test::readFile;
using test::TempDir;
using test::writeFile;

const char* const kModified = "Wed, 21 Oct 2015 07:28:00 GMT";

struct Seen {
    std::string method;
    std::string path;
    httplib::Headers headers;
    std::string body;
};

/// cpp-httplib on 127.0.0.1 and a free port, in its own thread; records every request.
class HttpServer {
public:
    explicit HttpServer(std::unique_ptr<httplib::Server> server = nullptr,
                        std::string scheme = "http")
        : m_server(server ? std::move(server) : std::make_unique<httplib::Server>()),
          m_scheme(std::move(scheme)) {
        m_server->set_logger([this](const httplib::Request& request, const httplib::Response&) {
            std::lock_guard lock(m_mutex);
            m_seen.push_back({request.method, request.path, request.headers, request.body});
        });
    }
    ~HttpServer() {
        m_server->stop();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    httplib::Server& routes() { return *m_server; }
    void start() {
        m_port = m_server->bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        for (int i = 0; i < 200 && !m_server->is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    int port() const { return m_port; }
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return m_scheme + "://" + host + ":" + std::to_string(m_port) + path;
    }
    /// The requests answered so far, after waiting (up to two seconds) until there are at least
    /// `atLeast`: the server records a request only after its answer has left.
    std::vector<Seen> seen(std::size_t atLeast = 0) const {
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard lock(m_mutex);
                if (m_seen.size() >= atLeast) {
                    return m_seen;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard lock(m_mutex);
        return m_seen;
    }

private:
    std::unique_ptr<httplib::Server> m_server;
    std::string m_scheme;
    int m_port = 0;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Seen> m_seen;
};

void serveText(httplib::Server& server, const std::string& path, const std::string& body,
               const std::string& type = "text/html") {
    server.Get(path, [body, type](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, type.c_str());
    });
}

void redirect(httplib::Server& server, const std::string& path, const std::string& location,
              int status = 302) {
    server.Get(path, [location, status](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        if (!location.empty()) {
            response.set_header("Location", location);
        }
    });
}

std::string rawResponse(const std::string& headers, const std::string& body) {
    return "HTTP/1.1 200 OK\r\n" + headers + "Connection: close\r\n\r\n" + body;
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) {
        ++count;
    }
    return count;
}

class FetchTest : public ::testing::Test {
protected:
    FetchRequest request(const std::string& url, const std::string& destName = "page.html") {
        FetchRequest r;
        r.targetUrl = url;
        r.destFile = dir.file(destName);
        r.onReady = [this](const FetchRequest& ready) {
            ++readyCalls;
            readyText = ready.errorText;
            readyFileExisted = fileExists(ready.errorText);
        };
        return r;
    }

    TempDir dir;
    FakePrompter prompter;
    CFetch fetch{&prompter};
    int readyCalls = 0;
    std::string readyText;
    bool readyFileExisted = false;
};

// ---- Addresses ---------------------------------------------------------------------------------

TEST_F(FetchTest, AnAddressOfAnotherSchemeFailsWithKindOne) {
    FetchRequest r = request("ftp://127.0.0.1/page.html");
    EXPECT_EQ(fetch.fetchToFile(r), 1);
    EXPECT_EQ(r.errorKind, 1);
    EXPECT_TRUE(r.errorText.empty());
    EXPECT_EQ(readyCalls, 1);
    EXPECT_FALSE(fileExists(r.destFile));
}

TEST_F(FetchTest, AnUnparsableAddressFailsWithKindOne) {
    FetchRequest r = request("not an address");
    EXPECT_EQ(fetch.fetchToFile(r), 1);
    FetchRequest q = request("");
    EXPECT_EQ(fetch.queryLastModified(q), 0);
    EXPECT_EQ(q.errorKind, 1);
}

TEST_F(FetchTest, ARefusedConnectionGivesKindTwoWithAJapaneseText) {
    FetchRequest r =
        request("http://127.0.0.1:" + std::to_string(test::freeLocalPort()) + "/a.html");
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("サーバーに接続を拒否されました"));
    EXPECT_EQ(readyCalls, 1);
}

// ---- Download to file --------------------------------------------------------------------------

TEST_F(FetchTest, SavesTheBodyAndNamesTheWrittenFile) {
    HttpServer server;
    server.routes().Get("/page.html", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Last-Modified", kModified);
        response.set_content("<html>hello</html>", "text/html");
    });
    server.start();

    FetchRequest r = request(server.url("/page.html"));
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(r.errorKind, 0);
    EXPECT_EQ(r.errorText, dir.file("page.html"));
    EXPECT_EQ(readFile(dir.file("page.html")), "<html>hello</html>");
    EXPECT_EQ(r.bytesWritten, 18);
    EXPECT_EQ(r.contentLength, 18);
    EXPECT_EQ(r.expectedSize, 18);
    EXPECT_EQ(r.lastModified, CFetch::lastModifiedTime(kModified));
    EXPECT_EQ(fetch.contentType(), "text/html");
    // Signalled once, before the file was opened, with the save path already known.
    EXPECT_EQ(readyCalls, 1);
    EXPECT_EQ(readyText, dir.file("page.html"));
    EXPECT_FALSE(readyFileExisted);
    ASSERT_EQ(server.seen(1).size(), 1u);
    EXPECT_EQ(server.seen()[0].method, "GET");
}

TEST_F(FetchTest, AResponseWithoutLastModifiedStoresZero) {
    HttpServer server;
    serveText(server.routes(), "/page.html", "x");
    server.start();
    FetchRequest r = request(server.url("/page.html"));
    r.lastModified = 12345;
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(r.lastModified, 0);
}

TEST_F(FetchTest, ADestinationWithoutExtensionGetsTheContentSubtype) {
    HttpServer server;
    serveText(server.routes(), "/p", "body");
    server.start();

    FetchRequest plain = request(server.url("/p"), "page");
    EXPECT_EQ(fetch.fetchToFile(plain), 0);
    EXPECT_EQ(plain.destFile, dir.file("page.html"));
    EXPECT_EQ(readFile(dir.file("page.html")), "body");

    FetchRequest dotted = request(server.url("/p"), "other.");
    EXPECT_EQ(fetch.fetchToFile(dotted), 0);
    EXPECT_EQ(dotted.destFile, dir.file("other.html"));
    EXPECT_TRUE(fileExists(dir.file("other.html")));
}

TEST_F(FetchTest, ACharsetParameterBecomesTheAppendedExtension) {
    HttpServer server;
    serveText(server.routes(), "/p.zip", "body", "text/html; charset=UTF-8");
    server.start();
    FetchRequest r = request(server.url("/p.zip"), "page");
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(r.destFile, dir.file("page.charset=UTF-8"));

    // Such a subtype is neither html nor htm: no file type check.
    FetchRequest zip = request(server.url("/p.zip"), "p.zip");
    EXPECT_EQ(fetch.fetchToFile(zip), 0);
    EXPECT_EQ(zip.errorText, dir.file("p.zip"));
}

TEST_F(FetchTest, HtmlForANonHtmlAddressIsRefusedWithoutRelocation) {
    HttpServer server;
    serveText(server.routes(), "/a.zip", "<html>moved</html>");
    server.start();
    FetchRequest r = request(server.url("/a.zip"), "a.zip");
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("異なるファイルタイプが返されました"));
    EXPECT_FALSE(fileExists(dir.file("a.zip")));
    EXPECT_FALSE(fileExists(dir.file("a.html")));
    EXPECT_EQ(readyCalls, 1);
}

TEST_F(FetchTest, HtmlForANonHtmlAddressIsSavedAsHtmlWithRelocation) {
    HttpServer server;
    serveText(server.routes(), "/a.zip", "<html>moved</html>");
    server.start();
    FetchRequest r = request(server.url("/a.zip"), "a.zip");
    r.allowRelocation = 1;
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(r.destFile, dir.file("a.html"));
    EXPECT_EQ(r.errorText, dir.file("a.html"));
    EXPECT_EQ(readFile(dir.file("a.html")), "<html>moved</html>");
    EXPECT_FALSE(fileExists(dir.file("a.zip")));
}

TEST_F(FetchTest, AnHtmlAddressWithATemporaryNameKeepsTheName) {
    HttpServer server;
    serveText(server.routes(), "/a.HTML", "x");
    server.start();
    FetchRequest r = request(server.url("/a.HTML"), "temp.tmp");
    r.allowRelocation = 1;
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(r.errorText, dir.file("temp.tmp"));
}

TEST_F(FetchTest, AFreshDownloadStripsTheCounterAndTakesTheFirstFreeName) {
    HttpServer server;
    serveText(server.routes(), "/page.html", "new");
    server.start();
    writeFile(dir.file("page.html"), "old");
    FetchRequest r = request(server.url("/page.html"), "page_3.html");
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(r.errorText, dir.file("page_1.html"));
    EXPECT_EQ(readFile(dir.file("page_1.html")), "new");
    EXPECT_EQ(readFile(dir.file("page.html")), "old");
    EXPECT_EQ(r.destFile, dir.file("page_3.html"));
}

TEST_F(FetchTest, AnEmptyBodyCreatesAnEmptyFile) {
    HttpServer server;
    serveText(server.routes(), "/page.html", "");
    server.start();
    FetchRequest r = request(server.url("/page.html"));
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_TRUE(fileExists(dir.file("page.html")));
    EXPECT_EQ(readFile(dir.file("page.html")), "");
    EXPECT_EQ(r.bytesWritten, 0);
}

TEST_F(FetchTest, WithoutContentLengthTheBodyIsReadUntilTheServerEndsIt) {
    std::string big;
    for (int i = 0; i < 700000; ++i) {
        big += static_cast<char>('a' + i % 26);
    }
    RawHttpServer server([&big](const std::string&, int socket) {
        test::sendAll(socket, rawResponse("Content-Type: text/plain\r\n", big));
    });
    FetchRequest r = request(server.url("/big.txt"), "big.txt");
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(r.contentLength, -1);
    EXPECT_EQ(r.expectedSize, 0);
    EXPECT_EQ(r.bytesWritten, 700000);
    EXPECT_EQ(readFile(dir.file("big.txt")), big);
}

TEST_F(FetchTest, ASaveFileThatCannotBeCreatedGivesKindTwo) {
    HttpServer server;
    serveText(server.routes(), "/page.html", "x");
    server.start();
    FetchRequest r = request(server.url("/page.html"), "missing/page.html");
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("保存ファイルが作れません"));
    EXPECT_EQ(readyCalls, 1);
    EXPECT_EQ(readyText, dir.file("missing/page.html"));
}

TEST_F(FetchTest, AnotherFinalStatusIsTheResult) {
    HttpServer server;
    redirect(server.routes(), "/temp.html", "/other.html", 307);
    server.start();
    FetchRequest missing = request(server.url("/none.html"));
    EXPECT_EQ(fetch.fetchToFile(missing), 404);
    EXPECT_EQ(missing.errorKind, 404);
    EXPECT_FALSE(fileExists(missing.destFile));
    EXPECT_EQ(readyCalls, 1);

    FetchRequest temporary = request(server.url("/temp.html"));
    EXPECT_EQ(fetch.fetchToFile(temporary), 307);
}

// ---- Resuming ----------------------------------------------------------------------------------

TEST_F(FetchTest, AResumedDownloadContinuesTheFileWithARange) {
    RawHttpServer server([](const std::string&, int socket) {
        test::sendAll(socket, "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-9/10\r\n"
                              "Content-Length: 5\r\nConnection: close\r\n\r\n56789");
    });
    writeFile(dir.file("r.bin"), "01234");
    FetchRequest r = request(server.url("/r.bin"), "r.bin");
    r.startOffset = 5;
    r.expectedSize = 10;
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(readFile(dir.file("r.bin")), "0123456789");
    EXPECT_EQ(r.bytesWritten, 10);
    EXPECT_EQ(r.expectedSize, 10);
    EXPECT_EQ(r.contentLength, -1);
    EXPECT_TRUE(r.errorText.empty());
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_NE(server.requests()[0].find("\r\nRange: bytes=5-\r\n"), std::string::npos);
}

TEST_F(FetchTest, AResumeWithoutContentRangeIsRefusedAndTheFileUntouched) {
    RawHttpServer server([](const std::string&, int socket) {
        test::sendAll(socket, rawResponse("Content-Length: 10\r\n", "0123456789"));
    });
    writeFile(dir.file("r.bin"), "01234");
    FetchRequest r = request(server.url("/r.bin"), "r.bin");
    r.startOffset = 5;
    EXPECT_EQ(fetch.fetchToFile(r), -1);
    EXPECT_EQ(readFile(dir.file("r.bin")), "01234");
    EXPECT_EQ(readyCalls, 1);
}

// ---- Request headers ---------------------------------------------------------------------------

TEST_F(FetchTest, SendsTheRequestsHeadersInOrderAfterAccept) {
    RawHttpServer server([](const std::string&, int socket) {
        test::sendAll(socket, rawResponse("Content-Length: 2\r\n", "ok"));
    });
    FetchRequest r = request(server.url("/h.txt"), "h.txt");
    r.userAgent = "Agent/2";
    r.referer = "http://ref.example/";
    r.cookie = "a=1; b=2";
    r.extraHeaders = "X-A: 1\r\nX-B: 2  \r\n\r\n";
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(r.extraHeaders, "X-A: 1\r\nX-B: 2\r\n");

    ASSERT_EQ(server.requests().size(), 1u);
    const std::string raw = server.requests()[0];
    EXPECT_EQ(raw.rfind("GET /h.txt HTTP/1.1\r\n", 0), 0u) << raw;
    const auto accept = raw.find("\r\nAccept: */*\r\n");
    const auto a = raw.find("\r\nX-A: 1\r\n");
    const auto b = raw.find("\r\nX-B: 2\r\n");
    const auto agent = raw.find("\r\nUser-Agent: Agent/2\r\n");
    const auto referer = raw.find("\r\nReferer: http://ref.example/\r\n");
    const auto cookie = raw.find("\r\nCookie: a=1; b=2\r\n");
    ASSERT_NE(accept, std::string::npos) << raw;
    ASSERT_NE(cookie, std::string::npos) << raw;
    EXPECT_LT(accept, a);
    EXPECT_LT(a, b);
    EXPECT_LT(b, agent);
    EXPECT_LT(agent, referer);
    EXPECT_LT(referer, cookie);
    EXPECT_EQ(countOf(raw, "User-Agent:"), 1u);
    EXPECT_EQ(raw.find("Range:"), std::string::npos);
}

TEST_F(FetchTest, EmptyFieldsSendNoHeaderAndTheAgentNameStandsIn) {
    RawHttpServer server([](const std::string&, int socket) {
        test::sendAll(socket, rawResponse("Content-Length: 2\r\n", "ok"));
    });
    FetchRequest r = request(server.url("/h.txt"), "h.txt");
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    const std::string raw = server.requests().at(0);
    EXPECT_NE(raw.find("\r\nUser-Agent: Tarnwick1.20\r\n"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("Referer:"), std::string::npos);
    EXPECT_EQ(raw.find("Cookie:"), std::string::npos);
    EXPECT_EQ(raw.find("Authorization:"), std::string::npos);
    EXPECT_EQ(countOf(raw, "Accept:"), 1u);
}

TEST_F(FetchTest, AHeaderAlreadyPresentIsNotAddedAgain) {
    RawHttpServer server([](const std::string&, int socket) {
        test::sendAll(socket, rawResponse("Content-Length: 2\r\n", "ok"));
    });
    FetchRequest r = request(server.url("/h.txt"), "h.txt");
    r.userAgent = "Field/1";
    r.extraHeaders = "user-agent: Extra/1\r\nAccept: text/html";
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    const std::string raw = server.requests().at(0);
    EXPECT_NE(raw.find("\r\nuser-agent: Extra/1\r\n"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("Field/1"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("Tarnwick1.20"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\r\nAccept: */*\r\n"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("text/html"), std::string::npos) << raw;
}

TEST_F(FetchTest, FormDataMakesAPostWithThatBody) {
    RawHttpServer server([](const std::string&, int socket) {
        test::sendAll(socket, rawResponse("Content-Length: 2\r\n", "ok"));
    });
    FetchRequest r = request(server.url("/form.cgi"), "form.txt");
    r.formData = "name=%82%a0&b=2";
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    const std::string raw = server.requests().at(0);
    EXPECT_EQ(raw.rfind("POST /form.cgi HTTP/1.1\r\n", 0), 0u) << raw;
    EXPECT_NE(raw.find("\r\nContent-Length: 15\r\n"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("Expect:"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"),
              std::string::npos)
        << raw;
    EXPECT_EQ(raw.substr(raw.size() - 15), "name=%82%a0&b=2");
}

// ---- Last-Modified query -----------------------------------------------------------------------

TEST_F(FetchTest, QueryReturnsAndStoresTheLastModifiedTime) {
    HttpServer server;
    server.routes().Get("/page.html", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Last-Modified", kModified);
        response.set_content("body", "text/html");
    });
    server.start();
    FetchRequest r = request(server.url("/page.html"));
    const std::time_t value = fetch.queryLastModified(r);
    EXPECT_EQ(value, CFetch::lastModifiedTime(kModified));
    EXPECT_NE(value, 0);
    EXPECT_EQ(r.lastModified, value);
    EXPECT_EQ(r.errorKind, 0);
    EXPECT_EQ(readyCalls, 0);
    ASSERT_EQ(server.seen(1).size(), 1u);
    EXPECT_EQ(server.seen()[0].method, "HEAD");
    EXPECT_FALSE(fileExists(r.destFile));
}

TEST_F(FetchTest, QueryWithoutLastModifiedReturnsZeroAndKeepsTheField) {
    HttpServer server;
    serveText(server.routes(), "/page.html", "body");
    server.start();
    FetchRequest r = request(server.url("/page.html"));
    EXPECT_EQ(fetch.queryLastModified(r), 0);
    EXPECT_EQ(r.lastModified, -1);
    EXPECT_EQ(r.errorKind, 0);
}

TEST_F(FetchTest, QueryOfAMissingPageReturnsZeroWithKindZero) {
    HttpServer server;
    server.start();
    FetchRequest r = request(server.url("/none.html"));
    EXPECT_EQ(fetch.queryLastModified(r), 0);
    EXPECT_EQ(r.errorKind, 0);
    EXPECT_EQ(readyCalls, 1);
}

TEST_F(FetchTest, QuerySendsFormDataAsTheBodyOfTheHeadRequest) {
    RawHttpServer server([](const std::string&, int socket) {
        test::sendAll(socket, std::string("HTTP/1.1 200 OK\r\nLast-Modified: ") + kModified +
                                  "\r\nContent-Length: 100\r\n\r\n");
    });
    FetchRequest r = request(server.url("/q.cgi"));
    r.formData = "a=1";
    EXPECT_EQ(fetch.queryLastModified(r), CFetch::lastModifiedTime(kModified));
    const std::string raw = server.requests().at(0);
    EXPECT_EQ(raw.rfind("HEAD /q.cgi HTTP/1.1\r\n", 0), 0u) << raw;
    EXPECT_EQ(raw.substr(raw.size() - 7), "\r\n\r\na=1") << raw;
}

// ---- Relocation --------------------------------------------------------------------------------

TEST_F(FetchTest, ARelocationKeepingTheFileNameIsFollowedToAnotherHost) {
    HttpServer target;
    serveText(target.routes(), "/other/a.html", "moved here");
    target.start();
    HttpServer origin;
    redirect(origin.routes(), "/dir/a.html", target.url("/other/a.html", "localhost"));
    origin.start();

    FetchRequest r = request(origin.url("/dir/a.html"), "a.html");
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(readFile(dir.file("a.html")), "moved here");
    EXPECT_EQ(r.errorText, dir.file("a.html"));
}

TEST_F(FetchTest, ASecondRelocationExceedsTheAllowance) {
    HttpServer server;
    redirect(server.routes(), "/one/a.html", "/two/a.html");
    redirect(server.routes(), "/two/a.html", "/three/a.html");
    server.start();
    FetchRequest r = request(server.url("/one/a.html"), "a.html");
    r.allowRelocation = 1;
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("リロケーションの許容回数を越えました"));
    EXPECT_EQ(server.seen(2).size(), 2u);

    FetchRequest q = request(server.url("/one/a.html"), "a.html");
    EXPECT_EQ(fetch.queryLastModified(q), 0);
    EXPECT_EQ(q.errorKind, 2);
    EXPECT_EQ(q.errorText, jp("リロケーションの許容回数を越えました"));
}

TEST_F(FetchTest, ARelocationToAnotherFileNeedsPermission) {
    HttpServer server;
    redirect(server.routes(), "/a.html", "/b.html", 301);
    serveText(server.routes(), "/b.html", "b");
    server.start();

    FetchRequest refused = request(server.url("/a.html"), "a.html");
    EXPECT_EQ(fetch.fetchToFile(refused), 3);
    EXPECT_EQ(refused.errorText, "/b.html");
    EXPECT_EQ(server.seen(1).size(), 1u);
    EXPECT_EQ(readyCalls, 1);

    FetchRequest allowed = request(server.url("/a.html"), "a.html");
    allowed.allowRelocation = 1;
    EXPECT_EQ(fetch.fetchToFile(allowed), 0);
    EXPECT_EQ(readFile(dir.file("a.html")), "b");
    ASSERT_EQ(server.seen(3).size(), 3u);
    EXPECT_EQ(server.seen()[2].path, "/b.html");
}

TEST_F(FetchTest, RelativeLocationsAreResolvedAgainstTheCurrentAddress) {
    HttpServer server;
    redirect(server.routes(), "/p/q/a.html", "/x/a.html", 303);
    redirect(server.routes(), "/p/r/a.html", "sub/a.html");
    serveText(server.routes(), "/x/a.html", "root-relative");
    serveText(server.routes(), "/p/r/sub/a.html", "path-relative");
    server.start();

    FetchRequest rooted = request(server.url("/p/q/a.html"), "one.html");
    EXPECT_EQ(fetch.fetchToFile(rooted), 0);
    EXPECT_EQ(readFile(dir.file("one.html")), "root-relative");

    FetchRequest relative = request(server.url("/p/r/a.html"), "two.html");
    EXPECT_EQ(fetch.fetchToFile(relative), 0);
    EXPECT_EQ(readFile(dir.file("two.html")), "path-relative");
}

TEST_F(FetchTest, ARelocationWithoutLocationIsAnInvalidRedirect) {
    HttpServer server;
    redirect(server.routes(), "/a.html", "", 301);
    server.start();
    FetchRequest r = request(server.url("/a.html"));
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("不正なＵＲＬへのリダイレクト"));
}

// ---- Authentication ----------------------------------------------------------------------------

void requireBasic(httplib::Server& server, const std::string& path, const std::string& user,
                  const std::string& password) {
    const std::string expected = "Basic " + base64Encode(user + ":" + password);
    auto handler = [expected](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Authorization") != expected) {
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"test\"");
            return;
        }
        response.set_content("secret:" + request.body, "text/html");
    };
    server.Get(path, handler);
    server.Post(path, handler);
}

TEST_F(FetchTest, AnAuthenticationDemandAsksTheUserAndResends) {
    HttpServer server;
    requireBasic(server.routes(), "/secret.html", "alice", "pw");
    server.start();
    prompter.setNextCredentials({true, "alice", "pw"});

    FetchRequest r = request(server.url("/secret.html"), "s.html");
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(readFile(dir.file("s.html")), "secret:");
    EXPECT_EQ(r.userName, "alice");
    EXPECT_EQ(r.password, "pw");
    ASSERT_EQ(prompter.authChallenges().size(), 1u);
    EXPECT_EQ(prompter.authChallenges()[0].origin, server.url(""));
    EXPECT_EQ(prompter.authChallenges()[0].realm, "test");
    EXPECT_TRUE(prompter.authChallenges()[0].itemOrigin);
}

TEST_F(FetchTest, ARefusedPromptFailsWithTheRefusalText) {
    HttpServer server;
    requireBasic(server.routes(), "/secret.html", "alice", "pw");
    server.start();
    prompter.setNextCredentials({false, "", ""});

    FetchRequest r = request(server.url("/secret.html"), "s.html");
    r.userName = "old";
    r.password = "wrong";
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("認証が否定されました"));
    EXPECT_EQ(r.userName, "old");
    EXPECT_FALSE(fileExists(dir.file("s.html")));
    EXPECT_EQ(readyCalls, 1);

    // The query reports the same refusal, which a checker treats as a failed check.
    FetchRequest q = request(server.url("/secret.html"));
    EXPECT_EQ(fetch.queryLastModified(q), 0);
    EXPECT_EQ(q.errorKind, 2);
    EXPECT_EQ(q.errorText, jp("認証が否定されました"));
}

TEST_F(FetchTest, ThePromptClosesByItselfAndTheRequestShowsAPendingAuthentication) {
    HttpServer server;
    requireBasic(server.routes(), "/secret.html", "alice", "pw");
    server.start();
    FetchRequest r = request(server.url("/secret.html"), "s.html");

    struct Watching : Prompter {
        const FetchRequest* request = nullptr;
        int kindDuringPrompt = 0;
        int autoClose = 0;
        void showMessage(const std::string&, Icon) override {}
        bool ask(const std::string&) override { return false; }
        bool authenticate(std::string&, std::string&, const AuthChallenge&, int seconds) override {
            kindDuringPrompt = request->errorKind;
            autoClose = seconds;
            return false;
        }
    } watching;
    watching.request = &r;
    CFetch engine(&watching);
    EXPECT_EQ(engine.fetchToFile(r), 2);
    EXPECT_EQ(watching.kindDuringPrompt, -1);
    EXPECT_EQ(watching.autoClose, 60);
}

TEST_F(FetchTest, WithoutAPrompterAuthenticationIsRefused) {
    HttpServer server;
    requireBasic(server.routes(), "/secret.html", "alice", "pw");
    server.start();
    CFetch silent;
    FetchRequest r = request(server.url("/secret.html"), "s.html");
    EXPECT_EQ(silent.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("認証が否定されました"));
}

TEST_F(FetchTest, StoredCredentialsAnswerWithoutAPrompt) {
    HttpServer server;
    requireBasic(server.routes(), "/secret.html", "alice", "pw");
    server.start();
    FetchRequest r = request(server.url("/secret.html"), "s.html");
    r.userName = "alice";
    r.password = "pw";
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_TRUE(prompter.authAddresses().empty());
}

TEST_F(FetchTest, APostIsResentWithItsBodyAfterThePrompt) {
    HttpServer server;
    requireBasic(server.routes(), "/form.html", "bob", "s3");
    server.start();
    prompter.setNextCredentials({true, "bob", "wrong"});
    prompter.setNextCredentials({true, "bob", "s3"});

    FetchRequest r = request(server.url("/form.html"), "f.html");
    r.formData = "q=1";
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(readFile(dir.file("f.html")), "secret:q=1");
    const auto seen = server.seen(3);
    ASSERT_EQ(seen.size(), 3u);
    for (const Seen& one : seen) {
        EXPECT_EQ(one.method, "POST");
        EXPECT_EQ(one.body, "q=1");
    }
    EXPECT_EQ(prompter.authAddresses().size(), 2u);
    EXPECT_EQ(r.password, "s3");
}

TEST_F(FetchTest, AfterARelocationOnTheSameOriginThePromptIsTheItemsOwn) {
    HttpServer server;
    redirect(server.routes(), "/old/s.html", "/new/s.html");
    requireBasic(server.routes(), "/new/s.html", "alice", "pw");
    server.start();
    prompter.setNextCredentials({true, "alice", "pw"});
    FetchRequest r = request(server.url("/old/s.html"), "s.html");
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    EXPECT_EQ(prompter.authAddresses(), std::vector<std::string>{server.url("")});
    EXPECT_TRUE(prompter.authChallenges()[0].itemOrigin);
    EXPECT_EQ(r.userName, "alice");
    EXPECT_EQ(r.password, "pw");
}

// ---- Cancellation and time-outs ----------------------------------------------------------------

TEST_F(FetchTest, ACancelBeforeTheCallStopsItWithMinusOne) {
    HttpServer server;
    serveText(server.routes(), "/page.html", "x");
    server.start();
    std::atomic<bool> cancel{true};
    FetchRequest r = request(server.url("/page.html"));
    r.cancelRequested = &cancel;
    EXPECT_EQ(fetch.fetchToFile(r), -1);
    EXPECT_TRUE(r.errorText.empty());
    EXPECT_FALSE(fileExists(r.destFile));
    EXPECT_EQ(readyCalls, 1);
}

TEST_F(FetchTest, ACancelFromAnotherThreadEndsTheWaitForTheServer) {
    RawHttpServer server([&](const std::string&, int) {});
    std::atomic<bool> cancel{false};
    RawHttpServer silent([&](const std::string&, int) {
        cancel = true;
        silent.pause(5000);
    });
    (void)server;
    FetchRequest r = request(silent.url("/page.html"));
    r.cancelRequested = &cancel;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch.fetchToFile(r), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(FetchTest, ACancelWhileWritingKeepsThePartialFileOnlyWhenAsked) {
    std::atomic<bool> cancel{false};
    std::atomic<bool> writing{false};
    RawHttpServer server([&](const std::string&, int socket) {
        test::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" +
                                  std::string(4096, 'x'));
        // Cancel once the body is being written, then keep the connection silent.
        for (int i = 0; i < 500 && !writing && !server.stopping(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        server.pause(200);
        cancel = true;
        server.pause(5000);
    });
    FetchRequest r = request(server.url("/part.bin"), "part.bin");
    r.cancelRequested = &cancel;
    r.keepPartial = true; // a caller that means to resume
    r.onReady = [&](const FetchRequest&) { writing = true; };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(r.errorText, jp("強制終了しました"));
    EXPECT_EQ(r.bytesWritten, 4096);
    EXPECT_EQ(readFile(dir.file("part.bin")), std::string(4096, 'x'));
    EXPECT_EQ(r.contentLength, 1000000);
}

TEST_F(FetchTest, ASilentServerTimesOut) {
    RawHttpServer silent([&](const std::string&, int) { silent.pause(8000); });
    FetchRequest r = request(silent.url("/page.html"));
    r.stallTimeoutSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.errorText, jp("1秒間データが届かないため中断しました"));
    EXPECT_EQ(readyCalls, 1);
}

TEST_F(FetchTest, AServerThatStallsInTheBodyTimesOutAndTheHalfPageIsRemoved) {
    RawHttpServer server([&](const std::string&, int socket) {
        test::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
        server.pause(8000);
    });
    FetchRequest r = request(server.url("/s.bin"), "s.bin");
    r.stallTimeoutSeconds = 1;
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_FALSE(r.errorText.empty());
    EXPECT_NE(r.errorText, dir.file("s.bin"));
    EXPECT_FALSE(fileExists(dir.file("s.bin")));
    EXPECT_EQ(r.bytesWritten, 0);
}

/// Waits until the listener's accept queue is full (the kernel then drops every further
/// connection attempt), for at most ten seconds. A listening socket's TCP_INFO gives the queue's
/// length and limit.
bool acceptQueueFull(int listener) {
    for (int i = 0; i < 1000; ++i) {
        tcp_info info{};
        socklen_t size = sizeof info;
        if (::getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
            info.tcpi_unacked > info.tcpi_sacked) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(FetchTest, AConnectionThatIsNeverAcceptedTimesOut) {
    // A listener whose queue is full drops further connection attempts.
    int port = 0;
    const int listener = test::listenLocal(port, 0);
    ASSERT_GE(listener, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    ASSERT_TRUE(acceptQueueFull(listener));

    FetchRequest r = request("http://127.0.0.1:" + std::to_string(port) + "/page.html");
    r.connectTimeoutSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.errorText, jp("サーバーへの接続がタイムアウトしました"));
    for (const int fd : fillers) {
        ::close(fd);
    }
    ::close(listener);
}

// ---- HTTPS -------------------------------------------------------------------------------------

/// A self-signed certificate for 127.0.0.1 and localhost, made with the openssl command.
struct Certificate {
    explicit Certificate(const TempDir& dir)
        : cert(dir.file("cert.pem")), key(dir.file("key.pem")) {
        const std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
            "-addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
            key + " -out " + cert + " >/dev/null 2>&1";
        made = std::system(command.c_str()) == 0 && fileExists(cert);
    }
    std::string cert;
    std::string key;
    bool made = false;
};

class HttpsFetchTest : public FetchTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(certificate.made) << "openssl could not make a certificate";
        server = std::make_unique<HttpServer>(
            std::make_unique<httplib::SSLServer>(certificate.cert.c_str(), certificate.key.c_str()),
            "https");
        serveText(server->routes(), "/page.html", "over tls");
        server->start();
    }

    Certificate certificate{dir};
    std::unique_ptr<HttpServer> server;
};

TEST_F(HttpsFetchTest, ATrustedCertificateGivesTheBody) {
    FetchRequest r = request(server->url("/page.html"));
    r.caFile = certificate.cert;
    EXPECT_EQ(fetch.fetchToFile(r), 0) << r.errorText;
    EXPECT_EQ(readFile(dir.file("page.html")), "over tls");
}

TEST_F(HttpsFetchTest, AnUntrustedCertificateFailsWithKindTwo) {
    ::unsetenv("TARNWICK_CA_FILE");
    FetchRequest r = request(server->url("/page.html"));
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("サーバーの証明書を確認できないため接続しませんでした"));
    EXPECT_FALSE(fileExists(dir.file("page.html")));
}

TEST_F(HttpsFetchTest, TheEnvironmentCanNameTheTrustedCertificates) {
    ::setenv("TARNWICK_CA_FILE", certificate.cert.c_str(), 1);
    FetchRequest r = request(server->url("/page.html"));
    const int result = fetch.fetchToFile(r);
    ::unsetenv("TARNWICK_CA_FILE");
    EXPECT_EQ(result, 0) << r.errorText;
}

// ---- Proxy -------------------------------------------------------------------------------------

class ProxyFetchTest : public FetchTest {
protected:
    void SetUp() override {
        TW_REQUIRE_SERVER(test::TinyProxy::available(), "tinyproxy");
        proxy = std::make_unique<test::TinyProxy>(dir);
        ASSERT_TRUE(proxy->accepts()) << "tinyproxy did not start";
        serveText(server.routes(), "/page.html", "proxied");
        server.start();
    }

    static bool viaProxy(const Seen& seen) {
        return seen.headers.find("Via") != seen.headers.end() &&
               seen.headers.find("Via")->second.find("tinyproxy") != std::string::npos;
    }

    HttpServer server;
    std::unique_ptr<test::TinyProxy> proxy;
};

TEST_F(ProxyFetchTest, TheProxyCarriesTheRequestWhenLocalAddressesAreNotExempt) {
    FetchRequest r = request(server.url("/page.html"));
    r.proxy = proxy->address();
    r.noProxyForLocal = 0;
    EXPECT_EQ(fetch.fetchToFile(r), 0) << r.errorText;
    EXPECT_EQ(readFile(dir.file("page.html")), "proxied");
    ASSERT_EQ(server.seen(1).size(), 1u);
    EXPECT_TRUE(viaProxy(server.seen()[0]));
}

TEST_F(ProxyFetchTest, LocalAddressesBypassTheProxy) {
    FetchRequest numeric = request(server.url("/page.html"), "a.html");
    numeric.proxy = proxy->address();
    EXPECT_EQ(fetch.fetchToFile(numeric), 0) << numeric.errorText;
    FetchRequest named = request(server.url("/page.html", "localhost"), "b.html");
    named.proxy = proxy->address();
    EXPECT_EQ(fetch.fetchToFile(named), 0) << named.errorText;
    ASSERT_EQ(server.seen(2).size(), 2u);
    EXPECT_FALSE(viaProxy(server.seen()[0]));
    EXPECT_FALSE(viaProxy(server.seen()[1]));
}

TEST_F(ProxyFetchTest, HttpsIsTunnelledThroughTheProxy) {
    const Certificate certificate(dir);
    ASSERT_TRUE(certificate.made);
    HttpServer secure(
        std::make_unique<httplib::SSLServer>(certificate.cert.c_str(), certificate.key.c_str()),
        "https");
    serveText(secure.routes(), "/page.html", "tunnelled");
    secure.start();
    FetchRequest r = request(secure.url("/page.html"), "t.html");
    r.proxy = proxy->address();
    r.noProxyForLocal = 0;
    r.caFile = certificate.cert;
    EXPECT_EQ(fetch.fetchToFile(r), 0) << r.errorText;
    EXPECT_EQ(readFile(dir.file("t.html")), "tunnelled");
}

TEST_F(ProxyFetchTest, AnUnreachableProxyGivesKindTwo) {
    FetchRequest r = request(server.url("/page.html"));
    r.proxy = "127.0.0.1:" + std::to_string(test::freeLocalPort());
    r.noProxyForLocal = 0;
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("プロキシサーバーに接続を拒否されました"));
    EXPECT_TRUE(server.seen().empty());
}

// ---- Hostile servers and unsafe input -----------------------------------------------------------

/// Answers every request with `head` and then `drip` one byte at a time, `gapMs` apart, until
/// the client goes away or the server stops.
RawHttpServer::Handler dripping(const RawHttpServer& server, std::string head, std::size_t bytes,
                                int gapMs) {
    return [&server, head, bytes, gapMs](const std::string&, int socket) {
        if (!test::sendAll(socket, head)) {
            return;
        }
        for (std::size_t i = 0; i < bytes && !server.stopping(); ++i) {
            if (!test::sendAll(socket, "x")) {
                return;
            }
            server.pause(gapMs);
        }
    };
}

TEST_F(FetchTest, ADrippingBodyFallsBelowTheLowSpeedLimitAndIsRemoved) {
    std::unique_ptr<RawHttpServer> server;
    server = std::make_unique<RawHttpServer>([&](const std::string& req, int socket) {
        dripping(*server, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", 100000, 100)(req,
                                                                                            socket);
    });
    FetchRequest r = request(server->url("/drip.bin"), "drip.bin");
    r.lowSpeedSeconds = 1;
    r.lowSpeedBytesPerSecond = 1000;
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_NE(r.errorText.find(jp("通信速度が遅すぎるため中断しました")), std::string::npos)
        << r.errorText;
    EXPECT_FALSE(fileExists(dir.file("drip.bin")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(FetchTest, ACancelReachesADripThatNeverStalls) {
    std::atomic<bool> cancel{false};
    RawHttpServer server([&](const std::string&, int socket) {
        if (!test::sendAll(socket, "HTTP/1.1 200 OK\r\n\r\n")) {
            return;
        }
        for (int i = 0; i < 100000 && !server.stopping(); ++i) {
            if (i == 10) {
                cancel = true;
            }
            if (!test::sendAll(socket, "x")) {
                return;
            }
            server.pause(50);
        }
    });
    FetchRequest r = request(server.url("/drip.bin"), "drip.bin");
    r.cancelRequested = &cancel;
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("強制終了しました"));
    EXPECT_FALSE(fileExists(dir.file("drip.bin")));
}

TEST_F(FetchTest, AnEndlessBodyStopsAtTheSizeLimitAndIsRemoved) {
    RawHttpServer server([&](const std::string&, int socket) {
        if (!test::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n")) {
            return;
        }
        const std::string block(65536, 'e');
        while (!server.stopping() && test::sendAll(socket, block)) {
        }
    });
    FetchRequest r = request(server.url("/endless.txt"), "endless.txt");
    r.maxBodyBytes = 1 << 20;
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("ページが大きすぎるため中断しました（上限1MB）"));
    EXPECT_FALSE(fileExists(dir.file("endless.txt")));

    // A Content-Length beyond the limit is refused before any file is made.
    RawHttpServer announced([&](const std::string&, int socket) {
        test::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n\r\nabc");
    });
    FetchRequest big = request(announced.url("/big.txt"), "big.txt");
    big.maxBodyBytes = 1 << 20;
    EXPECT_EQ(fetch.fetchToFile(big), 2);
    EXPECT_EQ(big.errorText, jp("ページが大きすぎるため中断しました（上限1MB）"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(FetchTest, ABodyEndingBeforeItsContentLengthFailsAndIsRemoved) {
    RawHttpServer server([&](const std::string&, int socket) {
        test::sendAll(socket,
                      "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(300, 'c'));
    });
    FetchRequest r = request(server.url("/cut.html"), "cut.html");
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("受信の途中で接続が切れました（ページの一部しか届いていません）"));
    EXPECT_NE(r.errorText, dir.file("cut.html"));
    EXPECT_FALSE(fileExists(dir.file("cut.html")));
}

TEST_F(FetchTest, MisleadingServerAnswersGetTheirOwnTexts) {
    RawHttpServer server([&](const std::string& req, int socket) {
        if (req.starts_with("GET /huge")) {
            test::sendAll(socket, "HTTP/1.1 200 OK\r\nX-Huge: " + std::string(1 << 20, 'h') +
                                      "\r\nContent-Length: 2\r\n\r\nok");
        } else if (req.starts_with("GET /cr")) {
            test::sendAll(socket, "HTTP/1.1 302 Found\r\nLocation: /x.html\rSet-Cookie: a=b\r\n"
                                  "Content-Length: 0\r\n\r\n");
        } else {
            test::sendAll(socket, "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\n"
                                  "Content-Length: 0\r\n\r\n");
        }
    });
    FetchRequest huge = request(server.url("/huge.html"), "huge.html");
    EXPECT_EQ(fetch.fetchToFile(huge), 2);
    EXPECT_EQ(huge.errorText, jp("サーバーの応答ヘッダーが長すぎます"));

    FetchRequest cr = request(server.url("/cr.html"), "cr.html");
    cr.allowRelocation = 1;
    EXPECT_EQ(fetch.fetchToFile(cr), 2);
    EXPECT_EQ(cr.errorText, jp("リダイレクト先のアドレスに改行などの制御文字が含まれています"));

    FetchRequest file = request(server.url("/passwd"), "f.html");
    file.allowRelocation = 1;
    EXPECT_EQ(fetch.fetchToFile(file), 2);
    EXPECT_EQ(file.errorText, jp("http・https 以外のアドレスへのリダイレクトには従いません"));
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(FetchTest, AnAddressWithBlanksIsSentPercentEncoded) {
    HttpServer server;
    serveText(server.routes(), "/my page.html", "blank");
    server.start();
    FetchRequest r = request(server.url("/my page.html"), "b.html");
    EXPECT_EQ(fetch.fetchToFile(r), 0) << r.errorText;
    EXPECT_EQ(readFile(dir.file("b.html")), "blank");
    EXPECT_EQ(fetch.queryLastModified(r), 0);
    EXPECT_EQ(r.errorKind, 0);
}

TEST_F(FetchTest, LineBreaksInHeaderValuesAreRefusedBeforeSending) {
    RawHttpServer server(
        [&](const std::string&, int socket) { test::sendAll(socket, rawResponse("", "")); });
    struct Case {
        std::string FetchRequest::*field;
        std::string value;
        const char* text;
    };
    const Case cases[] = {
        {&FetchRequest::userAgent, "UA\rX-Injected: 1",
         "ユーザーエージェントに改行またはNUL文字が含まれているため送信できません。"},
        {&FetchRequest::referer, "http://r/\nX-Injected: 1",
         "リファラーに改行またはNUL文字が含まれているため送信できません。"},
        {&FetchRequest::cookie, std::string("a=b\0X", 5),
         "クッキーに改行またはNUL文字が含まれているため送信できません。"},
        {&FetchRequest::extraHeaders, "X-A: 1\r\nX-B: 2\rX-Injected: 1",
         "追加ヘッダーに改行またはNUL文字が含まれているため送信できません。"},
        {&FetchRequest::extraHeaders, "X-A: 1\nX-Injected: 1",
         "追加ヘッダーに改行またはNUL文字が含まれているため送信できません。"},
    };
    for (const Case& c : cases) {
        FetchRequest r = request(server.url("/page.html"));
        r.*c.field = c.value;
        EXPECT_EQ(fetch.fetchToFile(r), 2) << c.value;
        EXPECT_EQ(r.errorText, jp(c.text));
        FetchRequest q = request(server.url("/page.html"));
        q.*c.field = c.value;
        EXPECT_EQ(fetch.queryLastModified(q), 0);
        EXPECT_EQ(q.errorKind, 2);
        EXPECT_EQ(q.errorText, jp(c.text));
    }
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(FetchTest, CredentialsAndTheCookieStayWithTheirOrigin) {
    HttpServer other;
    serveText(other.routes(), "/a.html", "elsewhere");
    other.start();
    HttpServer origin;
    redirect(origin.routes(), "/a.html", other.url("/a.html"));
    redirect(origin.routes(), "/same/a.html", "/a2/a.html");
    requireBasic(origin.routes(), "/a2/a.html", "alice", "pw");
    origin.start();

    for (const bool stored : {true, false}) {
        FetchRequest r = request(origin.url("/a.html"), stored ? "s.html" : "p.html");
        r.cookie = "session=secret";
        r.referer = "http://referrer.test/";
        r.userAgent = "Agent/1";
        r.extraHeaders = "Authorization: Bearer token\r\nCookie: extra=1\r\nX-Api-Key: k1\r\n"
                         "Proxy-Authorization: Basic cHJveHk6cHc=\r\nX-Keep: 1";
        if (stored) {
            r.userName = "alice";
            r.password = "pw";
        }
        EXPECT_EQ(fetch.fetchToFile(r), 0) << r.errorText;
    }
    const auto seen = other.seen(2);
    ASSERT_EQ(seen.size(), 2u);
    for (const Seen& one : seen) {
        EXPECT_FALSE(one.headers.count("Authorization"));
        EXPECT_FALSE(one.headers.count("Cookie"));
        EXPECT_EQ(one.headers.find("Referer")->second, "http://referrer.test/");
        EXPECT_EQ(one.headers.find("User-Agent")->second, "Agent/1");
        // Every extra header line is the item's: a secret may hide under any name.
        EXPECT_FALSE(one.headers.count("X-Api-Key"));
        EXPECT_FALSE(one.headers.count("Proxy-Authorization"));
        EXPECT_FALSE(one.headers.count("X-Keep"));
    }
    // The item's own server had them.
    const auto first = origin.seen(2);
    ASSERT_FALSE(first.empty());
    ASSERT_TRUE(first[0].headers.count("X-Api-Key"));
    ASSERT_TRUE(first[0].headers.count("Proxy-Authorization"));
    EXPECT_EQ(first[0].headers.find("X-Api-Key")->second, "k1");
    EXPECT_EQ(first[0].headers.find("Proxy-Authorization")->second, "Basic cHJveHk6cHc=");

    // On the same origin a relocation keeps them, and prompted credentials are answered there.
    prompter.setNextCredentials({true, "alice", "pw"});
    FetchRequest same = request(origin.url("/same/a.html"), "same.html");
    same.cookie = "session=secret";
    EXPECT_EQ(fetch.fetchToFile(same), 0) << same.errorText;
    EXPECT_EQ(readFile(dir.file("same.html")), "secret:");
    const auto mine = origin.seen(5);
    EXPECT_EQ(mine.back().headers.find("Cookie")->second, "session=secret");
}

TEST_F(FetchTest, AnOriginIsSchemeHostAndPort) {
    const auto origin = [](const std::string& url) { return *HttpExchange::parseAddress(url); };
    EXPECT_TRUE(origin("http://Host.test/a").sameOrigin(origin("http://host.test:80/b")));
    EXPECT_FALSE(origin("https://host.test/a").sameOrigin(origin("http://host.test:443/a")));
    EXPECT_FALSE(origin("https://host.test/a").sameOrigin(origin("http://host.test/a")));
    EXPECT_FALSE(origin("http://host.test/a").sameOrigin(origin("http://host.test:8080/a")));
    EXPECT_FALSE(origin("http://host.test/a").sameOrigin(origin("http://other.test/a")));
}

TEST_F(FetchTest, TheQueryAnswersAnAuthenticationDemand) {
    HttpServer server;
    server.routes().Get("/secret.html", [](const httplib::Request& req, httplib::Response& res) {
        if (req.get_header_value("Authorization") != "Basic " + base64Encode("alice:pw")) {
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"test\"");
            return;
        }
        res.set_header("Last-Modified", kModified);
        res.set_content("secret", "text/html");
    });
    server.start();
    prompter.setNextCredentials({true, "alice", "pw"});
    FetchRequest q = request(server.url("/secret.html"));
    EXPECT_EQ(fetch.queryLastModified(q), CFetch::lastModifiedTime(kModified));
    EXPECT_EQ(q.errorKind, 0);
    EXPECT_EQ(q.userName, "alice");
    EXPECT_EQ(q.password, "pw");
    const auto seen = server.seen(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "HEAD");
    EXPECT_EQ(seen[1].method, "HEAD");
}

TEST_F(FetchTest, TheSaveFileIsNewPrivateAndNeverFollowsALink) {
    HttpServer server;
    serveText(server.routes(), "/page.html", "mine");
    server.start();

    FetchRequest r = request(server.url("/page.html"));
    EXPECT_EQ(fetch.fetchToFile(r), 0);
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("page.html").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A dangling link planted under the free name is never written through.
    TempDir elsewhere;
    const std::string target = elsewhere.file("stolen.html");
    std::filesystem::create_symlink(target, dir.file("link.html"));
    FetchRequest linked = request(server.url("/page.html"), "link.html");
    fetch.fetchToFile(linked);
    EXPECT_FALSE(fileExists(target));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.html")));

    // A resume goes only into the regular file the caller left: not through a link, and a
    // FIFO in its place fails at once instead of blocking.
    std::filesystem::create_symlink(dir.file("page.html"), dir.file("resume.html"));
    ASSERT_EQ(::mkfifo(dir.file("fifo.html").c_str(), 0600), 0);
    RawHttpServer ranged([&](const std::string&, int socket) {
        test::sendAll(socket, "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-3/4\r\n"
                              "Content-Length: 2\r\n\r\nzz");
    });
    for (const char* name : {"resume.html", "fifo.html"}) {
        FetchRequest resume = request(ranged.url("/page.html"), name);
        resume.startOffset = 2;
        resume.expectedSize = 4;
        EXPECT_EQ(fetch.fetchToFile(resume), 2) << name;
        EXPECT_EQ(resume.errorText, jp("保存ファイルが作れません"));
    }
    EXPECT_EQ(readFile(dir.file("page.html")), "mine");
}

// ---- Credentials asked for by another origin ---------------------------------------------------

TEST_F(FetchTest, AnotherOriginsDemandNamesThatOriginAndWhatIsTypedIsNeverTheItems) {
    HttpServer other;
    const std::string typed = "Basic " + base64Encode("bob:typed");
    other.routes().Get("/a.html", [typed](const httplib::Request& req, httplib::Response& res) {
        if (req.get_header_value("Authorization") != typed) {
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"社内 \\\"wiki\\\"\"");
            return;
        }
        res.set_content("other's page", "text/html");
    });
    other.start();
    HttpServer origin;
    redirect(origin.routes(), "/a.html", other.url("/a.html"));
    origin.start();

    prompter.setNextCredentials({true, "bob", "typed"});
    FetchRequest r = request(origin.url("/a.html"), "a.html");
    r.userName = "alice";
    r.password = "secret";
    EXPECT_EQ(fetch.fetchToFile(r), 0) << r.errorText;
    EXPECT_EQ(readFile(dir.file("a.html")), "other's page");
    ASSERT_EQ(prompter.authChallenges().size(), 1u);
    const Prompter::AuthChallenge asked = prompter.authChallenges()[0];
    EXPECT_EQ(asked.origin, other.url(""));
    EXPECT_EQ(asked.realm, jp("社内 \"wiki\""));
    EXPECT_FALSE(asked.itemOrigin);
    // What the checker and the editor copy back into the item stays the item's own.
    EXPECT_EQ(r.userName, "alice");
    EXPECT_EQ(r.password, "secret");
    // The item's credentials never reached the other server; what was typed did, once asked.
    const auto seen = other.seen(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[0].headers.count("Authorization"));
    ASSERT_TRUE(seen[1].headers.count("Authorization"));
    EXPECT_EQ(seen[1].headers.find("Authorization")->second, typed);

    // Typed for that request only: another request asks again (and is refused here).
    FetchRequest again = request(origin.url("/a.html"), "b.html");
    EXPECT_EQ(fetch.fetchToFile(again), 2);
    EXPECT_EQ(again.errorText, jp("認証が否定されました"));
    EXPECT_EQ(prompter.authChallenges().size(), 2u);
    // A check's query and download share one request, and so one answer; an item without
    // credentials of its own gains none.
    prompter.setNextCredentials({true, "bob", "typed"});
    FetchRequest check = request(origin.url("/a.html"), "c.html");
    fetch.queryLastModified(check);
    EXPECT_EQ(check.errorKind, 0) << check.errorText;
    EXPECT_EQ(fetch.fetchToFile(check), 0) << check.errorText;
    EXPECT_EQ(prompter.authChallenges().size(), 3u);
    EXPECT_TRUE(check.userName.empty());
    EXPECT_TRUE(check.password.empty());
}

// ---- Time limit of a whole call ----------------------------------------------------------------

/// Sends a 1 MB body at `bytesPerSecond`, what is owed by the clock every 100 ms (so that a busy
/// machine cannot slow it below the rate), for at most `seconds`; then the connection ends.
RawHttpServer::Handler steadyTrickle(const RawHttpServer& server, int bytesPerSecond, int seconds) {
    return [&server, bytesPerSecond, seconds](const std::string&, int socket) {
        if (!test::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n")) {
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        std::int64_t sent = 0;
        for (int i = 0; i < seconds * 10 && !server.stopping(); ++i) {
            server.pause(100);
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            const auto owed = static_cast<std::int64_t>(elapsed.count() * bytesPerSecond) - sent;
            if (!test::sendAll(socket, std::string(static_cast<std::size_t>(owed), 't'))) {
                return;
            }
            sent += owed;
        }
    };
}

TEST_F(FetchTest, ABodyArrivingJustFastEnoughEndsAtTheTimeLimit) {
    std::unique_ptr<RawHttpServer> server;
    server = std::make_unique<RawHttpServer>(
        [&](const std::string& req, int socket) { steadyTrickle(*server, 1200, 8)(req, socket); });
    FetchRequest r = request(server->url("/slow.html"), "slow.html");
    r.lowSpeedSeconds = 1;
    r.lowSpeedBytesPerSecond = 1000;
    r.maxDownloadSeconds = 2;
    EXPECT_EQ(fetch.fetchToFile(r), 2);
    EXPECT_EQ(r.errorText, jp("ダウンロードに時間がかかりすぎるため中断しました（上限2秒）"));
    EXPECT_FALSE(fileExists(dir.file("slow.html")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(FetchTest, TheProgramsTimeLimitAppliesWhereTheRequestNamesNone) {
    ASSERT_EQ(CFetch::maxDownloadSeconds(), CFetch::kDefaultMaxDownloadSeconds);
    std::unique_ptr<RawHttpServer> server;
    server = std::make_unique<RawHttpServer>(
        [&](const std::string& req, int socket) { steadyTrickle(*server, 5000, 8)(req, socket); });
    CFetch::setMaxDownloadSeconds(1);
    FetchRequest r = request(server->url("/slow.html"), "slow.html");
    const int result = fetch.fetchToFile(r);
    CFetch::setMaxDownloadSeconds(0);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(r.errorText, jp("ダウンロードに時間がかかりすぎるため中断しました（上限1秒）"));
    EXPECT_EQ(CFetch::maxDownloadSeconds(), CFetch::kDefaultMaxDownloadSeconds);

    // The tests' variable only ever lowers it.
    ::setenv("TARNWICK_TEST_MAX_DOWNLOAD_SECONDS", "1", 1);
    FetchRequest lowered = request(server->url("/slow.html"), "lowered.html");
    lowered.maxDownloadSeconds = 3600;
    const int loweredResult = fetch.fetchToFile(lowered);
    ::unsetenv("TARNWICK_TEST_MAX_DOWNLOAD_SECONDS");
    EXPECT_EQ(loweredResult, 2);
    EXPECT_EQ(lowered.errorText, jp("ダウンロードに時間がかかりすぎるため中断しました（上限1秒）"));
}

TEST_F(FetchTest, TimeInTheCredentialsPromptDoesNotCountAgainstTheLimit) {
    HttpServer server;
    requireBasic(server.routes(), "/secret.html", "alice", "pw");
    server.start();
    // A user who takes longer to type than the whole call may take.
    struct SlowUser : Prompter {
        explicit SlowUser(test::FakeClock& clock) : clock(clock) {}
        void showMessage(const std::string&, Icon) override {}
        bool ask(const std::string&) override { return false; }
        bool authenticate(std::string& user, std::string& password, const AuthChallenge&,
                          int) override {
            clock.advance(std::chrono::milliseconds(1500));
            user = "alice";
            password = "pw";
            return true;
        }
        test::FakeClock& clock;
    };
    test::FakeClock clock;
    SlowUser slowUser(clock);
    CFetch engine(&slowUser, clock);
    FetchRequest r = request(server.url("/secret.html"), "s.html");
    r.maxDownloadSeconds = 1;
    EXPECT_EQ(engine.fetchToFile(r), 0) << r.errorText;
    EXPECT_EQ(readFile(dir.file("s.html")), "secret:");
}

// ---- Failures while saving ---------------------------------------------------------------------

TEST_F(FetchTest, AWriteFailureIsToldInJapanese) {
    HttpServer server;
    serveText(server.routes(), "/big.html", std::string(256 * 1024, 'b'));
    server.start();
    // A file size limit makes the write fail with EFBIG, as a full disk would with ENOSPC.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    FetchRequest r = request(server.url("/big.html"), "big.html");
    const int result = fetch.fetchToFile(r);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(r.errorText, jp("ファイルが大きすぎます"));
    EXPECT_FALSE(fileExists(dir.file("big.html")));
}

TEST_F(FetchTest, APathInCodePage932IsSavedUnderItsNameOnDisk) {
    HttpServer server;
    serveText(server.routes(), "/page.html", "kakaku");
    server.routes().Get("/cut.html", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Length", "1000");
        res.set_content_provider(1000, "text/html",
                                 [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                     sink.write("half", 4);
                                     return false; // the connection ends before the promised length
                                 });
    });
    server.start();
    // The desktop's download folder, named in UTF-8 on disk, held by the program as 932 text.
    std::filesystem::create_directory(dir.file("ダウンロード"));
    const std::string folder = dir.path() + "/" + jp("ダウンロード");

    FetchRequest r = request(server.url("/page.html"));
    r.destFile = folder + "/" + jp("価格.html");
    EXPECT_EQ(fetch.fetchToFile(r), 0) << r.errorText;
    EXPECT_EQ(r.savedPath, r.destFile);
    EXPECT_EQ(readFile(dir.file("ダウンロード/価格.html")), "kakaku");

    // A failed download leaves nothing behind under either name.
    FetchRequest cut = request(server.url("/cut.html"));
    cut.destFile = folder + "/" + jp("途中.html");
    EXPECT_EQ(fetch.fetchToFile(cut), 2);
    EXPECT_FALSE(fileExists(dir.file("ダウンロード/途中.html")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("ダウンロード")),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(FetchTest, TheContentTypeIsKeptWithTheDownload) {
    HttpServer server;
    serveText(server.routes(), "/euc.html", "x", "text/html; charset=EUC-JP");
    server.start();
    FetchRequest r = request(server.url("/euc.html"));
    r.contentType = "stale";
    EXPECT_EQ(fetch.fetchToFile(r), 0) << r.errorText;
    EXPECT_EQ(r.contentType, "text/html; charset=EUC-JP");
    FetchRequest missing = request(server.url("/none.html"));
    missing.contentType = "stale";
    EXPECT_EQ(fetch.fetchToFile(missing), 404);
    EXPECT_TRUE(missing.contentType.empty());
}

} // namespace
} // namespace tw
