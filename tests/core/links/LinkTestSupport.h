#pragma once

#include "core/links/CLinkList.h"

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tw::test {

inline FetchSettings makeLink(const std::string& file, const std::string& address,
                              const std::string& name = "") {
    FetchSettings link;
    link.destFile = file;
    link.targetUrl = address;
    link.name = name;
    return link;
}

/// A record as the file holds it (CR LF line ends).
inline std::string onDisk(const FetchSettings& link) {
    std::string text;
    for (const char ch : link.toText()) {
        text += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    }
    return text;
}

/// The addresses in the folder's list file, in file order.
inline std::vector<std::string> addressesIn(const std::string& folder) {
    std::vector<std::string> addresses;
    CLinkList reader;
    reader.load(folder, true);
    for (const FetchSettings& link : reader.links()) {
        addresses.push_back(link.targetUrl);
    }
    return addresses;
}

inline bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

/// What the downloader sibling does to add a link: append under the append lock, waiting while
/// another program holds it.
inline bool siblingAppend(const std::string& folder, const std::string& bytes) {
    const std::string lock = folder + "/append.lock";
    int fd;
    while ((fd = ::open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)) < 0 && errno == EEXIST) {
        ::sched_yield();
    }
    const int list = ::open((folder + "/brl.hlk").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const bool ok = fd >= 0 && list >= 0 &&
                    ::write(list, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(list);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(lock.c_str());
    }
    return ok;
}

} // namespace tw::test
