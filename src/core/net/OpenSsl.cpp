#include "core/net/OpenSsl.h"

#include "core/platform/SharedLibrary.h"

#include <type_traits>

#ifndef TARNWICK_SSL_SONAME
#define TARNWICK_SSL_SONAME "libssl.so.3"
#endif
#ifndef TARNWICK_CRYPTO_SONAME
#define TARNWICK_CRYPTO_SONAME "libcrypto.so.3"
#endif

namespace tw {

namespace {

struct Loaded {
    SharedLibrary ssl{TARNWICK_SSL_SONAME};
    SharedLibrary crypto{TARNWICK_CRYPTO_SONAME};
    OpenSsl functions;
    bool complete = false;

    Loaded() {
        bool found = true;
        const auto bind = [&](SharedLibrary& library, auto& slot, const char* name) {
            slot = library.symbol<std::remove_reference_t<decltype(slot)>>(name);
            found = found && slot != nullptr;
        };
        OpenSsl& f = functions;
        bind(ssl, f.clientMethod, "TLS_client_method");
        bind(ssl, f.contextNew, "SSL_CTX_new");
        bind(ssl, f.contextFree, "SSL_CTX_free");
        bind(ssl, f.contextCtrl, "SSL_CTX_ctrl");
        bind(ssl, f.contextSetVerify, "SSL_CTX_set_verify");
        bind(ssl, f.contextDefaultPaths, "SSL_CTX_set_default_verify_paths");
        bind(ssl, f.contextLoadFile, "SSL_CTX_load_verify_locations");
        bind(ssl, f.sslNew, "SSL_new");
        bind(ssl, f.sslFree, "SSL_free");
        bind(ssl, f.sslCtrl, "SSL_ctrl");
        bind(ssl, f.setFd, "SSL_set_fd");
        bind(ssl, f.setHost, "SSL_set1_host");
        bind(ssl, f.connect, "SSL_connect");
        bind(ssl, f.read, "SSL_read");
        bind(ssl, f.write, "SSL_write");
        bind(ssl, f.shutdown, "SSL_shutdown");
        bind(ssl, f.getError, "SSL_get_error");
        bind(ssl, f.verifyResult, "SSL_get_verify_result");
        bind(crypto, f.verifyErrorText, "X509_verify_cert_error_string");
        bind(crypto, f.errGet, "ERR_get_error");
        bind(crypto, f.errClear, "ERR_clear_error");
        bind(crypto, f.errReason, "ERR_reason_error_string");
        complete = found;
    }
};

} // namespace

const OpenSsl* OpenSsl::get() {
    static const Loaded loaded;
    return loaded.complete ? &loaded.functions : nullptr;
}

const char* OpenSsl::soname() {
    return TARNWICK_SSL_SONAME;
}

std::string OpenSsl::lastErrorText() const {
    std::string text;
    for (unsigned long code; (code = errGet()) != 0;) {
        if (const char* reason = errReason(code)) {
            text = reason; // the last one is the closest to the failure
        }
    }
    return text;
}

} // namespace tw
