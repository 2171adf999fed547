// The mail sender against a real SMTP server (aiosmtpd) on 127.0.0.1, started and stopped here.

#include "net/CollectingMailProgress.h"
#include "net/MailSender.h"
#include "platform/CodeConverter.h"
#include "support/MissingServer.h"
#include "util/Cp932.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tw {
namespace {

// Saves each message's envelope, HELO name and raw bytes (as received, dots unstuffed).
const char* const kServerScript = R"PY(
import os, socket, sys
from aiosmtpd.controller import Controller

folder = sys.argv[1]

class Saver:
    count = 0
    async def handle_DATA(self, server, session, envelope):
        Saver.count += 1
        base = os.path.join(folder, str(Saver.count))
        with open(base + '.eml', 'wb') as f:
            f.write(envelope.original_content)
        with open(base + '.tmp', 'w') as f:
            f.write('HELO ' + str(session.host_name) + '\n')
            f.write('FROM ' + envelope.mail_from + '\n')
            for rcpt in envelope.rcpt_tos:
                f.write('TO ' + rcpt + '\n')
        os.rename(base + '.tmp', base + '.env')
        return '250 OK'

probe = socket.socket()
probe.bind(('127.0.0.1', 0))
port = probe.getsockname()[1]
probe.close()
controller = Controller(Saver(), hostname='127.0.0.1', port=port)
controller.start()
print('READY', port, flush=True)
sys.stdin.read()
controller.stop()
)PY";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// One aiosmtpd process for all tests of this file.
class SmtpEndToEnd : public ::testing::Test {
protected:
    // Started by the first test rather than in SetUpTestSuite: gtest reports the tests of a suite
    // whose SetUpTestSuite failed as skipped, and ctest then counts them as not run, not failed.
    void SetUp() override {
        TW_REQUIRE_SERVER(test::pythonModuleAvailable("aiosmtpd"), "aiosmtpd (python3-aiosmtpd)");
        if (!s_startTried) {
            s_startTried = true;
            startServer();
        }
        ASSERT_GT(s_port, 0) << "aiosmtpd did not start";
    }

