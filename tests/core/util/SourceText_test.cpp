#include "core/util/SourceText.h"

#include "core/util/Cp932.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

// Every kind of line end is one "\n" of the view, and every view position leads back to the
// byte its character begins at: what the check area is counted in.
TEST(SourceText, ViewPositionsLeadBackToPageBytes) {
    // 日 is two bytes; the page ends in a lone CR and an unfinished lead byte.
    const std::string page = "a\nb\r\nc\rd" + jp("日") + "e\r\x88";
    const SourceText source(page);
    EXPECT_EQ(source.view().substr(0, 10), u"a\nb\nc\nd日e\n");
    ASSERT_EQ(source.view().size(), 11u);
    const std::size_t offsets[] = {0, 1, 2, 3, 5, 6, 7, 8, 10, 11, 12, 13};
    for (std::size_t position = 0; position <= 11; ++position) {
        EXPECT_EQ(source.pageOffset(position), offsets[position]) << position;
    }
    EXPECT_EQ(source.pageOffset(500), page.size());
    // The LF of a CR LF and the second byte of 日 belong to the character before them.
    EXPECT_EQ(source.viewStart(4), 3u);
    EXPECT_EQ(source.viewEnd(4), 4u);
    EXPECT_EQ(source.viewStart(9), 7u);
    EXPECT_EQ(source.viewEnd(9), 8u);
    EXPECT_EQ(source.viewStart(page.size()), 11u);
    EXPECT_EQ(source.viewEnd(page.size()), 11u);
}

} // namespace
} // namespace tw
