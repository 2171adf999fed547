#include "core/net/TcpClient.h"

#include "core/net/OpenSsl.h"
#include "core/util/CancelSignal.h"
#include "core/util/SystemPath.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
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

/// libssl writes to the socket with write(), which raises SIGPIPE on a connection the server has
/// closed: held back on this thread while the library runs, and a pending one taken away.
class PipeSignalHold {
public:
    PipeSignalHold() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &m_old);
    }
    ~PipeSignalHold() {
        sigset_t pending;
        sigpending(&pending);
        if (!m_wasPending && sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec none{0, 0};
            sigtimedwait(&pipe, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    PipeSignalHold(const PipeSignalHold&) = delete;
    PipeSignalHold& operator=(const PipeSignalHold&) = delete;

private:
    sigset_t m_old{};
    bool m_wasPending = false;
};

/// The events libssl waits for after `rc`; 0 when it failed instead.
short wantedEvents(const OpenSsl& ssl, ssl_st* session, int rc) {
    switch (ssl.getError(session, rc)) {
    case SSL_ERROR_WANT_READ:
        return POLLIN;
    case SSL_ERROR_WANT_WRITE:
        return POLLOUT;
    default:
        return 0;
    }
}

bool isAddress(const std::string& host) {
    unsigned char address[16];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

} // namespace

CTcpClient::~CTcpClient() {
    close();
}

bool CTcpClient::cancelled() const {
    return m_cancel && m_cancel->raised();
}

void CTcpClient::close() {
    if (m_ssl) {
        const OpenSsl* ssl = OpenSsl::get();
        {
            // One attempt at a clean end; a socket that would block is simply closed.
            PipeSignalHold hold;
            ssl->shutdown(m_ssl);
            ssl->errClear();
        }
        ssl->sslFree(m_ssl);
        m_ssl = nullptr;
    }
    if (m_context) {
        OpenSsl::get()->contextFree(m_context);
        m_context = nullptr;
    }
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
    if (m_ssl) {
        return sendTls(data, timeoutMs);
    }
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
    if (m_ssl) {
        return receiveTls(out, maxBytes, timeoutMs);
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

CTcpClient::TlsOutcome CTcpClient::startTls(const std::string& host, const std::string& caFile,
                                            int timeoutMs) {
    TlsOutcome outcome = handshake(host, caFile, timeoutMs);
    if (outcome.result != TlsResult::Ready) {
        // No clean end of a session that never began: the caller closes the socket.
        const OpenSsl* ssl = OpenSsl::get();
        if (m_ssl) {
            ssl->sslFree(m_ssl);
            m_ssl = nullptr;
        }
        if (m_context) {
            ssl->contextFree(m_context);
            m_context = nullptr;
        }
    }
    return outcome;
}

CTcpClient::TlsOutcome CTcpClient::handshake(const std::string& host, const std::string& caFile,
                                             int timeoutMs) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    if (m_fd < 0 || m_ssl) {
        return {TlsResult::Failed, {}};
    }
    if (cancelled()) {
        return {TlsResult::Cancelled, {}};
    }
    const OpenSsl* ssl = OpenSsl::get();
    if (!ssl) {
        return {TlsResult::NoLibrary, OpenSsl::soname()};
    }
    ssl->errClear();
    m_context = ssl->contextNew(ssl->clientMethod());
    if (!m_context) {
        return {TlsResult::Failed, ssl->lastErrorText()};
    }
    ssl->contextCtrl(m_context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    ssl->contextSetVerify(m_context, SSL_VERIFY_PEER, nullptr);
    ssl->contextDefaultPaths(m_context);
    if (!caFile.empty() &&
        ssl->contextLoadFile(m_context, systemPath(caFile).c_str(), nullptr) != 1) {
        ssl->errClear();
        return {TlsResult::BadCaFile, {}};
    }
    m_ssl = ssl->sslNew(m_context);
    if (!m_ssl || ssl->setFd(m_ssl, m_fd) != 1 || ssl->setHost(m_ssl, host.c_str()) != 1) {
        return {TlsResult::Failed, ssl->lastErrorText()};
    }
    if (!isAddress(host)) {
        // The server name for servers that hold certificates of several names.
        ssl->sslCtrl(m_ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(host.c_str()));
    }
    for (;;) {
        int rc = 0;
        {
            PipeSignalHold hold;
            rc = ssl->connect(m_ssl);
        }
        if (rc == 1) {
            return {TlsResult::Ready, {}};
        }
        const short events = wantedEvents(*ssl, m_ssl, rc);
        if (events == 0) {
            const long verified = ssl->verifyResult(m_ssl);
            if (verified != X509_V_OK) {
                ssl->errClear();
                return {TlsResult::Untrusted, ssl->verifyErrorText(verified)};
            }
            return {TlsResult::Failed, ssl->lastErrorText()};
        }
        switch (waitFor(m_fd, events, deadline, m_cancel)) {
        case Wait::Ready:
            break;
        case Wait::TimedOut:
            return {TlsResult::TimedOut, {}};
        case Wait::Failed:
            return {TlsResult::Failed, {}};
        case Wait::Cancelled:
            return {TlsResult::Cancelled, {}};
        }
    }
}

bool CTcpClient::sendTls(std::string_view data, int timeoutMs) {
    const OpenSsl* ssl = OpenSsl::get();
    while (m_fd >= 0 && !data.empty() && !cancelled()) {
        ssl->errClear();
        const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20));
        int rc = 0;
        {
            PipeSignalHold hold;
            rc = ssl->write(m_ssl, data.data(), chunk);
        }
        if (rc > 0) {
            data.remove_prefix(static_cast<std::size_t>(rc));
            continue;
        }
        // A write that would block is repeated with the same bytes once the socket takes more.
        const short events = wantedEvents(*ssl, m_ssl, rc);
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        if (events == 0 || waitFor(m_fd, events, deadline, m_cancel) != Wait::Ready) {
            ssl->errClear();
            return false;
        }
    }
    return m_fd >= 0 && data.empty();
}

CTcpClient::ReceiveResult CTcpClient::receiveTls(std::string& out, std::size_t maxBytes,
                                                 int timeoutMs) {
    const OpenSsl* ssl = OpenSsl::get();
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    const int wanted = static_cast<int>(maxBytes < sizeof buffer ? maxBytes : sizeof buffer);
    for (;;) {
        ssl->errClear();
        int got = 0;
        {
            PipeSignalHold hold;
            got = ssl->read(m_ssl, buffer, wanted);
        }
        if (got > 0) {
            out.append(buffer, static_cast<std::size_t>(got));
            return ReceiveResult::Data;
        }
        if (ssl->getError(m_ssl, got) == SSL_ERROR_ZERO_RETURN) {
            return ReceiveResult::Closed;
        }
        const short events = wantedEvents(*ssl, m_ssl, got);
        if (events == 0) {
            ssl->errClear();
            return ReceiveResult::Failed;
        }
        switch (waitFor(m_fd, events, deadline, m_cancel)) {
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
