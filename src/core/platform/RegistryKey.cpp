#include "core/platform/RegistryKey.h"

#include "core/platform/RuntimeFolder.h"
#include "core/ports/Prompter.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/SafeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

/// Creates every missing folder of `path`; 0 or the errno of the first failure.
int makeFolders(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string part = path.substr(0, pos);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
                return errno;
            }
        }
    }
    return isFolder(path) ? 0 : ENOTDIR;
}

} // namespace

std::string RegistryKey::folderFor(const std::string& path, const std::string& configRoot) {
    static const std::string prefix = "Software\\";
    if (path.compare(0, prefix.size(), prefix) != 0 || configRoot.empty()) {
        return {};
    }
    std::string folder = configRoot;
    std::size_t start = prefix.size();
    while (true) {
        const std::size_t end = path.find('\\', start);
        const std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) {
            return {};
        }
        folder += "/" + part;
        if (end == std::string::npos) {
            return folder;
        }
        start = end + 1;
    }
}

RegistryKey::RegistryKey(std::string path, bool readOnly, Prompter* prompter,
                         std::string configRoot)
    : m_path(std::move(path)), m_readOnly(readOnly) {
    if (configRoot.empty()) {
        configRoot = configFolder();
    }
    m_folder = folderFor(m_path, configRoot);
    if (m_readOnly) {
        m_opened = !m_folder.empty() && isFolder(m_folder);
        return;
    }
    const int error = m_folder.empty() ? EINVAL : makeFolders(m_folder);
    m_opened = error == 0;
    if (!m_opened && prompter) {
        prompter->showMessage(jp(kErrorCaption) + "\n\n" + systemErrorText(error),
                              Prompter::Icon::Information);
    }
}

std::string RegistryKey::valuePath(const std::string& name) const {
    // A value name is one file name: nothing that could leave the key's folder.
    if (!m_opened || name.empty() || name == "." || name == ".." ||
        name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
        return {};
    }
    return m_folder + "/" + name;
}

bool RegistryKey::readValue(const std::string& name, std::string& bytes, std::size_t limit) const {
    const std::string file = valuePath(name);
    if (file.empty()) {
        return false;
    }
    // Only regular files are values; anything else, a symbolic link included, is unreadable.
    // A FIFO in place of a value cannot hold the reader.
    const int fd = openRegularFile(file, nullptr, O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    bytes.clear();
    const bool ok = readToEnd(fd, bytes, limit) == 0;
    ::close(fd);
    return ok;
}

int RegistryKey::writeValue(const std::string& name, const char* bytes, std::size_t count) {
    const std::string file = valuePath(name);
    if (m_readOnly || file.empty()) {
        return -1;
    }
    // The key's folder is named by the environment: its path is the name on disk already.
    return replaceDiskFile(file, std::string_view(bytes, count), 0600) ? 0 : -1;
}

std::size_t RegistryKey::readBinary(const std::string& name, void* buffer, std::size_t size) const {
    std::string bytes;
    if (!buffer || !readValue(name, bytes, size)) {
        return 0;
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    return bytes.size();
}

int RegistryKey::writeBinary(const std::string& name, const void* bytes, std::size_t count) {
    if (!bytes && count > 0) {
        return -1;
    }
    return writeValue(name, static_cast<const char*>(bytes), count);
}

std::string RegistryKey::readString(const std::string& name) const {
    std::string bytes;
    if (!readValue(name, bytes, kStringBufferSize)) {
        return {};
    }
    // A value written by a program that stored the terminating zero reads the same.
    if (const auto zero = bytes.find('\0'); zero != std::string::npos) {
        bytes.resize(zero);
    } else if (bytes.size() >= kStringBufferSize) {
        return {};
    }
    return bytes;
}

bool RegistryKey::emptyOrMissing(const std::string& name) const {
    std::string bytes;
    if (readValue(name, bytes, kStringBufferSize)) {
        return bytes.empty() || bytes.front() == '\0';
    }
    const std::string file = valuePath(name);
    struct stat info {};
    return file.empty() || (::lstat(file.c_str(), &info) != 0 && errno == ENOENT);
}

int RegistryKey::writeString(const std::string& name, const std::string& text) {
    return writeValue(name, text.data(), text.size());
}

void RegistryKey::flush() {
    if (!m_opened || m_readOnly) {
        return;
    }
    const int fd = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace tw
