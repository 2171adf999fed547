#include "FuzzSupport.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace tw::fuzz {

namespace {

std::string g_folder;

void removeFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
}

} // namespace

std::string temporaryFolder() {
    if (g_folder.empty()) {
        // Memory-backed when possible: rewriting a file on a disk file system may flush on every
        // close, which would slow the targets that go through files a hundredfold.
        const char* base = std::getenv("TMPDIR");
        std::string root = base && *base ? base : "/tmp";
        if (!(base && *base) && ::access("/dev/shm", W_OK) == 0) {
            root = "/dev/shm";
        }
        std::string pattern = root + "/tarnwick-fuzz-XXXXXX";
        require(mkdtemp(pattern.data()) != nullptr, "temporary folder");
        g_folder = pattern;
        std::atexit(removeFolder);
    }
    return g_folder;
}

} // namespace tw::fuzz
