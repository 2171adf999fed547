#pragma once

// Helpers of the fetch tests: a temporary folder, file reading, a scriptable raw HTTP server and
// a tinyproxy child process, all on 127.0.0.1.

#include "support/LocalSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tw::test {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tw-fetch-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

inline bool fileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

/// A listening socket on 127.0.0.1 with a port chosen by the system; -1 on failure.
inline bool sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

/// Accepts connections one after another; for each it reads one request (headers and a
/// Content-Length body), records it as received and hands the socket to the test's handler,
/// which writes whatever it likes. `stopping()` tells a handler that waits to give up.
class RawHttpServer {
public:
    using Handler = std::function<void(const std::string& request, int socket)>;

    explicit RawHttpServer(Handler handler) : m_handler(std::move(handler)) {
        m_listen = listenLocal(m_port);
        m_thread = std::thread([this] { run(); });
    }
    ~RawHttpServer() {
        m_stopping = true;
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_thread.join();
    }
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    int port() const { return m_port; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    bool stopping() const { return m_stopping; }
    /// Sleeps up to `ms` in small steps, returning early when the server stops.
    void pause(int ms) const {
        for (int waited = 0; waited < ms && !m_stopping; waited += 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::vector<std::string> requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

private:
    void run() {
        for (;;) {
            const int client = ::accept(m_listen, nullptr, nullptr);
            if (client < 0) {
                return;
            }
            timeval timeout{5, 0};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            const std::string request = readRequest(client);
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
            }
            if (!request.empty()) {
                m_handler(request, client);
            }
            ::close(client);
            if (m_stopping) {
                return;
            }
        }
    }

    static std::string readRequest(int fd) {
        std::string data;
        char buffer[4096];
        std::size_t headerEnd = std::string::npos;
        std::size_t total = 0;
        for (;;) {
            if (headerEnd == std::string::npos) {
                headerEnd = data.find("\r\n\r\n");
                if (headerEnd != std::string::npos) {
                    total = headerEnd + 4 + contentLength(data.substr(0, headerEnd));
                }
            }
            if (headerEnd != std::string::npos && data.size() >= total) {
                return data;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return data;
            }
            data.append(buffer, static_cast<std::size_t>(n));
        }
    }

    static std::size_t contentLength(const std::string& headers) {
        const auto pos = headers.find("\r\nContent-Length: ");
        return pos == std::string::npos ? 0 : std::strtoul(headers.c_str() + pos + 18, nullptr, 10);
    }

    Handler m_handler;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
};

/// tinyproxy in the foreground with a generated configuration; stopped by its process id.
class TinyProxy {
public:
    static constexpr const char* kBinary = "/usr/bin/tinyproxy";

    static bool available() { return ::access(kBinary, X_OK) == 0; }

    explicit TinyProxy(const TempDir& dir) {
        m_port = freeLocalPort();
        const std::string config = dir.file("tinyproxy.conf");
        writeFile(config, "Port " + std::to_string(m_port) +
                              "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Info\n");
        const std::string log = dir.file("tinyproxy.log");
        m_pid = ::fork();
        if (m_pid == 0) {
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::execl(kBinary, kBinary, "-d", "-c", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Ready once it accepts connections.
        for (int i = 0; i < 100 && !accepts(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~TinyProxy() {
        if (m_pid > 0) {
            // A SIGTERM that lands just before tinyproxy's main loop waits is lost on it: it
            // would wait for a connection for ever.
            ::kill(m_pid, SIGTERM);
            int status = 0;
            for (int i = 0; i < 100 && ::waitpid(m_pid, &status, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            if (::waitpid(m_pid, &status, WNOHANG) == 0) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
            }
        }
    }
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
    bool accepts() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(m_port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

private:
    int m_port = 0;
    pid_t m_pid = -1;
};

} // namespace tw::test
