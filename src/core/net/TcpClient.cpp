#include "core/net/TcpClient.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw {

namespace {

using SteadyClock = std::chrono::steady_clock;

int remainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

/// Waits for `events` on `fd` until `deadline`; 1 ready, 0 timed out, -1 error.
int waitFor(int fd, short events, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return ready;
        }
        return 1;
    }
}

} // namespace

CTcpClient::~CTcpClient() {
    close();
}

void CTcpClient::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

CTcpClient::ConnectResult CTcpClient::connect(const std::string& host, int port, int timeoutMs) {
    close();
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (port <= 0 || port > 65535 || host.empty() ||
        ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
        return ConnectResult::Failed;
    }

    ConnectResult result = ConnectResult::Failed;
    bool anySocket = false;
    for (addrinfo* address = found; address; address = address->ai_next) {
        const int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                     address->ai_protocol);
        if (fd < 0) {
            continue;
        }
        anySocket = true;
        int rc = ::connect(fd, address->ai_addr, address->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            const int ready = waitFor(fd, POLLOUT, deadline);
            if (ready == 0) {
                ::close(fd);
                result = ConnectResult::TimedOut;
                break;
            }
            int error = 0;
            socklen_t length = sizeof error;
            rc = (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                  error == 0)
                     ? 0
                     : -1;
        }
        if (rc == 0) {
            m_fd = fd;
            result = ConnectResult::Connected;
            break;
        }
        ::close(fd);
        if (remainingMs(deadline) == 0) {
            result = ConnectResult::TimedOut;
            break;
        }
    }
    ::freeaddrinfo(found);
    if (result == ConnectResult::Failed && !anySocket) {
        result = ConnectResult::SocketFailed;
    }
    return result;
}

bool CTcpClient::send(std::string_view data, int timeoutMs) {
    while (m_fd >= 0 && !data.empty()) {
        const ssize_t sent = ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
            if (waitFor(m_fd, POLLOUT, deadline) > 0) {
                continue;
            }
        }
        return false;
    }
    return m_fd >= 0;
}

CTcpClient::ReceiveResult CTcpClient::receive(std::string& out, std::size_t maxBytes,
                                              int timeoutMs) {
    if (m_fd < 0) {
        return ReceiveResult::Failed;
    }
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    const std::size_t wanted = maxBytes < sizeof buffer ? maxBytes : sizeof buffer;
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer, wanted, 0);
        if (got > 0) {
            out.append(buffer, static_cast<std::size_t>(got));
            return ReceiveResult::Data;
        }
        if (got == 0) {
            return ReceiveResult::Closed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return ReceiveResult::Failed;
        }
        const int ready = waitFor(m_fd, POLLIN, deadline);
        if (ready == 0) {
            return ReceiveResult::TimedOut;
        }
        if (ready < 0) {
            return ReceiveResult::Failed;
        }
    }
}

} // namespace tw
