#pragma once

// A keep-alive HTTP/1.1 server on 127.0.0.1 that counts the connections it accepted and the
// requests it answered, and can drop connections without a word, the ways real servers do.

#include "support/LocalSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tw::test {

class CountingHttpServer {
public:
    /// The whole response (status line, headers, body) to one request (headers and body).
    using Handler = std::function<std::string(const std::string& request)>;

    enum class Closing {
        /// Keeps a connection until the client closes it.
        Never,
        /// Closes each connection right after its first response, without "Connection: close".
        AfterEachResponse,
        /// Closes a connection that has been idle for idleMs, without a word.
        WhenIdle,
    };

    explicit CountingHttpServer(Handler handler, Closing closing = Closing::Never, int idleMs = 100)
        : m_handler(std::move(handler)), m_closing(closing), m_idleMs(idleMs) {
        m_listen = listenLocal(m_port, 64);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }
    ~CountingHttpServer() {
        m_stopping = true;
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_acceptor.join();
        {
            std::lock_guard lock(m_mutex);
            for (const int fd : m_open) {
                ::shutdown(fd, SHUT_RDWR);
            }
        }
        for (std::thread& thread : m_connections) {
            thread.join();
        }
    }
    CountingHttpServer(const CountingHttpServer&) = delete;
    CountingHttpServer& operator=(const CountingHttpServer&) = delete;

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    int connections() const { return m_accepted; }
    int closedByServer() const {
        std::lock_guard lock(m_mutex);
        return m_closedByServer;
    }
    std::vector<std::string> requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    /// Waits (at most ten seconds) until the server has closed `count` connections itself.
    bool waitClosedByServer(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return m_closedByServer >= count; });
    }

    /// A 200 response with that body and extra header lines (each ending in CR LF).
    static std::string ok(const std::string& body, const std::string& headers = {}) {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body;
    }

private:
    void acceptLoop() {
        for (;;) {
            const int client = ::accept(m_listen, nullptr, nullptr);
            if (client < 0) {
                return;
            }
            std::lock_guard lock(m_mutex);
            if (m_stopping) {
                ::close(client);
                return;
            }
            ++m_accepted;
            m_open.push_back(client);
            m_connections.emplace_back([this, client] { serve(client); });
        }
    }

    void serve(int client) {
        std::string pending;
        bool answered = false;
        for (;;) {
            const int waitMs = m_closing == Closing::WhenIdle && answered ? m_idleMs : 10000;
            timeval timeout{waitMs / 1000, (waitMs % 1000) * 1000};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            const std::string request = readRequest(client, pending);
            if (request.empty()) {
                break;
            }
            const std::string response = m_handler(request);
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
            }
            sendAll(client, response);
            answered = true;
            if (m_closing == Closing::AfterEachResponse) {
                break;
            }
        }
        const bool byServer = !m_stopping;
        {
            std::lock_guard lock(m_mutex);
            std::erase(m_open, client);
            ::close(client);
            if (byServer) {
                ++m_closedByServer;
            }
        }
        m_changed.notify_all();
    }

    /// The next request on the connection; empty when the client closed it or it stayed idle.
    static std::string readRequest(int fd, std::string& pending) {
        char buffer[4096];
        for (;;) {
            const auto end = pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::size_t length = 0;
                const auto at = pending.find("\r\nContent-Length: ");
                if (at != std::string::npos && at < end) {
                    length = std::strtoul(pending.c_str() + at + 18, nullptr, 10);
                }
                if (pending.size() >= end + 4 + length) {
                    std::string request = pending.substr(0, end + 4 + length);
                    pending.erase(0, end + 4 + length);
                    return request;
                }
            }
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return {};
            }
            pending.append(buffer, static_cast<std::size_t>(n));
        }
    }

    static void sendAll(int fd, const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    Handler m_handler;
    Closing m_closing;
    int m_idleMs;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_accepted{0};
    int m_closedByServer = 0;
    std::thread m_acceptor;
    std::vector<std::thread> m_connections;
    std::vector<int> m_open;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_requests;
};

} // namespace tw::test
