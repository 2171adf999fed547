// The file name a link keeps is cut from a path that may come from Windows: the cut must not
// stop inside a character whose second byte is "\" ("表", "能", "ソ").

#include "core/links/CLinkList.h"
#include "core/util/Cp932.h"
#include "core/util/Cp932Scan.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(CutFileName, StepsOverDoubleByteCharacters) {
    EXPECT_EQ(CLinkList::cutFileName(jp("C:\\dl\\表.html")), jp("表.html"));
    EXPECT_EQ(CLinkList::cutFileName(jp("C:\\dl\\能.html")), jp("能.html"));
    EXPECT_EQ(CLinkList::cutFileName(jp("/home/u/ソフト.zip")), jp("ソフト.zip"));
    EXPECT_EQ(CLinkList::cutFileName(jp("表_2.html")), jp("表_2.html"));
    EXPECT_EQ(CLinkList::cutFileName(jp("C:\\表\\能/ソフト.zip")), jp("ソフト.zip"));
    // "表.html" and "能.html" stay two names: one link can no longer overwrite the other's file.
    EXPECT_NE(CLinkList::cutFileName(jp("表.html")), CLinkList::cutFileName(jp("能.html")));
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!isCp932LeadByte(static_cast<unsigned char>(lead))) {
            continue;
        }
        for (const unsigned char trail : {0x5C, 0x7C}) {
            const std::string c{static_cast<char>(lead), static_cast<char>(trail)};
            if (fromCp932(c).find("\xEF\xBF\xBD") != std::string::npos) {
                continue;
            }
            EXPECT_EQ(CLinkList::cutFileName("C:\\dl\\" + c + ".zip"), c + ".zip") << lead;
            EXPECT_EQ(CLinkList::cutFileName(c + c), c + c) << lead;
        }
    }
}

} // namespace
} // namespace tw
