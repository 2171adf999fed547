#include "core/util/Cp932.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tw {
namespace {

// What Linux input methods type for these 932 glyphs; the 932 table itself has other code
// points for them (full-width forms, U+2015, U+2225...).
TEST(Cp932, CharactersTypedOnLinuxBecomeTheirGlyphs) {
    const struct {
        const char* utf8;
        const char* cp932;
    } cases[] = {
        {"\u301C", "\x81\x60"}, {"\u2016", "\x81\x61"}, {"\u2212", "\x81\x7C"},
        {"\u00A2", "\x81\x91"}, {"\u00A3", "\x81\x92"}, {"\u00AC", "\x81\xCA"},
        {"\u2014", "\x81\x5C"},
    };
    for (const auto& c : cases) {
        bool lossless = false;
        EXPECT_EQ(toCp932(c.utf8, &lossless), c.cp932) << c.utf8;
        EXPECT_TRUE(lossless) << c.utf8;
        EXPECT_EQ(toCp932Exact(c.utf8), std::optional<std::string>(c.cp932)) << c.utf8;
    }
    EXPECT_EQ(toCp932Exact("10\u301C20\u2212\u00A3"),
              std::optional<std::string>("10\x81\x60"
                                         "20\x81\x7C\x81\x92"));
    // The other way keeps 932's own code points.
    EXPECT_EQ(fromCp932("\x81\x60"), "\uFF5E");
    EXPECT_EQ(fromCp932("\x81\x7C"), "\uFF0D");
}

TEST(Cp932, WhatCp932CannotHoldIsRefused) {
    char32_t refused = 0;
    EXPECT_EQ(toCp932Exact("ok \uD55C\u00A6", &refused), std::nullopt);
    EXPECT_EQ(refused, U'\uD55C');
    // Fitting web pages takes the broken bar and variant kanji, typed text does not.
    EXPECT_EQ(toCp932Exact("\u00A6", &refused), std::nullopt);
    EXPECT_EQ(refused, U'\u00A6');
    EXPECT_EQ(toCp932Exact("\u4FE0"), std::nullopt);
    EXPECT_EQ(toCp932BestFit("\u00A6\u4FE0\uD55C"), "\xFA\x55\x8B\xA0?");

    bool lossless = true;
    EXPECT_EQ(toCp932("a\uD55Cb", &lossless), "a?b");
    EXPECT_FALSE(lossless);
    // A "?" typed by the user is no refusal.
    EXPECT_EQ(toCp932Exact("?"), std::optional<std::string>("?"));
}

// Each thread has its own converter: a shared one would mix up the texts.
TEST(Cp932, ThreadsConvertAtTheSameTime) {
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::string text = std::string(200, static_cast<char>('a' + t)) + "\u301C\u3042";
            const std::string expected =
                std::string(200, static_cast<char>('a' + t)) + "\x81\x60\x82\xA0";
            for (int i = 0; i < 500; ++i) {
                if (toCp932(text) != expected ||
                    fromCp932(expected) != text.substr(0, 200) + "\uFF5E\u3042") {
                    ++wrong[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

} // namespace
} // namespace tw
