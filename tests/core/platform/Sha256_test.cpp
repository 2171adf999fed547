#include "core/platform/Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

using namespace tw;

namespace {

std::string digestOf(const std::string& bytes) {
    Sha256 sha;
    sha.add(bytes);
    const auto digest = sha.digest();
    return digest ? Sha256::hex(*digest) : "none";
}

} // namespace

// The examples of FIPS 180-4 and its companion test vectors.
TEST(Sha256, KnownDigests) {
    EXPECT_EQ(digestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(
        digestOf("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmno"
                 "pqklmnopqrlmnopqrsmnopqrstnopqrstu"),
        "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(digestOf(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// The padding changes form at 56 bytes into a block, and a block ends at 64: lengths around
// those, fed whole or in uneven pieces, give the digests another implementation gives.
TEST(Sha256, LengthsAroundTheBlockEdgesInPieces) {
    const std::pair<std::size_t, const char*> known[] = {
        {55, "595615dbe4f0f407ae397d08b4c2cb870cb9b0e11937416f950c5160acf9c005"},
        {56, "784f623b787495078e93ff28a25b581df0584055a7e71d8cd90c454716b92f51"},
        {63, "5ca3e1ef5207490eac01a795e5cc94d59582a5118bf9534665c8668d87aa647c"},
        {64, "2fcd5a0d60e4c941381fcc4e00a4bf8be422c3ddfafb93c809e8d1e2bfffae8e"},
        {65, "1b3cd1877ab2f2f19f7be001722554f336cb799df0329de0bb4c118dc6abc06d"},
        {119, "faef67da856d6fd9c8d12f9ed0a4fefd3cf0ce085ab43e2907418d457e3c354b"},
        {120, "c9512b08619c19fbb503c7da6b46ef20301e5f7a7a5f43989182398536f5c5c8"},
    };
    for (const auto& [length, digest] : known) {
        std::string bytes;
        for (std::size_t i = 0; i < length; ++i) {
            bytes += static_cast<char>('a' + i % 26);
        }
        for (const std::size_t piece : {1, 3, 55, 63, 64, 65, 200}) {
            Sha256 sha;
            for (std::size_t at = 0; at < bytes.size(); at += piece) {
                sha.add(std::string_view(bytes).substr(at, piece));
            }
            const auto taken = sha.digest();
            ASSERT_TRUE(taken.has_value());
            EXPECT_EQ(Sha256::hex(*taken), digest) << length << " bytes in pieces of " << piece;
        }
    }
}
