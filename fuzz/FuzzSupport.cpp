#include "FuzzSupport.h"

#include <cstdlib>

namespace tw::fuzz {

std::string temporaryFolder() {
    static const std::string folder = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnwick-fuzz-XXXXXX";
        require(mkdtemp(pattern.data()) != nullptr, "temporary folder");
        return pattern;
    }();
    return folder;
}

} // namespace tw::fuzz
