#include "core/app/ListCommands.h"
#include "core/app/ListRequests.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tw {
namespace {

using test::TempFolder;
using namespace std::chrono_literals;

std::optional<ListRequest> parse(std::vector<std::string> words, std::string& error) {
    words.insert(words.begin(), "tarnwick");
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    return parseListCommand(static_cast<int>(argv.size()), argv.data(), 1, error);
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(ListCommandLine, TimesAndFormatsAreReadStrictly) {
    std::string error;
    const std::optional<ListRequest> every =
        parse({"--add", "http://a.example/", "--every", "01:30", "--name", "x"}, error);
    ASSERT_TRUE(every);
    EXPECT_EQ(every->timing, ListRequest::Timing::Every);
    EXPECT_EQ(every->seconds, 5400);
    EXPECT_EQ(every->name, "x");
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--add", "http://a.example/", "--every", "00:00"},
          {"--add", "http://a.example/", "--at", "24:00"},
          {"--add", "http://a.example/", "--at", "7:60"},
          {"--add", "http://a.example/", "--at", "07:05", "--at-start"},
          {"--add"},
          {"--remove", "0"},
          {"--check", "1x"},
          {"--export", "out.txt", "--format", "csv"},
          {"--list", "extra"}}) {
        error.clear();
        EXPECT_FALSE(parse(bad, error)) << bad.front();
        EXPECT_FALSE(error.empty()) << bad.front();
    }
    const std::optional<ListRequest> opml = parse({"--export", "Pages.OPML"}, error);
    ASSERT_TRUE(opml);
    EXPECT_EQ(opml->format, ListFormat::Opml);
    EXPECT_TRUE(opml->file.starts_with("/"));
    EXPECT_EQ(parse({"--export", "/x/list", "--format", "yaml"}, error)->format, ListFormat::Yaml);
    EXPECT_EQ(parse({"--export", "/x.d/list"}, error)->format, ListFormat::Urls);
    error.clear();
    EXPECT_FALSE(parse({"--headless"}, error));
    EXPECT_TRUE(error.empty());
}

TEST(ListRequestFiles, ValuesWithLineBreaksAndPercentsComeBackWhole) {
    ListRequest request;
    request.kind = ListRequest::Kind::Add;
    request.address = "http://a.example/%41?x=1";
    request.name = std::string("two\nlines\r% and a NUL \0 here", 28);
    request.file = "/tmp/a=b";
    const std::optional<ListRequest> back = decodeRequest(encodeRequest(request));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, request.name);
    EXPECT_EQ(back->address, request.address);
    EXPECT_EQ(back->file, request.file);
    const std::string bytes = encodeRequest(request);
    EXPECT_FALSE(decodeRequest(bytes.substr(0, bytes.size() - 1)));
    EXPECT_FALSE(decodeRequest("tarnwick-list-request 1\nkind=9\n"));
    EXPECT_FALSE(decodeRequest("something else\n"));
    const ListAnswer answer{1, "a\nb\n", "why\n"};
    const std::optional<ListAnswer> answered = decodeAnswer(encodeAnswer(answer));
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->out, answer.out);
    EXPECT_EQ(answered->err, answer.err);
}

class ListRequestsTest : public ::testing::Test {
protected:
    TempFolder data;
    TempFolder bus;
    ListRequest request = [] {
        ListRequest list;
        list.kind = ListRequest::Kind::List;
        return list;
    }();

    std::string folder() const { return requestFolder(data.path()); }
};

TEST_F(ListRequestsTest, AClaimedRequestIsAnsweredAndNothingStays) {
    std::string error;
    auto command = std::async(std::launch::async, [&] {
        return handOverRequest(data.path(), bus.path(), request, 60s, 60s, error);
    });
    int served = 0;
    ListRequestServer server(data.path(), [&](const ListRequest& got, const auto& reply) {
        EXPECT_EQ(got.kind, ListRequest::Kind::List);
        ++served;
        reply(ListAnswer{0, "1\trow\n", {}});
    });
    // The bus is not running here: the program looks until the command's request is there.
    while (served == 0 && command.wait_for(0s) != std::future_status::ready) {
        server.serve();
        std::this_thread::yield();
    }
    const std::optional<ListAnswer> answer = command.get();
    ASSERT_TRUE(answer) << error;
    EXPECT_EQ(answer->out, "1\trow\n");
    EXPECT_TRUE(entries(folder()).empty());
    struct stat info {};
    ASSERT_EQ(::stat(folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(ListRequestsTest, NobodyClaimingMeansAMessageAndNoRequestLeft) {
    std::string error;
    EXPECT_FALSE(handOverRequest(data.path(), bus.path(), request, 50ms, 60s, error));
    EXPECT_NE(error.find("応答がありません"), std::string::npos) << error;
    EXPECT_TRUE(entries(folder()).empty());
}

TEST_F(ListRequestsTest, AnAnswerAfterTheCommandGaveUpIsNotWritten) {
    std::string error;
    ListRequestServer::Reply late;
    ListRequestServer server(
        data.path(),
        [&](const ListRequest&, const ListRequestServer::Reply& reply) { late = reply; });
    auto command = std::async(std::launch::async, [&] {
        return handOverRequest(data.path(), bus.path(), request, 60s, 100ms, error);
    });
    while (!late) {
        server.serve();
        std::this_thread::yield();
    }
    EXPECT_FALSE(command.get());
    late(ListAnswer{0, "late\n", {}});
    EXPECT_TRUE(entries(folder()).empty());
}

TEST_F(ListRequestsTest, FilesThatAreNotOurRequestsAreNeverActedOn) {
    ASSERT_EQ(::mkdir(folder().c_str(), 0700), 0);
    const std::string good = encodeRequest(request);
    const std::string outside = data / "outside.req";
    TempFolder::writeFile(outside, good);
    ASSERT_EQ(::symlink(outside.c_str(), (folder() + "/1.req").c_str()), 0);
    TempFolder::writeFile(folder() + "/2.req", good + std::string(kMaxRequestBytes, 'x'));
    TempFolder::writeFile(folder() + "/3.req", "junk\n");
    TempFolder::writeFile(folder() + "/4.req", good);
    ASSERT_EQ(::link((folder() + "/4.req").c_str(), (data / "second-name").c_str()), 0);
    int served = 0;
    ListRequestServer server(
        data.path(), [&](const ListRequest&, const ListRequestServer::Reply&) { ++served; });
    server.serve();
    EXPECT_EQ(served, 0);
    EXPECT_EQ(TempFolder::readFile(outside), good);

    // A folder others may enter is not looked at at all.
    TempFolder::writeFile(folder() + "/5.req", good);
    ASSERT_EQ(::chmod(folder().c_str(), 0755), 0);
    server.serve();
    EXPECT_EQ(served, 0);
    ASSERT_EQ(::chmod(folder().c_str(), 0700), 0);
    server.serve();
    EXPECT_EQ(served, 1);
}

} // namespace
} // namespace tw
