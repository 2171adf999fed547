// Faults the fuzz target for the relocation step found (fuzz/location.cpp).

#include "core/net/CFetch.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(CFetchRelocationAddress, AbsoluteOnlyWithAnHttpScheme) {
    EXPECT_EQ(CFetch::relocationAddress("http://a.test/d/p", "https://b.test/x?y=1"),
              "https://b.test/x?y=1");
    EXPECT_EQ(CFetch::relocationAddress("http://a.test/d/p", "HTTP://B.test/x"), "HTTP://B.test/x");
    // A relative name that merely begins with "http" used to become the whole next address.
    EXPECT_EQ(CFetch::relocationAddress("http://a.test/d/p", "http-notes.html"),
              "http://a.test/d/http-notes.html");
    EXPECT_EQ(CFetch::relocationAddress("http://a.test/d/p", "httpd"), "http://a.test/d/httpd");
}

TEST(CFetchRelocationAddress, RelativeStaysOnTheServer) {
    EXPECT_EQ(CFetch::relocationAddress("http://a.test/d/p.html", "q.html"),
              "http://a.test/d/q.html");
    EXPECT_EQ(CFetch::relocationAddress("http://a.test/d/p.html", "/r/q.html"),
              "http://a.test/r/q.html");
    // Without a path the last "/" was the scheme's: "q.html" became the host.
    EXPECT_EQ(CFetch::relocationAddress("http://a.test", "q.html"), "http://a.test/q.html");
    EXPECT_EQ(CFetch::relocationAddress("https://a.test:8443", "q.html"),
              "https://a.test:8443/q.html");
    // A query or fragment is neither part of the server nor of the folder.
    EXPECT_EQ(CFetch::relocationAddress("http://a.test?x=1", "q.html"), "http://a.test/q.html");
    EXPECT_EQ(CFetch::relocationAddress("http://a.test?x=1", "/q.html"), "http://a.test/q.html");
    EXPECT_EQ(CFetch::relocationAddress("http://a.test/d/p?u=x/y", "q.html"),
              "http://a.test/d/q.html");
    EXPECT_EQ(CFetch::relocationAddress("http://a.test/d/p#f/g", "q.html"),
              "http://a.test/d/q.html");
}

} // namespace
} // namespace tw
