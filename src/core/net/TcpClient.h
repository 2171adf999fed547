#pragma once

#include <string>
#include <string_view>

namespace tw {

class CancelSignal;

/// A blocking TCP client over POSIX sockets whose connect and reads are bounded by time-outs,
/// so that a dead or silent server never holds the caller for ever, and end at once when the
/// cancel signal is raised. Used by one thread at a time; the socket is closed by close() or the
/// destructor.
class CTcpClient {
public:
    enum class ConnectResult { Connected, SocketFailed, Failed, TimedOut, Cancelled };
    enum class ReceiveResult { Data, Closed, TimedOut, Failed, Cancelled };

    CTcpClient() = default;
    CTcpClient(const CTcpClient&) = delete;
    CTcpClient& operator=(const CTcpClient&) = delete;
    ~CTcpClient();

    /// Every wait from now on also ends when `cancel` is raised (null: none); it must outlive
    /// the client's use. Resolving a host name is not a wait: it runs to its own end.
    void setCancel(const CancelSignal* cancel) { m_cancel = cancel; }
    bool cancelled() const;

    /// Resolves `host` and connects to the first address that answers within `timeoutMs` in all.
    /// A host name that cannot be resolved counts as Failed.
    ConnectResult connect(const std::string& host, int port, int timeoutMs);
    /// Writes all of `data`, waiting at most `timeoutMs` each time the peer does not take more;
    /// false when the connection broke or stalled, or on cancel. Never raises SIGPIPE.
    bool send(std::string_view data, int timeoutMs);
    /// Appends what arrives next (at most `maxBytes`), waiting at most `timeoutMs` for it.
    ReceiveResult receive(std::string& out, std::size_t maxBytes, int timeoutMs);
    void close();
    bool isOpen() const { return m_fd >= 0; }

private:
    int m_fd = -1;
    const CancelSignal* m_cancel = nullptr;
};

} // namespace tw
