#include "core/util/FormData.h"

#include <gtest/gtest.h>

using namespace tw;

namespace {

struct RoundTrip {
    const char* stored;
    std::vector<FormField> fields;
    const char* storedAgain;
};

} // namespace

TEST(FormData, ParsesAndJoinsWithItsNormalisation) {
    const RoundTrip cases[] = {
        {"a=1&b=x%3dy", {{"a", "1"}, {"b", "x=y"}}, "a=1&b=x%3dy"},
        {"a=%82%A0+b", {{"a", "\x82\xa0 b"}}, "a=%82%a0+b"},
        {"flag&&c=", {{"flag", ""}, {"c", ""}}, "flag=&c="},
        {"&x=1&", {{"x", "1"}}, "x=1"},
        {"k=a=b", {{"k", "a=b"}}, "k=a%3db"},
        {"my-name.v=1", {{"my-name.v", "1"}}, "my%2dname%2ev=1"},
        {"", {}, ""},
        {"&&", {}, ""},
        {"=v", {{"", "v"}}, "=v"},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.stored);
        const std::vector<FormField> fields = parseFormData(c.stored);
        EXPECT_EQ(fields, c.fields);
        EXPECT_EQ(joinFormData(fields), c.storedAgain);
    }
}

// A name without "=" used to stay encoded on parsing and be encoded again on joining, so
// "fl%41g" grew a "%25" at every OK.
TEST(FormData, NameWithoutEqualsIsDecodedAndStaysStable) {
    const std::vector<FormField> fields = parseFormData("fl%41g&x%20y");
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0], (FormField{"flAg", ""}));
    EXPECT_EQ(fields[1], (FormField{"x y", ""}));

    std::string stored = joinFormData(fields);
    EXPECT_EQ(stored, "flAg=&x+y=");
    for (int i = 0; i < 3; ++i) {
        stored = joinFormData(parseFormData(stored));
    }
    EXPECT_EQ(stored, "flAg=&x+y=");
}
