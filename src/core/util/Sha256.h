#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tw {

/// SHA-256 (FIPS 180-4) of bytes fed in pieces. The program's own: it only tells whether a file
/// still holds what was read from it, and a crypto library for that would be loaded at start-up
/// by every window that never needs one.
class Sha256 {
public:
    using Digest = std::array<unsigned char, 32>;

    Sha256();
    void add(std::string_view bytes);
    /// The digest of everything added; the object is spent afterwards.
    Digest digest();

private:
    void compress(const unsigned char* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<unsigned char, 64> m_block{};
    std::size_t m_blockUsed = 0;
    std::uint64_t m_length = 0;
};

} // namespace tw