    static void startServer() {
        char folder[] = "/tmp/tw-smtp-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        s_folder = folder;
        const std::string script = s_folder + "/server.py";
        std::ofstream(script) << kServerScript;

        int toChild[2];
        int fromChild[2];
        ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        // The system interpreter carries the packaged aiosmtpd.
        const char* python =
            ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        std::string mailFolder = s_folder + "/mail";
        ASSERT_EQ(::mkdir(mailFolder.c_str(), 0700), 0);
        char* argv[] = {const_cast<char*>(python), const_cast<char*>(script.c_str()),
                        mailFolder.data(), nullptr};
        const int rc = ::posix_spawnp(&s_pid, python, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        s_stdin = toChild[1];
        ASSERT_EQ(rc, 0) << "cannot start " << python;

        std::string line;
        while (line.find('\n') == std::string::npos) {
            pollfd entry{fromChild[0], POLLIN, 0};
            ASSERT_GT(::poll(&entry, 1, 20000), 0) << "aiosmtpd did not start";
            char chunk[256];
            const ssize_t got = ::read(fromChild[0], chunk, sizeof chunk);
            ASSERT_GT(got, 0) << "aiosmtpd did not start (is python3-aiosmtpd installed?)";
            line.append(chunk, static_cast<std::size_t>(got));
        }
        ::close(fromChild[0]);
        ASSERT_EQ(line.rfind("READY ", 0), 0u) << line;
        s_port = std::atoi(line.c_str() + 6);
    }

    static void TearDownTestSuite() {
        if (s_stdin >= 0) {
            ::close(s_stdin);
            s_stdin = -1;
        }
        if (s_pid > 0) {
            int status = 0;
            for (int i = 0; i < 100 && ::waitpid(s_pid, &status, WNOHANG) == 0; ++i) {
                ::usleep(50000);
            }
            if (::waitpid(s_pid, &status, WNOHANG) == 0) {
                ::kill(s_pid, SIGKILL);
                ::waitpid(s_pid, &status, 0);
            }
            s_pid = 0;
        }
        if (!s_folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(s_folder, ignored);
        }
    }

    struct Received {
        std::string envelope;
        std::string message;
    };

    /// Sends one mail and returns what the server saved for it.
    Received send(const std::string& subject, const std::string& body, CodeConverter* converter,
                  const std::string& recipient = "to@example.test") {
        CollectingMailProgress progress;
        const std::string result = sendMail("127.0.0.1", s_port, "from@example.test", recipient,
                                            subject, body, converter, progress);
        EXPECT_EQ(result, "") << fromCp932(result);
        ++s_count;
        const std::string base = s_folder + "/mail/" + std::to_string(s_count);
        return {readFile(base + ".env"), readFile(base + ".eml")};
    }

    static inline bool s_startTried = false;
    static inline std::string s_folder;
    static inline pid_t s_pid = 0;
    static inline int s_stdin = -1;
    static inline int s_port = 0;
    static inline int s_count = 0;
};

std::string header(const std::string& recipient, const std::string& subject) {
    return "To : " + recipient +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\tcharset=\"iso-2022-jp\"\r\n"
           "Content-Transfer-Encoding: 7bit\r\nSubject: " +
           subject + "\r\n\r\n";
}

std::string base64Decode(const std::string& text) {
    static const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const std::size_t value = digits.find(c);
        if (value == std::string::npos) {
            continue;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

TEST_F(SmtpEndToEnd, AsciiMailArrivesAsListedWithDotLinesIntact) {
    const Received got =
        send("Page changed", "First line\n.\n..two dots\n.leading dot\r\nlast", nullptr);
    EXPECT_EQ(got.envelope, "HELO 127.0.0.1\nFROM from@example.test\nTO to@example.test\n");
    EXPECT_EQ(got.message, header("to@example.test", "Page changed") +
                               "First line\r\n.\r\n..two dots\r\n.leading dot\r\nlast\r\n");
}

TEST_F(SmtpEndToEnd, JapaneseSubjectAndBodyArriveInIso2022Jp) {
    std::unique_ptr<CodeConverter> converter = createCodeConverter();
    ASSERT_TRUE(converter);
    // "更新" in the subject; half-width "ｶﾀｶﾅ" in the body arrives as full-width カタカナ.
    const Received got =
        send(jp("更新のお知らせ"), jp("ページが更新されました\nｶﾀｶﾅ\n.\n"), converter.get());

    const std::string esc = "\x1b";
    const std::string subjectJis = esc + "$B99?7$N$*CN$i$;" + esc + "(B";
    const std::string bodyJis = esc + "$B%Z!<%8$,99?7$5$l$^$7$?" + esc + "(B\r\n" + esc +
                                "$B%+%?%+%J" + esc + "(B\r\n.\r\n\r\n";

    const std::string prefix = header("to@example.test", "");
    ASSERT_EQ(got.message.compare(0, prefix.size() - 4, prefix, 0, prefix.size() - 4), 0)
        << got.message;
    const std::size_t subjectStart = got.message.find("Subject: ") + 9;
    const std::string subject =
        got.message.substr(subjectStart, got.message.find("\r\n", subjectStart) - subjectStart);
    ASSERT_EQ(subject.rfind("=?iso-2022-jp?B?", 0), 0u) << subject;
    ASSERT_EQ(subject.substr(subject.size() - 2), "?=") << subject;
    EXPECT_EQ(subject.find(' '), std::string::npos) << "one encoded word";
    EXPECT_EQ(base64Decode(subject.substr(16, subject.size() - 18)), subjectJis);

    const std::size_t bodyStart = got.message.find("\r\n\r\n") + 4;
    EXPECT_EQ(got.message.substr(bodyStart), bodyJis);
}

} // namespace
} // namespace tw
