#pragma once

#include <string>
#include <string_view>

struct ssl_st;
struct ssl_ctx_st;

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
    enum class TlsResult { Ready, NoLibrary, BadCaFile, Untrusted, Failed, TimedOut, Cancelled };
    struct TlsOutcome {
        TlsResult result = TlsResult::Failed;
        /// The library's reason (English) for Untrusted and Failed; may be empty.
        std::string reason;
    };

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
    /// Runs the TLS handshake on the connected socket, within `timeoutMs` in all; from then on
    /// send() and receive() go through TLS. The server's certificate must chain to the system's
    /// trust store or to `caFile` (a PEM file, code page 932 path; empty: none) and name `host`.
    /// libssl is opened by the first call.
    TlsOutcome startTls(const std::string& host, const std::string& caFile, int timeoutMs);
    bool isTls() const { return m_ssl != nullptr; }
    void close();
    bool isOpen() const { return m_fd >= 0; }

private:
    TlsOutcome handshake(const std::string& host, const std::string& caFile, int timeoutMs);
    bool sendTls(std::string_view data, int timeoutMs);
    ReceiveResult receiveTls(std::string& out, std::size_t maxBytes, int timeoutMs);

    int m_fd = -1;
    ssl_ctx_st* m_context = nullptr;
    ssl_st* m_ssl = nullptr;
    const CancelSignal* m_cancel = nullptr;
};

} // namespace tw
