#include "util/SafeFile.h"

#include "util/SystemPath.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

bool replaceFileContents(const std::string& name, std::string_view data, mode_t mode) {
    const std::string path = systemPath(name);
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
    int error = 0;
    auto step = [&error](bool succeeded) {
        if (!succeeded && error == 0) {
            error = errno != 0 ? errno : EIO;
        }
        return succeeded;
    };
    bool ok = step(::fchmod(fd, mode) == 0);
    std::size_t done = 0;
    while (ok && done < data.size()) {
        errno = 0;
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = step(n > 0);
        if (ok) {
            done += static_cast<std::size_t>(n);
        }
    }
    ok = ok && step(::fsync(fd) == 0);
    const bool closed = ::close(fd) == 0;
    ok = ok && step(closed);
    ok = ok && step(::rename(temp.c_str(), path.c_str()) == 0);
    if (!ok) {
        ::unlink(temp.c_str());
        errno = error;
        return false;
    }
    // The rename itself becomes durable with the folder.
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (const int dir =
            ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

namespace {

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void syncFolder(const std::string& path) {
    if (const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool copyAcross(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    struct stat status {};
    if (::fstat(in, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int saved = S_ISREG(status.st_mode) ? errno : EINVAL;
        ::close(in);
        errno = saved;
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
        ok = writeAll(out, buffer, static_cast<std::size_t>(n));
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

bool moveIntoPlace(const std::string& fromText, const std::string& toText) {
    const std::string from = systemPath(fromText);
    const std::string to = systemPath(toText);
    errno = 0;
    if (::rename(from.c_str(), to.c_str()) == 0) {
        syncFolder(to);
        return true;
    }
    if (errno != EXDEV || !copyAcross(from, to)) {
        return false;
    }
    syncFolder(to);
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
    const int fd = ::open(systemPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    struct stat info {};
    int error = 0;
    if (::fstat(fd, &info) != 0) {
        error = errno;
    } else if (!S_ISREG(info.st_mode)) {
        error = EISDIR; // "not a regular file"
    } else if (static_cast<unsigned long long>(info.st_size) > limit) {
        error = EFBIG;
    }
    data.clear();
    char chunk[65536];
    while (error == 0) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno != EINTR) {
            error = errno;
        } else if (got == 0) {
            break;
        } else if (got > 0) {
            data.append(chunk, static_cast<std::size_t>(got));
            if (data.size() > limit) {
                error = EFBIG; // it grew while being read
            }
        }
    }
    ::close(fd);
    return error;
}

} // namespace tw
