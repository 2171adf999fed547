#include "core/net/TcpClient.h"

#include "core/util/CancelSignal.h"

#include <algorithm>
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

enum class Wait { Ready, TimedOut, Failed, Cancelled };

/// Waits for `events` on `fd` until `deadline`, or until `cancel` (may be null) is raised.
Wait waitFor(int fd, short events, SteadyClock::time_point deadline, const CancelSignal* cancel) {
    for (;;) {
        if (cancel && cancel->raised()) {
            return Wait::Cancelled;
        }
        // poll() passes over an entry whose descriptor is negative.
        pollfd entries[2] = {{fd, events, 0}, {cancel ? cancel->fd() : -1, POLLIN, 0}};
        int timeout = remainingMs(deadline);
        if (cancel && cancel->fd() < 0) {
            timeout = std::min(timeout, CancelSignal::kFallbackSliceMs);
        }
        const int ready = ::poll(entries, 2, timeout);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return Wait::Failed;
        }
        if (cancel && cancel->raised()) {
            return Wait::Cancelled;
        }
        if (entries[0].revents != 0) {
            return Wait::Ready;
        }
        if (remainingMs(deadline) == 0) {
            return Wait::TimedOut;
        }
    }
}

} // namespace

CTcpClient::~CTcpClient() {
    close();
}

bool CTcpClient::cancelled() const {
    return m_cancel && m_cancel->raised();
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
    if (cancelled()) {
        return ConnectResult::Cancelled;
    }

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
    if (cancelled()) {
        ::freeaddrinfo(found);
        return ConnectResult::Cancelled;
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
            const Wait ready = waitFor(fd, POLLOUT, deadline, m_cancel);
            if (ready == Wait::TimedOut || ready == Wait::Cancelled) {
                ::close(fd);
                result =
                    ready == Wait::Cancelled ? ConnectResult::Cancelled : ConnectResult::TimedOut;
                break;
            }
            int error = 0;
            socklen_t length = sizeof error;
            rc = (ready == Wait::Ready &&
                  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
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
    while (m_fd >= 0 && !data.empty() && !cancelled()) {
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
            if (waitFor(m_fd, POLLOUT, deadline, m_cancel) == Wait::Ready) {
                continue;
            }
        }
        return false;
    }
    return m_fd >= 0 && data.empty();
}

CTcpClient::ReceiveResult CTcpClient::receive(std::string& out, std::size_t maxBytes,
                                              int timeoutMs) {
    if (m_fd < 0) {
        return ReceiveResult::Failed;
    }
    if (cancelled()) {
        return ReceiveResult::Cancelled;
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
        switch (waitFor(m_fd, POLLIN, deadline, m_cancel)) {
        case Wait::Ready:
            break;
        case Wait::TimedOut:
            return ReceiveResult::TimedOut;
        case Wait::Failed:
            return ReceiveResult::Failed;
        case Wait::Cancelled:
            return ReceiveResult::Cancelled;
        }
    }
}

} // namespace tw
