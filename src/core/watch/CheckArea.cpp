#include "core/watch/CheckArea.h"

#include "core/platform/CodeConverter.h"
#include "core/platform/CodeGuess.h"
#include "core/records/WatchSettings.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"

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
        const std::string onDisk = systemPath(path);
        // Without O_NONBLOCK a FIFO in place of the file would block the open for good.
        do {
            m_fd = ::open(onDisk.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        } while (m_fd < 0 && errno == EINTR);
        // Only a regular file is a page: a folder, FIFO or device is none to compare or convert.
        if (m_fd >= 0 && (::fstat(m_fd, &m_status) != 0 || !S_ISREG(m_status.st_mode))) {
            ::close(m_fd);
            m_fd = -1;
            m_notRegular = true;
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
    /// True when something other than a regular file stands at the path.
    bool notRegular() const { return m_notRegular; }
    int fd() const { return m_fd; }
    long long size() const { return static_cast<long long>(m_status.st_size); }

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
    bool m_notRegular = false;
    struct stat m_status {};
};

bool isLead932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

/// Where `needle` (lower case) next occurs in `text` from `from` on, letter case ignored.
std::size_t findNoCase(std::string_view text, std::string_view needle, std::size_t from) {
    const auto hit = std::search(
        text.begin() + static_cast<std::ptrdiff_t>(std::min(from, text.size())), text.end(),
        needle.begin(), needle.end(), [](char a, char b) { return asciiLower(a) == b; });
    return hit == text.end() ? std::string_view::npos
                             : static_cast<std::size_t>(hit - text.begin());
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/// The name that follows a "charset" ending at `at`: blanks, "=" and quotes skipped, then
/// letters, digits, "-" and "_". `assigned` tells whether an "=" came before it.
std::string charsetName(std::string_view text, std::size_t at, bool* assigned = nullptr) {
    bool equals = false;
    while (at < text.size() &&
           (isBlank(text[at]) || text[at] == '=' || text[at] == '"' || text[at] == '\'')) {
        equals = equals || text[at] == '=';
        ++at;
    }
    std::string name;
    while (at < text.size() && name.size() < 32) {
        const char c = asciiLower(text[at]);
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
            break;
        }
        name += c;
        ++at;
    }
    if (assigned) {
        *assigned = equals;
    }
    return name;
}

/// The code page of a name a page declares: the names pages have always been read by.
int pageCharsetCodePage(const std::string& name) {
    if (name == "euc-jp" || name == "x-euc-jp") {
        return 51932;
    }
    if (name == "utf-8") {
        return 65001;
    }
    if (name == "shift_jis" || name == "sjis" || name == "x-sjis" || name == "windows-31j" ||
        name == "cp932") {
        return 932;
    }
    return 0;
}

/// The end of the piece of `text` that starts at `start`, about 1 MiB long and cut where no
/// character or shift state spans the cut: after an ASCII byte in EUC-JP and UTF-8, before an
/// escape sequence in JIS.
std::size_t pieceEnd(std::string_view text, std::size_t start, int codePage) {
    constexpr std::size_t kPiece = 1 << 20;
    if (text.size() - start <= kPiece) {
        return text.size();
    }
    auto cutBefore = [&](std::size_t pos) {
        const auto c = static_cast<unsigned char>(text[pos - 1]);
        return codePage == 50220 ? text[pos] == '\x1b' : c < 0x80;
    };
    for (std::size_t pos = start + kPiece; pos > start + 1; --pos) {
        if (cutBefore(pos)) {
            return pos;
        }
    }
    for (std::size_t pos = start + kPiece + 1; pos < text.size(); ++pos) {
        if (cutBefore(pos)) {
            return pos;
        }
    }
    return text.size();
}

} // namespace

int compare(WatchSettings& item, const std::string& newFile, CodeConverter* converter) {
    return compare(item, newFile, converter,
                   item.downloadMode != 0 ? item.destFile : item.compareFile);
}

