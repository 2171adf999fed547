#include "platform/RuntimeFolder.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

std::string fromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    std::string text = value ? value : "";
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

} // namespace

bool makePrivateFolder(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    // lstat: a symbolic link planted under /tmp must not redirect us.
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        return false;
    }
    if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
        return false;
    }
    return true;
}

std::string runtimeFolder() {
    std::string folder;
    if (const std::string base = fromEnvironment("XDG_RUNTIME_DIR"); !base.empty()) {
        folder = base + "/orvane";
    } else {
        folder = "/tmp/orvane-" + std::to_string(::geteuid());
    }
    return makePrivateFolder(folder) ? folder : std::string();
}

std::string configFolder() {
    if (const std::string config = fromEnvironment("XDG_CONFIG_HOME"); !config.empty()) {
        return config;
    }
    const std::string home = fromEnvironment("HOME");
    return (home.empty() ? std::string("/tmp") : home) + "/.config";
}

} // namespace tw
