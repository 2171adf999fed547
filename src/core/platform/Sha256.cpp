#include "core/platform/Sha256.h"

#include "core/platform/SharedLibrary.h"

#include <openssl/evp.h>

#ifndef TARNWICK_CRYPTO_SONAME
#define TARNWICK_CRYPTO_SONAME "libcrypto.so.3"
#endif

namespace tw {

namespace {

struct Crypto {
    SharedLibrary library{TARNWICK_CRYPTO_SONAME};
    decltype(&::EVP_MD_CTX_new) contextNew = nullptr;
    decltype(&::EVP_MD_CTX_free) contextFree = nullptr;
    decltype(&::EVP_sha256) sha256 = nullptr;
    decltype(&::EVP_DigestInit_ex) init = nullptr;
    decltype(&::EVP_DigestUpdate) update = nullptr;
    decltype(&::EVP_DigestFinal_ex) final = nullptr;
    bool complete = false;

    Crypto() {
        bool found = true;
        const auto bind = [&](auto& slot, const char* name) {
            slot = library.symbol<std::remove_reference_t<decltype(slot)>>(name);
            found = found && slot != nullptr;
        };
        bind(contextNew, "EVP_MD_CTX_new");
        bind(contextFree, "EVP_MD_CTX_free");
        bind(sha256, "EVP_sha256");
        bind(init, "EVP_DigestInit_ex");
        bind(update, "EVP_DigestUpdate");
        bind(final, "EVP_DigestFinal_ex");
        complete = found;
    }
};

const Crypto* crypto() {
    static const Crypto loaded;
    return loaded.complete ? &loaded : nullptr;
}

EVP_MD_CTX* contextOf(void* context) {
    return static_cast<EVP_MD_CTX*>(context);
}

} // namespace

Sha256::Sha256() {
    if (const Crypto* c = crypto()) {
        EVP_MD_CTX* context = c->contextNew();
        if (context && c->init(context, c->sha256(), nullptr) == 1) {
            m_context = context;
        } else if (context) {
            c->contextFree(context);
        }
    }
}

Sha256::~Sha256() {
    if (m_context) {
        crypto()->contextFree(contextOf(m_context));
    }
}

void Sha256::add(std::string_view bytes) {
    if (m_context && crypto()->update(contextOf(m_context), bytes.data(), bytes.size()) != 1) {
        crypto()->contextFree(contextOf(m_context));
        m_context = nullptr;
    }
}

std::string Sha256::hex(const Digest& digest) {
    static const char* const kDigits = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::optional<Sha256::Digest> Sha256::digest() {
    if (!m_context) {
        return std::nullopt;
    }
    Digest digest{};
    unsigned int length = 0;
    const bool done = crypto()->final(contextOf(m_context), digest.data(), &length) == 1 &&
                      length == digest.size();
    crypto()->contextFree(contextOf(m_context));
    m_context = nullptr;
    return done ? std::optional<Digest>(digest) : std::nullopt;
}

} // namespace tw
