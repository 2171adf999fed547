#include "core/util/FieldRules.h"

#include <gtest/gtest.h>

#include <string>

using namespace tw;

TEST(FieldRules, HeaderLinesRefuseLineEndsAndNul) {
    const struct {
        std::string text;
        bool line;
        bool lines;
    } cases[] = {
        {"Mozilla/4.0 (compatible)", false, false},
        {"", false, false},
        {"a\rb", true, true},
        {"a\nb", true, true},
        {std::string("a\0b", 3), true, true},
        {"X-A: 1\r\nX-B: 2", true, false},
        {"X-A: 1\r\nX-B: 2\r\n \t", true, false},
        {"X-A: 1\nX-B: 2", true, true},
        {"X-A: 1\r\nX-B: \r2", true, true},
        {std::string("X-A: 1\0\r\nX-B: 2", 15), true, true},
        {"X-A:\t1", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(breaksHeaderLine(c.text), c.line);
        EXPECT_EQ(breaksHeaderLines(c.text), c.lines);
    }
}

TEST(FieldRules, MailAddressesRefuseBracketsBlanksAndControls) {
    EXPECT_FALSE(breaksMailAddress("user@example.jp"));
    EXPECT_FALSE(breaksMailAddress("first.last+tag@example.jp"));
    for (const char* bad :
         {"a>@b", "<a@b", "a @b", "a\t@b", "a@b\r\n", "a\x7f@b", "a@b> NOTIFY=NEVER"}) {
        SCOPED_TRACE(bad);
        EXPECT_TRUE(breaksMailAddress(bad));
    }
    EXPECT_TRUE(breaksMailAddress(std::string("a\0b", 3)));
}
