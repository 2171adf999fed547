#pragma once

// libssl, opened on the first encrypted mail rather than linked: the idle window never loads a
// TLS library. Only the functions the mail client needs, bound by name.

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

namespace tw {

struct OpenSsl {
    decltype(&::TLS_client_method) clientMethod = nullptr;
    decltype(&::SSL_CTX_new) contextNew = nullptr;
    decltype(&::SSL_CTX_free) contextFree = nullptr;
    decltype(&::SSL_CTX_ctrl) contextCtrl = nullptr;
    decltype(&::SSL_CTX_set_verify) contextSetVerify = nullptr;
    decltype(&::SSL_CTX_set_default_verify_paths) contextDefaultPaths = nullptr;
    decltype(&::SSL_CTX_load_verify_locations) contextLoadFile = nullptr;
    decltype(&::SSL_new) sslNew = nullptr;
    decltype(&::SSL_free) sslFree = nullptr;
    decltype(&::SSL_ctrl) sslCtrl = nullptr;
    decltype(&::SSL_set_fd) setFd = nullptr;
    decltype(&::SSL_set1_host) setHost = nullptr;
    decltype(&::SSL_connect) connect = nullptr;
    decltype(&::SSL_read) read = nullptr;
    decltype(&::SSL_write) write = nullptr;
    decltype(&::SSL_shutdown) shutdown = nullptr;
    decltype(&::SSL_get_error) getError = nullptr;
    decltype(&::SSL_get_verify_result) verifyResult = nullptr;
    // From libcrypto, which libssl brings along.
    decltype(&::X509_verify_cert_error_string) verifyErrorText = nullptr;
    decltype(&::ERR_get_error) errGet = nullptr;
    decltype(&::ERR_clear_error) errClear = nullptr;
    decltype(&::ERR_reason_error_string) errReason = nullptr;

    /// The loaded library, or null when it or one of its functions is missing.
    static const OpenSsl* get();
    /// The library's file name, for the failure text.
    static const char* soname();
    /// The reason of the thread's last library error ("" when none), clearing the queue.
    std::string lastErrorText() const;
};

} // namespace tw
