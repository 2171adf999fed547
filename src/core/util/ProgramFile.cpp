#include "core/util/ProgramFile.h"

#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"

#include <cerrno>
#include <filesystem>
#include <unistd.h>

namespace tw {

ProgramFile::ProgramFile(std::string path, mode_t mode, std::string copyPath)
    : m_path(std::move(path)), m_mode(mode), m_copyPath(std::move(copyPath)) {}

void ProgramFile::removeStaleTemporaries() const {
    // replaceFileContents writes "<name>.tmp-XXXXXX" beside the file. A save cut off by a crash
    // leaves it behind (with the passwords of a watch list); only one program writes the file,
    // so any such file found before a read is stale.
    const std::filesystem::path disk(systemPath(m_path));
    const std::string prefix = disk.filename().string() + ".tmp-";
    const std::filesystem::path folder = disk.has_parent_path() ? disk.parent_path() : ".";
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
            std::error_code ignored;
            std::filesystem::remove(it->path(), ignored);
        }
    }
}

int ProgramFile::open(struct stat* info) {
    m_damaged = false;
    m_damagedBytes.clear();
    m_damagedBytes.shrink_to_fit();
    m_damagedCopy.clear();
    const int fd = openRegularFile(systemPath(m_path), info);
    // Only a missing file is an empty one. Anything else that keeps the file from being read
    // must not turn into nothing that the next save writes over the user's data.
    if (fd >= 0 || errno == ENOENT) {
        m_state = State::Read;
    } else {
        m_state = State::Refused;
    }
    return fd;
}

int ProgramFile::read(std::string& data, std::size_t limit) {
    data.clear();
    removeStaleTemporaries();
    struct stat info {};
    const int fd = open(&info);
    if (fd < 0) {
        return errno;
    }
    int error = EFBIG;
    if (static_cast<unsigned long long>(info.st_size) <= limit) {
        error = readToEnd(fd, data, limit); // EFBIG when it grew while being read
    }
    ::close(fd);
    if (error != 0) {
        data.clear();
        refuse();
    }
    return error;
}

void ProgramFile::refuse() {
    m_state = State::Refused;
}

void ProgramFile::setDamaged(std::string bytes) {
    m_damaged = true;
    m_damagedBytes = std::move(bytes);
}

bool ProgramFile::keepDamaged() {
    if (!m_damaged) {
        return true;
    }
    const std::string copy = keepCopy(m_copyPath, m_damagedBytes, m_mode);
    if (copy.empty()) {
        return false; // never replace the only copy of what could not be read
    }
    m_damagedCopy = copy;
    m_damaged = false;
    m_damagedBytes.clear();
    m_damagedBytes.shrink_to_fit();
    return true;
}

bool ProgramFile::mayReplace() const {
    switch (m_state) {
    case State::Read:
        return true;
    case State::Refused:
        return false;
    case State::NotRead:
        break;
    }
    struct stat info {};
    return ::lstat(systemPath(m_path).c_str(), &info) != 0 && errno == ENOENT;
}

bool ProgramFile::write(std::string_view data) {
    if (!mayReplace()) {
        errno = 0;
        return false;
    }
    if (!keepDamaged()) {
        return false;
    }
    errno = 0;
    if (!replaceFileContents(m_path, data, m_mode)) {
        return false;
    }
    m_state = State::Read;
    return true;
}

} // namespace tw
