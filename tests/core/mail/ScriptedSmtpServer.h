#pragma once

// An SMTP server for tests that answers from a script: a listening socket on 127.0.0.1 served by
// its own thread, for one connection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tw::test {

class ScriptedSmtpServer {
public:
    static inline const std::string kHangUp = "<hang up>";

    /// `replies[0]` is the greeting; each later one answers the next command line (the message
    /// after a "354" counts as one command, ending with its "." line). An empty reply means
    /// staying silent from then on, kHangUp closing the connection. Every reply is sent as given,
    /// so it carries its own CR LF.
    explicit ScriptedSmtpServer(std::vector<std::string> replies) : m_replies(std::move(replies)) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 1);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    ~ScriptedSmtpServer() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        ::close(m_listener);
    }

    int port() const { return m_port; }

    /// The command lines received, without their CR LF; a message is one entry holding all its
    /// bytes up to and including the "." line. Waits until the client has hung up.
    std::vector<std::string> received() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        std::lock_guard lock(m_mutex);
        return m_received;
    }

    bool accepted() {
        std::lock_guard lock(m_mutex);
        return m_accepted;
    }

    /// The client closed the connection (the server read its end), rather than the server
    /// hanging up or giving up waiting. Waits until the serving thread has ended.
    bool clientClosed() {
        received();
        std::lock_guard lock(m_mutex);
        return m_clientClosed;
    }

private:
    /// Waits for `fd` to become readable; false when the test is over or after 10 s.
    bool waitReadable(int fd) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!m_stop && std::chrono::steady_clock::now() < giveUp) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) > 0) {
                return true;
            }
        }
        return false;
    }

    void serve() {
        if (!waitReadable(m_listener)) {
            return;
        }
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        {
            std::lock_guard lock(m_mutex);
            m_accepted = true;
        }
        std::size_t next = 0;
        bool silent = false;
        bool hungUp = false;
        auto answer = [&] {
            if (silent || next >= m_replies.size() || m_replies[next].empty()) {
                silent = true;
                return;
            }
            if (m_replies[next] == kHangUp) {
                hungUp = true;
                return;
            }
            ::send(fd, m_replies[next].data(), m_replies[next].size(), MSG_NOSIGNAL);
            ++next;
        };
        answer();
        std::string buffer;
        bool inData = false;
        while (!hungUp && waitReadable(fd)) {
            char chunk[4096];
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) {
                std::lock_guard lock(m_mutex);
                m_clientClosed = got == 0;
                break;
            }
            buffer.append(chunk, static_cast<std::size_t>(got));
            while (!hungUp) {
                std::size_t end;
                if (inData) {
                    end = buffer.find("\r\n.\r\n");
                    if (end == std::string::npos) {
                        break;
                    }
                    end += 5;
                } else {
                    end = buffer.find("\r\n");
                    if (end == std::string::npos) {
                        break;
                    }
                    end += 2;
                }
                std::string unit = buffer.substr(0, end);
                buffer.erase(0, end);
                if (!inData) {
                    unit.resize(unit.size() - 2);
                }
                {
                    std::lock_guard lock(m_mutex);
                    m_received.push_back(unit);
                }
                const bool startsData =
                    !silent && next < m_replies.size() && m_replies[next].rfind("354", 0) == 0;
                inData = false;
                answer();
                inData = startsData;
            }
        }
        ::close(fd);
    }

    std::vector<std::string> m_replies;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_received;
    bool m_accepted = false;
    bool m_clientClosed = false;
    std::thread m_thread;
};

} // namespace tw::test
