#pragma once
// A real SMTP server (aiosmtpd, a Debian package) on 127.0.0.1 for tests, started and stopped by
// the test. It saves each message's envelope, HELO name and raw bytes (dots unstuffed).

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tw::test {

class AiosmtpdServer {
public:
    struct Received {
        std::string envelope; ///< "HELO ...\nFROM ...\nTO ...\n"
        std::string message;  ///< the bytes after DATA, as the client sent them
    };

    AiosmtpdServer() = default;
    AiosmtpdServer(const AiosmtpdServer&) = delete;
    AiosmtpdServer& operator=(const AiosmtpdServer&) = delete;
    ~AiosmtpdServer() { stop(); }

    static const char* python() {
        // The system interpreter carries the packaged aiosmtpd.
        return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    }
    static bool available() {
        const std::string command = std::string(python()) + " -c 'import aiosmtpd' >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }

    /// A server that requires encryption and a login.
    struct Secure {
        bool startTls = true;    ///< STARTTLS required; false: TLS from the first byte
        std::string certificate; ///< PEM files
        std::string key;
        std::string user;
        std::string password;
        bool loginOnly = false; ///< offers AUTH LOGIN but not PLAIN
    };

    /// Starts the server and waits until it listens; the empty text, or why it did not start.
    /// `highestPort` keeps the port at or below it (for settings that limit the port).
    std::string start(int highestPort = 65535, const Secure* secure = nullptr) {
        char folder[] = "/tmp/tw-smtp-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            return "cannot make a temporary folder";
        }
        m_folder = folder;
        const std::string script = m_folder + "/server.py";
        std::ofstream(script) << kScript;
        std::string mailFolder = m_folder + "/mail";
        ::mkdir(mailFolder.c_str(), 0700);

        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
            return "cannot make pipes";
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        std::string highest = std::to_string(highestPort);
        std::string mode = !secure ? "plain" : secure->startTls ? "starttls" : "tls";
        std::string only = secure && secure->loginOnly ? "login" : "any";
        Secure none;
        const Secure& s = secure ? *secure : none;
        std::string certificate = s.certificate, key = s.key, user = s.user, pass = s.password;
        char* argv[] = {const_cast<char*>(python()),
                        const_cast<char*>(script.c_str()),
                        mailFolder.data(),
                        highest.data(),
                        mode.data(),
                        certificate.data(),
                        key.data(),
                        user.data(),
                        pass.data(),
                        only.data(),
                        nullptr};
        const int rc = ::posix_spawnp(&m_pid, python(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_stdin = toChild[1];
        if (rc != 0) {
            m_pid = 0;
            ::close(fromChild[0]);
            return std::string("cannot start ") + python();
        }
        // Its stdin stays open for its whole life: closing it ends the server.
        std::string line;
        while (line.find('\n') == std::string::npos) {
            pollfd entry{fromChild[0], POLLIN, 0};
            char chunk[256];
            ssize_t got = 0;
            if (::poll(&entry, 1, 20000) <= 0 ||
                (got = ::read(fromChild[0], chunk, sizeof chunk)) <= 0) {
                ::close(fromChild[0]);
                return "aiosmtpd did not start (is python3-aiosmtpd installed?)";
            }
            line.append(chunk, static_cast<std::size_t>(got));
        }
        ::close(fromChild[0]);
        if (line.rfind("READY ", 0) != 0) {
            return "aiosmtpd did not start: " + line;
        }
        m_port = std::atoi(line.c_str() + 6);
        return {};
    }

    int port() const { return m_port; }

    /// The n-th message received (1-based), empty texts when there is none.
    Received received(int n) const {
        const std::string base = m_folder + "/mail/" + std::to_string(n);
        return {readFile(base + ".env"), readFile(base + ".eml")};
    }

    void stop() {
        if (m_stdin >= 0) {
            ::close(m_stdin);
            m_stdin = -1;
        }
        if (m_pid > 0) {
            int status = 0;
            for (int i = 0; i < 100 && ::waitpid(m_pid, &status, WNOHANG) == 0; ++i) {
                ::usleep(50000);
            }
            if (::waitpid(m_pid, &status, WNOHANG) == 0) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
            }
            m_pid = 0;
        }
        if (!m_folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_folder, ignored);
            m_folder.clear();
        }
        m_port = 0;
    }

private:
    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static constexpr const char* kScript = R"PY(
import os, random, socket, sys
from aiosmtpd.controller import Controller

folder = sys.argv[1]
highest = int(sys.argv[2])

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

def free_port():
    while True:
        probe = socket.socket()
        try:
            probe.bind(('127.0.0.1', 0 if highest >= 65535 else random.randint(10000, highest)))
            return probe.getsockname()[1]
        except OSError:
            pass
        finally:
            probe.close()

options = {}
mode = sys.argv[3] if len(sys.argv) > 3 else 'plain'
if mode != 'plain':
    import logging, ssl, warnings
    # Its warnings about the test's own choices would only clutter the test's output.
    warnings.simplefilter('ignore')
    logging.disable(logging.WARNING)
    from aiosmtpd.smtp import AuthResult
    certificate, key, user, password, only = sys.argv[4:9]
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(certificate, key)
    def authenticator(server, session, envelope, mechanism, data):
        ok = data.login == user.encode() and data.password == password.encode()
        return AuthResult(success=ok, handled=False)
    # aiosmtpd counts only STARTTLS as TLS for auth_require_tls: on TLS from the first byte it
    # would offer no AUTH at all.
    options = dict(authenticator=authenticator, auth_required=True,
                   auth_require_tls=mode == 'starttls')
    if only == 'login':
        options['auth_exclude_mechanism'] = ['PLAIN']
    if mode == 'starttls':
        options.update(tls_context=context, require_starttls=True)
    else:
        options['ssl_context'] = context

port = free_port()
controller = Controller(Saver(), hostname='127.0.0.1', port=port, **options)
controller.start()
print('READY', port, flush=True)
sys.stdin.read()
controller.stop()
)PY";

    std::string m_folder;
    pid_t m_pid = 0;
    int m_stdin = -1;
    int m_port = 0;
};

} // namespace tw::test
