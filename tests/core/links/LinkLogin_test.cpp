#include "LinkTestSupport.h"

#include "core/links/CLinkList.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

namespace tw::test {
namespace {

/// A link behind Basic authentication: the Last-Modified query asks for the login, and the
/// download that follows uses what the user typed there instead of asking again.
TEST(LinkLogin, TheLoginTypedForTheQueryServesTheDownloadToo) {
    httplib::Server server;
    const auto authorised = [](const httplib::Request& request, httplib::Response& response) {
        // "user:secret"
        if (request.get_header_value("Authorization") != "Basic dXNlcjpzZWNyZXQ=") {
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"files\"");
            return false;
        }
        return true;
    };
    server.Get("/a.zip", [&](const httplib::Request& request, httplib::Response& response) {
        if (authorised(request, response)) {
            response.set_header("Last-Modified", "Tue, 01 Dec 2026 00:00:00 GMT");
            response.set_content("new", "application/zip");
        }
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });

    TempFolder folder;
    TempFolder::writeFile(folder / "a.zip", "old");
    FakePrompter prompter;
    prompter.setNextCredentials({true, "user", "secret"});
    CLinkList links(&prompter);
    ASSERT_EQ(links.load(folder.path(), false), 1);
    links.replaceAll({makeLink("a.zip", "http://127.0.0.1:" + std::to_string(port) + "/a.zip")});

    EXPECT_EQ(links.checkLink(0), kLinkUpdated);
    EXPECT_EQ(prompter.authAddresses().size(), 1u);
    EXPECT_EQ(links.link(0).userName, "user");

    server.stop();
    serving.join();
}

} // namespace
} // namespace tw::test