int compare(WatchSettings& item, const std::string& newFile, CodeConverter* converter,
            const std::string& reference, std::string_view contentType) {
    if (item.anchorKeyword.empty()) {
        if (reference == newFile) {
            return -1;
        }
        const int result = compareFiles(newFile, reference);
        if (result == -2 && !reference.empty()) {
            struct stat status {};
            if (::stat(systemPath(reference).c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
                return kReferenceNotRegular;
            }
        }
        return result;
    }

    struct stat status {};
    if (::stat(systemPath(newFile).c_str(), &status) == 0 && status.st_size > kMaxAreaPageBytes) {
        return kPageTooLarge;
    }
    const std::optional<std::string> text =
        loadConverted(converter, newFile, item.japaneseCode, contentType);
    if (!text) {
        return 1;
    }
    std::string area = extractArea(*text, item.anchorKeyword, item.anchorOccurrence,
                                   item.areaOffset, item.areaSize);
    if (area == item.areaText) {
        std::remove(systemPath(newFile).c_str());
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

    constexpr std::size_t kBlock = std::size_t{256} * 1024;
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

std::vector<std::size_t> findKeyword(std::string_view text, std::string_view keyword,
                                     std::size_t limit, std::size_t before) {
    std::vector<std::size_t> matches;
    if (keyword.empty()) {
        return matches;
    }
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
    while (matches.size() < limit && from + keyword.size() <= text.size()) {
        const void* hit =
            ::memmem(text.data() + from, text.size() - from, keyword.data(), keyword.size());
        if (hit == nullptr) {
            break;
        }
        const auto pos = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        if (pos >= before) {
            break;
        }
        if (startsCharacter(pos)) {
            matches.push_back(pos);
        }
        from = pos + 1;
    }
    return matches;
}

std::string extractArea(std::string_view text, std::string_view keyword, int occurrence, int offset,
                        int size) {
    if (keyword.empty() || size <= 0) {
        return {};
    }
    occurrence = std::max(occurrence, 1);
    const std::vector<std::size_t> matches =
        findKeyword(text, keyword, static_cast<std::size_t>(occurrence));
    if (matches.size() < static_cast<std::size_t>(occurrence)) {
        return {};
    }
    const std::size_t last = matches.back();

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
                                         int japaneseCode, std::string_view contentType) {
    if (converter == nullptr) {
        return std::nullopt;
    }
    const FileHandle file(path);
    if (!file.isOpen() || file.size() < 0) {
        return std::nullopt;
    }
    try {
        std::string raw(static_cast<std::size_t>(file.size()), '\0');
        if (file.readBlock(raw.data(), raw.size()) != static_cast<long long>(raw.size())) {
            return std::nullopt;
        }
        // The page is text: it ends at its first zero byte.
        if (const std::size_t zero = raw.find('\0'); zero != std::string::npos) {
            raw.resize(zero);
        }

        int codePage = 932;
        switch (japaneseCode) {
        case 0:
            codePage = pageCodePage(raw, contentType);
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
        // Converted piece by piece into one buffer of the page's size (932 text is never longer
        // than its source in these codes), so the page is held twice at most, not three times.
        std::string converted;
        converted.reserve(raw.size());
        std::string piece;
        std::size_t start = 0;
        while (start < raw.size()) {
            const std::size_t end = pieceEnd(raw, start, codePage);
            piece.clear();
            if (!converter->convert(codePage, 932, std::string_view(raw).substr(start, end - start),
                                    piece)) {
                return std::nullopt;
            }
            converted += piece;
            start = end;
        }
        return converted;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

int pageCodePage(std::string_view text, std::string_view contentType) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        return 65001;
    }
    if (const int declared = declaredCodePage(text); declared != 0) {
        return declared;
    }
    if (const int served = contentTypeCodePage(contentType); served != 0) {
        return served;
    }
    return guessCodePage(text);
}

int declaredCodePage(std::string_view text) {
    if (text.find("\x1b$") != std::string_view::npos &&
        text.find("\x1b(") != std::string_view::npos) {
        return 50220;
    }
    const std::size_t first = findNoCase(text, "charset", 0);
    if (first == std::string_view::npos) {
        return 0;
    }
    // The declared value decides; a later mention of another code in the page's text does not.
    bool otherCode = false;
    for (std::size_t at = first; at != std::string_view::npos;
         at = findNoCase(text, "charset", at + 1)) {
        bool assigned = false;
        const std::string name = charsetName(text, at + 7, &assigned);
        if (const int declared = pageCharsetCodePage(name); declared != 0) {
            return declared;
        }
        otherCode = otherCode || (assigned && !name.empty());
    }
    if (findNoCase(text, "euc-jp", first) != std::string_view::npos) {
        return 51932;
    }
    if (findNoCase(text, "utf-8", first) != std::string_view::npos) {
        return 65001;
    }
    // "charset=iso-8859-1" and the like have always meant the bytes as they are; a page that
    // only mentions the word declares nothing.
    return otherCode ? 932 : 0;
}

int detectCodePage(std::string_view text) {
    const int declared = declaredCodePage(text);
    return declared != 0 ? declared : 932;
}

int charsetCodePage(std::string_view name) {
    const std::string lower = asciiLower(name);
    if (lower == "shift_jis" || lower == "shift-jis" || lower == "sjis" || lower == "x-sjis" ||
        lower == "windows-31j" || lower == "cp932" || lower == "ms_kanji" ||
        lower == "csshiftjis" || lower == "cswindows31j") {
        return 932;
    }
    if (lower == "euc-jp" || lower == "x-euc-jp" || lower == "eucjp" ||
        lower == "cseucpkdfmtjapanese") {
        return 51932;
    }
    if (lower == "utf-8" || lower == "utf8" || lower == "unicode-1-1-utf-8") {
        return 65001;
    }
    if (lower == "iso-2022-jp" || lower == "csiso2022jp") {
        return 50220;
    }
    return 0;
}

int contentTypeCodePage(std::string_view contentType) {
    // Parameters follow the media type after ";": charset=NAME or charset="NAME".
    std::size_t at = contentType.find(';');
    while (at != std::string_view::npos) {
        std::size_t start = at + 1;
        while (start < contentType.size() && isBlank(contentType[start])) {
            ++start;
        }
        const std::size_t equals = contentType.find('=', start);
        const std::size_t next = contentType.find(';', start);
        if (equals != std::string_view::npos && (next == std::string_view::npos || equals < next)) {
            std::string_view name = contentType.substr(start, equals - start);
            while (!name.empty() && isBlank(name.back())) {
                name.remove_suffix(1);
            }
            if (equalsIgnoringAsciiCase(name, "charset")) {
                std::string_view value = contentType.substr(
                    equals + 1,
                    (next == std::string_view::npos ? contentType.size() : next) - equals - 1);
                while (!value.empty() && (isBlank(value.front()) || value.front() == '"')) {
                    value.remove_prefix(1);
                }
                while (!value.empty() && (isBlank(value.back()) || value.back() == '"')) {
                    value.remove_suffix(1);
                }
                return charsetCodePage(value);
            }
        }
        at = next;
    }
    return 0;
}

} // namespace tw
