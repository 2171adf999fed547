#pragma once

namespace tw {

struct CurlFunctions;

/// The connections, TLS sessions and resolved host names of one thread that fetches again and
/// again: one libcurl multi handle and one easy handle, kept from one request to the next, so
/// that consecutive requests to a host reuse its open connection instead of connecting (and
/// negotiating TLS, and resolving its name) anew. Nothing of a request stays in it: every
/// request sets all its options afresh (HttpExchange). libcurl reuses a connection only for a
/// request that matches it in what matters for security (host, port, proxy, TLS settings such
/// as the certificate file); Basic credentials travel in each request, not in the connection.
///
/// Owned by whoever fetches repeatedly on one thread (the checker's worker); used by one
/// request at a time, on that thread only. Opening it costs nothing until the first request.
class HttpConnections {
public:
    /// Idle connections kept open at most: a round over items of a few hosts interleaved
    /// keeps one connection for each; the least recently used one is closed beyond that.
    static constexpr long kMaxIdleConnections = 16;

    HttpConnections() = default;
    ~HttpConnections();
    HttpConnections(const HttpConnections&) = delete;
    HttpConnections& operator=(const HttpConnections&) = delete;

    /// Made on first use; false when libcurl could not be opened or made no handles.
    bool open();
    void* easy() const { return m_easy; }
    void* multi() const { return m_multi; }

private:
    const CurlFunctions* m_curl = nullptr;
    void* m_easy = nullptr;
    void* m_multi = nullptr;
};

} // namespace tw
