#include "core/platform/RuntimeFolder.h"

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

int preparePrivateFolder(const std::string& folder) {
    if (folder.empty()) {
        return ENOENT;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return errno;
    }
    // lstat: a symbolic link planted under /tmp must not redirect us.
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        return errno;
    }
    if (!S_ISDIR(info.st_mode)) {
        return ENOTDIR;
    }
    if (info.st_uid != ::geteuid()) {
        return EPERM;
    }
    if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
        return errno;
    }
    return 0;
}

bool makePrivateFolder(const std::string& folder) {
    return preparePrivateFolder(folder) == 0;
}

std::string runtimeFolderPath() {
    if (const std::string base = fromEnvironment("XDG_RUNTIME_DIR"); !base.empty()) {
        return base + "/orvane";
    }
    return "/tmp/orvane-" + std::to_string(::geteuid());
}

std::string runtimeFolder() {
    std::string folder = runtimeFolderPath();
    return makePrivateFolder(folder) ? folder : std::string();
}

std::string configFolder() {
    if (std::string config = fromEnvironment("XDG_CONFIG_HOME"); !config.empty()) {
        return config;
    }
    const std::string home = fromEnvironment("HOME");
    return (home.empty() ? std::string("/tmp") : home) + "/.config";
}

} // namespace tw
