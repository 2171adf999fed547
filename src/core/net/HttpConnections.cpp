#include "core/net/HttpConnections.h"

#include "core/net/CurlLibrary.h"

namespace tw {

bool HttpConnections::open() {
    if (m_easy && m_multi) {
        return true;
    }
    m_curl = curlLibrary();
    if (!m_curl) {
        return false;
    }
    if (!m_multi) {
        m_multi = m_curl->multiInit();
        if (m_multi) {
            m_curl->multiSetopt(static_cast<CURLM*>(m_multi), CURLMOPT_MAXCONNECTS,
                                kMaxIdleConnections);
        }
    }
    if (!m_easy) {
        m_easy = m_curl->easyInit();
    }
    return m_easy && m_multi;
}

HttpConnections::~HttpConnections() {
    if (m_multi) {
        m_curl->multiCleanup(static_cast<CURLM*>(m_multi));
    }
    if (m_easy) {
        m_curl->easyCleanup(static_cast<CURL*>(m_easy));
    }
}

} // namespace tw
