#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

/// SHA-256 of bytes fed in pieces, by libcrypto, which is opened at the first digest rather
/// than linked: a window that never reads a link list does not load it at start-up.
class Sha256 {
public:
    using Digest = std::array<unsigned char, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(std::string_view bytes);
    /// The digest of everything added; none when libcrypto could not be opened (a caller then
    /// knows nothing about the bytes). The object is spent afterwards.
    std::optional<Digest> digest();
    /// The digest as 64 lowercase hexadecimal digits.
    static std::string hex(const Digest& digest);

private:
    void* m_context = nullptr;
};

} // namespace tw
