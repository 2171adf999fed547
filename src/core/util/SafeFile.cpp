#include "core/util/SafeFile.h"

#include "core/util/Cp932Scan.h"
#include "core/util/SystemPath.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace tw {

namespace {

/// Numbered names stop here: a folder holding this many variants of one name is not sane.
constexpr int kMaxNumber = 100000;

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string numberedName(const std::string& path, int n) {
    // The cut steps over double-byte characters.
    if (n == 0) {
        return path;
    }
    const auto dot = findLastCp932(path, ".");
    const auto slash = findLastCp932(path, "/");
    const bool usableDot = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = usableDot ? path.substr(0, dot) : path;
    const std::string ext = usableDot ? path.substr(dot) : std::string();
    return stem + "_" + std::to_string(n) + ext;
}

namespace {

bool copyAcross(const std::string& from, const std::string& to) {
    struct stat status {};
    const int in = openRegularFile(from, &status, O_NOFOLLOW);
    if (in < 0) {
        if (errno == EISDIR) {
            errno = EINVAL;
        }
        return false;
    }
    std::string temp = to + ".tmp-XXXXXX";
    const int out = ::mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        const int saved = errno;
        ::close(in);
        errno = saved;
        return false;
    }
    bool ok = ::fchmod(out, status.st_mode & 0777) == 0;
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = writeAll(out, std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    ok = ok && ::fsync(out) == 0;
    int saved = errno;
    ok = (::close(out) == 0) && ok;
    ::close(in);
    ok = ok && ::rename(temp.c_str(), to.c_str()) == 0;
    if (!ok) {
        saved = errno != 0 ? errno : saved;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

} // namespace

int openRegularFile(const std::string& diskPath, struct stat* info, int flags) {
    struct stat found {};
    const int fd = ::open(diskPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | flags);
    if (fd < 0) {
        return -1;
    }
    int error = 0;
    if (::fstat(fd, &found) != 0) {
        error = errno;
    } else if (!S_ISREG(found.st_mode)) {
        error = EISDIR; // "not a regular file"
    }
    if (info) {
        *info = found;
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int readToEnd(int fd, std::string& data, std::size_t limit) {
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        data.append(chunk, static_cast<std::size_t>(got));
        if (data.size() > limit) {
            return EFBIG;
        }
    }
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        errno = 0;
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (errno == 0) {
                errno = EIO;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void syncFolderOf(const std::string& diskPath) {
    if (const int dir = ::open(folderOf(diskPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

namespace {

/// fsync and close; false with the errno of the first failure.
bool syncAndClose(int fd) {
    int error = ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    errno = error;
    return error == 0;
}

} // namespace

bool finishFile(int fd, const std::string& diskPath) {
    if (!syncAndClose(fd)) {
        return false;
    }
    syncFolderOf(diskPath);
    return true;
}

bool commitReplacement(int fd, const std::string& diskTemp, const std::string& diskTarget) {
    if (!syncAndClose(fd) || ::rename(diskTemp.c_str(), diskTarget.c_str()) != 0) {
        return false;
    }
    // The rename itself becomes durable with the folder.
    syncFolderOf(diskTarget);
    return true;
}

bool replaceDiskFile(const std::string& path, std::string_view data, mode_t mode) {
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        mode &= old.st_mode & 0777;
    }
    // The first failure's errno is what the caller reports (a full disk, say), whatever the
    // clean-up after it sets.
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, data);
    if (!ok) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    ok = ok && commitReplacement(fd, temp, path);
    if (!ok) {
        const int error = errno != 0 ? errno : EIO;
        ::unlink(temp.c_str());
        errno = error;
        return false;
    }
    return true;
}

bool replaceFileContents(const std::string& name, std::string_view data, mode_t mode) {
    return replaceDiskFile(systemPath(name), data, mode);
}

int createFreeFile(const std::string& path, mode_t mode, std::string& created) {
    // Exclusively, so that two writers never share one, and never through a link planted there.
    for (int n = 0; n < kMaxNumber; ++n) {
        created = numberedName(path, n);
        const int fd = ::open(systemPath(created).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            ::fchmod(fd, mode); // whatever the umask took away
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

std::string keepCopy(const std::string& path, std::string_view data, mode_t mode) {
    std::string copy;
    const int fd = createFreeFile(path, mode, copy);
    if (fd < 0) {
        return {};
    }
    const std::string disk = systemPath(copy);
    bool kept = writeAll(fd, data);
    if (!kept) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    kept = kept && finishFile(fd, disk);
    if (!kept) {
        const int error = errno;
        ::unlink(disk.c_str());
        errno = error;
        return {};
    }
    return copy;
}

bool moveIntoPlace(const std::string& fromText, const std::string& toText) {
    const std::string from = systemPath(fromText);
    const std::string to = systemPath(toText);
    errno = 0;
    if (::rename(from.c_str(), to.c_str()) == 0) {
        syncFolderOf(to);
        return true;
    }
    if (errno != EXDEV || !copyAcross(from, to)) {
        return false;
    }
    syncFolderOf(to);
    ::unlink(from.c_str());
    return true;
}

bool readWholeFile(const std::string& path, std::string& data) {
    std::FILE* file = std::fopen(systemPath(path).c_str(), "rb");
    if (!file) {
        return false;
    }
    data.clear();
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        data.append(buffer, n);
    }
    const bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

int readRegularFile(const std::string& path, std::string& data, std::size_t limit) {
    data.clear();
    struct stat info {};
    const int fd = openRegularFile(systemPath(path), &info);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    if (static_cast<unsigned long long>(info.st_size) > limit) {
        error = EFBIG;
    } else {
        error = readToEnd(fd, data, limit); // EFBIG when it grew while being read
    }
    ::close(fd);
    return error;
}

} // namespace tw
