#include "watch/CheckArea.h"

#include "platform/CodeConverter.h"
#include "records/WatchSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace tw {

namespace {

/// A file descriptor closed when it goes out of scope.
class FileHandle {
public:
    explicit FileHandle(const std::string& path) {
        do {
            m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (m_fd < 0 && errno == EINTR);
        struct stat status {};
        // A folder is no file to compare or convert, though Linux lets one open it.
        if (m_fd >= 0 && (::fstat(m_fd, &status) != 0 || S_ISDIR(status.st_mode))) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FileHandle() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    /// Fills `buffer` up to `size` bytes unless the file ends first; -1 on a read error.
    long long readBlock(char* buffer, std::size_t size) const {
        std::size_t filled = 0;
        while (filled < size) {
            const ssize_t got = ::read(m_fd, buffer + filled, size - filled);
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return -1;
            }
            if (got == 0) {
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        return static_cast<long long>(filled);
    }

private:
    int m_fd = -1;
};

bool isLead932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

int compare(WatchSettings& item, const std::string& newFile, CodeConverter* converter) {
    const std::string& reference = item.downloadMode != 0 ? item.destFile : item.compareFile;
    if (item.anchorKeyword.empty()) {
        if (reference == newFile) {
            return -1;
        }
        return compareFiles(newFile, reference);
    }

    const std::optional<std::string> text = loadConverted(converter, newFile, item.japaneseCode);
    if (!text) {
        return 1;
    }
    std::string area = extractArea(*text, item.anchorKeyword, item.anchorOccurrence,
                                   item.areaOffset, item.areaSize);
    if (area == item.areaText) {
        std::remove(newFile.c_str());
        return 0;
    }
    item.areaText = std::move(area);
    return 1;
}

int compareFiles(const std::string& pathA, const std::string& pathB) {
    const FileHandle a(pathA);
    if (!a.isOpen()) {
        return -1;
    }
    const FileHandle b(pathB);
    if (!b.isOpen()) {
        return -2;
    }
    struct stat statusA {};
    struct stat statusB {};
    if (::fstat(a.fd(), &statusA) != 0 || ::fstat(b.fd(), &statusB) != 0) {
        return 1;
    }
    if (statusA.st_size != statusB.st_size) {
        return 1;
    }
    ::posix_fadvise(a.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    ::posix_fadvise(b.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);

    constexpr std::size_t kBlock = 256 * 1024;
    const std::unique_ptr<char[]> bufferA(new (std::nothrow) char[kBlock]);
    const std::unique_ptr<char[]> bufferB(new (std::nothrow) char[kBlock]);
    if (!bufferA || !bufferB) {
        return 1;
    }
    for (;;) {
        const long long gotA = a.readBlock(bufferA.get(), kBlock);
        const long long gotB = b.readBlock(bufferB.get(), kBlock);
        if (gotA < 0 || gotB < 0 || gotA != gotB) {
            return 1;
        }
        if (gotA == 0) {
            return 0;
        }
        if (std::memcmp(bufferA.get(), bufferB.get(), static_cast<std::size_t>(gotA)) != 0) {
            return 1;
        }
    }
}

std::string extractArea(std::string_view text, std::string_view keyword, int occurrence, int offset,
                        int size) {
    if (keyword.empty() || size <= 0) {
        return {};
    }
    occurrence = std::max(occurrence, 1);

    // `boundary` is a known character start. A byte below 0x40 can be neither a lead nor a
    // second byte, so the character after it starts there too: the walk to a candidate begins
    // at the last such byte before it, and each byte of the text is looked at a few times at most.
    std::size_t boundary = 0;
    auto startsCharacter = [&](std::size_t pos) {
        if (pos > boundary) {
            std::size_t sync = pos;
            while (sync > boundary && static_cast<unsigned char>(text[sync - 1]) >= 0x40) {
                --sync;
            }
            boundary = sync;
        }
        while (boundary < pos) {
            const bool pair =
                isLead932(static_cast<unsigned char>(text[boundary])) && boundary + 1 < text.size();
            boundary += pair ? 2 : 1;
        }
        return boundary == pos;
    };

    std::size_t from = 0;
    std::size_t last = 0;
    int found = 0;
    while (found < occurrence && from + keyword.size() <= text.size()) {
        const void* hit =
            ::memmem(text.data() + from, text.size() - from, keyword.data(), keyword.size());
        if (hit == nullptr) {
            break;
        }
        const auto pos = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        if (startsCharacter(pos)) {
            last = pos;
            ++found;
        }
        from = pos + 1;
    }
    if (found < occurrence) {
        return {};
    }

    const std::int64_t length = static_cast<std::int64_t>(text.size());
    std::int64_t start =
        static_cast<std::int64_t>(last) + static_cast<std::int64_t>(keyword.size()) + offset;
    if (start >= length) {
        return {};
    }
    start = std::max<std::int64_t>(start, 0);
    const std::int64_t count = std::min<std::int64_t>(size, length - start);
    return std::string(
        text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(count)));
}

std::optional<std::string> loadConverted(CodeConverter* converter, const std::string& path,
                                         int japaneseCode) {
    if (converter == nullptr) {
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    const FileHandle file(path);
    if (!file.isOpen()) {
        return std::nullopt;
    }
    try {
        std::string raw(static_cast<std::size_t>(status.st_size), '\0');
        if (file.readBlock(raw.data(), raw.size()) != static_cast<long long>(raw.size())) {
            return std::nullopt;
        }
        // The page is text: it ends at its first zero byte.
        if (const auto* zero = static_cast<const char*>(std::memchr(raw.data(), 0, raw.size()))) {
            raw.resize(static_cast<std::size_t>(zero - raw.data()));
        }

        int codePage = 932;
        switch (japaneseCode) {
        case 0:
            codePage = detectCodePage(raw);
            break;
        case 1:
            codePage = 50220;
            break;
        case 2:
            codePage = 51932;
            break;
        case 3:
            codePage = 65001;
            break;
        default:
            break;
        }
        if (codePage == 932) {
            return raw;
        }
        std::string converted;
        if (!converter->convert(codePage, 932, raw, converted)) {
            return std::nullopt;
        }
        return converted;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

int detectCodePage(std::string_view text) {
    if (text.find("\x1b$") != std::string_view::npos &&
        text.find("\x1b(") != std::string_view::npos) {
        return 50220;
    }
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), lowerAscii);
    const std::size_t charset = lower.find("charset");
    if (charset == std::string::npos) {
        return 932;
    }
    if (lower.find("euc-jp", charset) != std::string::npos) {
        return 51932;
    }
    if (lower.find("utf-8", charset) != std::string::npos) {
        return 65001;
    }
    return 932;
}

} // namespace tw
