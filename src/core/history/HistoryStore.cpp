#include "core/history/HistoryStore.h"

#include "core/platform/Sha256.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/FileDescriptor.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace tw {

namespace {

constexpr const char* kMagic = "tarnwick-history 1";
/// A header is a few short lines; anything longer is not one of ours.
constexpr std::size_t kMaxHeader = 1024;
constexpr std::size_t kBlock = 65536;
constexpr const char* kTempPrefix = ".tmp-";

bool validKey(const std::string& key) {
    return !key.empty() && key != "." && key != ".." && key.find('/') == std::string::npos &&
           key.find('\0') == std::string::npos;
}

std::string versionName(std::int64_t serial, std::time_t checkedAt) {
    char name[64];
    std::snprintf(name, sizeof name, "%08lld-%lld.ver", static_cast<long long>(serial),
                  static_cast<long long>(std::max<std::time_t>(checkedAt, 0)));
    return name;
}

/// Serial and check time from a version's file name; none for any other name.
std::optional<std::pair<std::int64_t, std::time_t>> parseVersionName(std::string_view name) {
    if (!name.ends_with(".ver")) {
        return std::nullopt;
    }
    name.remove_suffix(4);
    const std::size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == name.size() || dash > 18 ||
        name.size() - dash - 1 > 18) {
        return std::nullopt;
    }
    auto digits = [](std::string_view text) {
        return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const std::string_view serial = name.substr(0, dash);
    const std::string_view time = name.substr(dash + 1);
    if (!digits(serial) || !digits(time)) {
        return std::nullopt;
    }
    return std::make_pair(static_cast<std::int64_t>(parseInt64(serial)),
                          static_cast<std::time_t>(parseInt64(time)));
}

std::string header(const HistoryVersion& v) {
    std::string text = std::string(kMagic) + "\n";
    text += "checked " + std::to_string(static_cast<long long>(v.checkedAt)) + "\n";
    text += "code " + std::to_string(v.codePage) + "\n";
    text += std::string("html ") + (v.html ? "1" : "0") + "\n";
    text += std::string("area ") + (v.area ? "1" : "0") + "\n";
    text += std::string("text ") + (v.text ? "1" : "0") + "\n";
    text += std::string("stored ") + (v.stored ? "1" : "0") + "\n";
    text += "size " + std::to_string(static_cast<long long>(v.size)) + "\n";
    text += "sha256 " + v.digest + "\n\n";
    return text;
}

/// The header at the start of `data`: the version's fields and where its bytes begin; none
/// when it is not a whole header of ours.
std::optional<std::size_t> parseHeader(std::string_view data, HistoryVersion& v) {
    const std::size_t end = data.find("\n\n");
    if (end == std::string_view::npos || end > kMaxHeader) {
        return std::nullopt;
    }
    std::string_view lines = data.substr(0, end + 1);
    bool first = true;
    bool haveSize = false;
    bool haveChecked = false;
    while (!lines.empty()) {
        const std::size_t eol = lines.find('\n');
        const std::string_view line = lines.substr(0, eol);
        lines.remove_prefix(eol + 1);
        if (first) {
            if (line != kMagic) {
                return std::nullopt;
            }
            first = false;
            continue;
        }
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view name = line.substr(0, blank);
        const std::string_view value = line.substr(blank + 1);
        if (name == "checked") {
            v.checkedAt = static_cast<std::time_t>(parseInt64(value));
            haveChecked = true;
        } else if (name == "code") {
            v.codePage = parseInt(value);
        } else if (name == "html") {
            v.html = value == "1";
        } else if (name == "area") {
            v.area = value == "1";
        } else if (name == "text") {
            v.text = value == "1";
        } else if (name == "stored") {
            v.stored = value == "1";
        } else if (name == "size") {
            v.size = parseInt64(value);
            haveSize = v.size >= 0;
        } else if (name == "sha256") {
            v.digest = std::string(value);
        }
    }
    if (first || !haveSize || !haveChecked) {
        return std::nullopt;
    }
    return end + 2;
}

/// The media type of a Content-Type value, lower case, without parameters.
std::string mediaType(std::string_view contentType) {
    std::string type = asciiLower(contentType.substr(0, contentType.find(';')));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) {
        type.pop_back();
    }
    const std::size_t start = type.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : type.substr(start);
}

enum class Kind { Text, Binary, ByBytes };

/// What the Content-Type says about the page: text, surely not text, or nothing either way.
Kind kindOf(const std::string& type) {
    if (type.empty() || type == "application/octet-stream") {
        return Kind::ByBytes;
    }
    if (type.starts_with("text/") || type.ends_with("+xml") || type.ends_with("/xml") ||
        type.ends_with("/json") || type.ends_with("+json") || type.ends_with("javascript") ||
        type.ends_with("ecmascript")) {
        return Kind::Text;
    }
    for (const char* binary :
         {"image/", "audio/", "video/", "font/", "model/", "application/pdf", "application/zip",
          "application/gzip", "application/x-", "application/vnd.", "application/msword"}) {
        if (type.starts_with(binary)) {
            return Kind::Binary;
        }
    }
    return Kind::ByBytes;
}

bool looksLikeHtml(std::string_view start) {
    const std::string lower = asciiLower(start);
    return lower.find("<html") != std::string::npos ||
           lower.find("<!doctype html") != std::string::npos;
}

/// Size, digest and a look at the bytes of what a check hands over.
struct Facts {
    std::int64_t size = 0;
    std::string digest;
    bool zeroByte = false;
    std::string start; ///< the first bytes, for a look at what the page is
};

void take(Facts& facts, Sha256& sha, std::string_view piece) {
    sha.add(piece);
    facts.size += static_cast<std::int64_t>(piece.size());
    facts.zeroByte = facts.zeroByte || std::memchr(piece.data(), 0, piece.size()) != nullptr;
    if (facts.start.size() < kMaxHeader) {
        facts.start.append(piece.substr(0, kMaxHeader - facts.start.size()));
    }
}

/// Hands the file's blocks to `take` until its end; 0, or the errno of a failed read or of a
/// `take` that returned false.
template <typename Take>
int readBlocks(int fd, Take take) {
    std::string buffer(kBlock, '\0');
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : 0;
        }
        if (!take(std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
            return errno;
        }
    }
}

/// 0, or the errno of the failure.
int examine(const HistoryEntry& entry, Facts& facts) {
    Sha256 sha;
    if (entry.file.empty()) {
        take(facts, sha, entry.bytes);
    } else {
        const FileDescriptor fd(openRegularFile(systemPath(entry.file), nullptr, O_NOFOLLOW));
        if (fd < 0) {
            return errno;
        }
        if (const int error = readBlocks(fd, [&](std::string_view block) {
                take(facts, sha, block);
                return true;
            })) {
            return error;
        }
    }
    if (const auto digest = sha.digest()) {
        facts.digest = Sha256::hex(*digest);
    }
    return 0;
}

/// Copies `size` bytes of the file at `path` to `out`; 0 or the errno (EIO when the file is no
/// longer that size).
int copyFile(const std::string& path, int out, std::int64_t size) {
    const FileDescriptor in(openRegularFile(systemPath(path), nullptr, O_NOFOLLOW));
    if (in < 0) {
        return errno;
    }
    std::int64_t copied = 0;
    if (const int error = readBlocks(in, [&](std::string_view block) {
            copied += static_cast<std::int64_t>(block.size());
            return writeAll(out, block);
        })) {
        return error;
    }
    return copied == size ? 0 : EIO;
}

std::string timeLabel(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
    return text;
}

std::string problemText(const std::string& fileName, std::time_t checkedAt,
                        const std::string& reason) {
    return jp("履歴の版 ") + timeLabel(checkedAt) + " (" + fileName + jp(") を読み込めません: ") +
           reason;
}

/// Opens a folder without following a symbolic link at its last name; -1 with errno.
int openFolder(const std::string& diskPath) {
    return ::open(diskPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int openFolderAt(int parent, const std::string& name) {
    return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

/// The names in an open folder ("." and ".." left out); the descriptor stays open.
std::vector<std::string> namesIn(int folder) {
    std::vector<std::string> names;
    const int copy = ::dup(folder);
    if (copy < 0) {
        return names;
    }
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return names;
    }
    ::rewinddir(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

/// Opens a version file for reading: no link followed, no FIFO waited for, regular files only.
/// -1 with the reason for the user in `reason`.
int openVersion(int folder, const std::string& name, struct stat& info, std::string& reason) {
    const int fd =
        ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        reason = errno == ELOOP ? jp("シンボリックリンクです") : systemErrorText(errno);
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        reason = jp("通常のファイルではありません");
        return -1;
    }
    return fd;
}

/// Reads up to `limit` bytes from the start of `fd`; 0 or the errno.
int readStart(int fd, std::string& data, std::size_t limit) {
    data.assign(limit, '\0');
    std::size_t filled = 0;
    while (filled < limit) {
        const ssize_t got =
            ::pread(fd, data.data() + filled, limit - filled, static_cast<off_t>(filled));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    data.resize(filled);
    return 0;
}

/// Removes every entry of an open folder (files, links, anything but subfolders).
void emptyFolder(int folder) {
    for (const std::string& name : namesIn(folder)) {
        ::unlinkat(folder, name.c_str(), 0);
    }
}

/// The last name of a path on disk.
std::string lastName(const std::string& diskPath) {
    const std::size_t slash = diskPath.rfind('/');
    return slash == std::string::npos ? diskPath : diskPath.substr(slash + 1);
}

} // namespace

HistoryStore::HistoryStore(std::string dataFolder, HistoryLimits limits)
    : m_dataFolder(std::move(dataFolder)), m_limits(limits) {}

HistoryStore::~HistoryStore() = default;

std::string HistoryStore::keyOf(const std::string& compareFile) {
    const std::string name = fileNameOf(compareFile);
    return validKey(name) ? name : std::string();
}

std::string HistoryStore::folder() const {
    return m_dataFolder + "/history";
}

std::string HistoryStore::keyFolder(const std::string& key) const {
    return folder() + "/" + key;
}

std::int64_t HistoryStore::totalBytes() {
    const std::lock_guard lock(m_mutex);
    buildIndex();
    return m_total;
}

bool HistoryStore::has(const std::string& key) {
    const std::lock_guard lock(m_mutex);
    buildIndex();
    const auto it = m_items.find(key);
    return it != m_items.end() && !it->second.empty();
}

void HistoryStore::buildIndex() {
    if (m_indexed) {
        return;
    }
    m_indexed = true;
    const FileDescriptor top(openFolder(systemPath(folder())));
    if (top < 0) {
        return;
    }
    for (const std::string& diskKey : namesIn(top)) {
        const FileDescriptor item(openFolderAt(top, diskKey));
        if (item < 0) {
            continue;
        }
        const std::string key = textPath(diskKey);
        for (const std::string& name : namesIn(item)) {
            if (name.starts_with(kTempPrefix)) {
                // Left by a write that a crash cut off; only this writer makes them.
                ::unlinkat(item, name.c_str(), 0);
                continue;
            }
            const auto parsed = parseVersionName(name);
            struct stat info {};
            if (!parsed || ::fstatat(item, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            // Whatever stands under a version's name counts against the limits, so that even
            // a damaged one is pruned in its turn.
            const std::int64_t bytes = S_ISREG(info.st_mode) ? info.st_size : 0;
            m_items[key][parsed->first] = Kept{parsed->second, bytes};
            m_byAge.emplace(parsed->second, parsed->first, key);
            m_total += bytes;
        }
    }
}

void HistoryStore::forget(const std::string& key, std::int64_t serial) {
    const auto item = m_items.find(key);
    if (item == m_items.end()) {
        return;
    }
    const auto version = item->second.find(serial);
    if (version == item->second.end()) {
        return;
    }
    m_byAge.erase(Age{version->second.checkedAt, serial, key});
    m_total -= version->second.bytes;
    item->second.erase(version);
    if (item->second.empty()) {
        m_items.erase(item);
        ::rmdir(systemPath(keyFolder(key)).c_str());
    }
}

void HistoryStore::removeVersion(const std::string& key, std::int64_t serial) {
    const auto item = m_items.find(key);
    if (item == m_items.end() || !item->second.contains(serial)) {
        return;
    }
    const std::string name = versionName(serial, item->second[serial].checkedAt);
    const FileDescriptor folderFd(openFolder(systemPath(keyFolder(key))));
    if (folderFd >= 0) {
        ::unlinkat(folderFd, name.c_str(), 0);
    }
    forget(key, serial);
}

void HistoryStore::prune(const std::string& key, std::int64_t keep) {
    while (m_items.contains(key) &&
           static_cast<std::int64_t>(m_items[key].size()) > m_limits.versions) {
        removeVersion(key, m_items[key].begin()->first);
    }
    // Over the total, the oldest versions of all items go first; each item's newest goes only
    // when no older one is left, so that an item's next change still has something to be
    // compared with. The version just written stays in any case.
    while (m_total > m_limits.maxBytes) {
        std::optional<Age> victim;
        std::optional<Age> newestVictim;
        for (const Age& age : m_byAge) {
            const auto& [checkedAt, serial, owner] = age;
            if (owner == key && serial == keep) {
                continue;
            }
            if (m_items[owner].rbegin()->first != serial) {
                victim = age;
                break;
            }
            if (!newestVictim) {
                newestVictim = age;
            }
        }
        if (!victim) {
            victim = newestVictim;
        }
        if (!victim) {
            break;
        }
        removeVersion(std::get<2>(*victim), std::get<1>(*victim));
    }
}

std::string HistoryStore::record(const std::string& key, const HistoryEntry& entry) {
    if (m_limits.versions <= 0) {
        return {};
    }
    const std::string failed = jp("変更履歴を保存できませんでした: ");
    if (!validKey(key)) {
        return failed + jp("項目に比較用のファイル名がありません");
    }
    Facts facts;
    if (const int error = examine(entry, facts); error != 0) {
        return failed + systemErrorText(error);
    }

    HistoryVersion version;
    version.checkedAt = entry.checkedAt;
    version.area = entry.area;
    version.size = facts.size;
    version.digest = facts.digest;
    const std::string type = mediaType(entry.contentType);
    const Kind kind = entry.area ? Kind::Text : kindOf(type);
    version.text = kind == Kind::Text || (kind == Kind::ByBytes && !facts.zeroByte);
    version.codePage = version.text ? entry.codePage : 0;
    version.html = version.text && !entry.area &&
                   (type == "text/html" || type == "application/xhtml+xml" ||
                    (kind == Kind::ByBytes && looksLikeHtml(facts.start)));
    // A page larger than all the history may hold would push out everything else.
    version.stored = version.text && facts.size <= m_limits.maxBytes;

    const std::lock_guard lock(m_mutex);
    buildIndex();
    std::int64_t serial = 1;
    if (const auto item = m_items.find(key); item != m_items.end() && !item->second.empty()) {
        serial = item->second.rbegin()->first + 1;
        // The same bytes again (a first check after a change already kept): nothing new.
        const std::string newest =
            versionName(item->second.rbegin()->first, item->second.rbegin()->second.checkedAt);
        for (const HistoryVersion& v : versions(key)) {
            if (v.fileName == newest && !v.digest.empty() && v.digest == version.digest &&
                v.size == version.size && v.stored == version.stored) {
                return {};
            }
        }
    }

    const std::string top = systemPath(folder());
    const std::string diskFolder = systemPath(keyFolder(key));
    for (const std::string& path : {top, diskFolder}) {
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            return failed + systemErrorText(errno);
        }
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return failed + jp("履歴のフォルダが通常のフォルダではありません");
        }
    }

    const std::string name = versionName(serial, version.checkedAt);
    const std::string target = diskFolder + "/" + name;
    std::string temp = diskFolder + "/" + kTempPrefix + "XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return failed + systemErrorText(errno);
    }
    const std::string head = header(version);
    int error = ::fchmod(fd, 0600) == 0 && writeAll(fd, head) ? 0 : errno;
    if (error == 0 && version.stored) {
        if (entry.file.empty()) {
            error = writeAll(fd, entry.bytes) ? 0 : errno;
        } else {
            error = copyFile(entry.file, fd, version.size);
        }
    }
    if (error != 0) {
        ::close(fd);
    } else if (!commitReplacement(fd, temp, target)) {
        error = errno != 0 ? errno : EIO;
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        return failed + systemErrorText(error);
    }

    const std::int64_t bytes =
        static_cast<std::int64_t>(head.size()) + (version.stored ? version.size : 0);
    m_items[key][serial] = Kept{version.checkedAt, bytes};
    m_byAge.emplace(version.checkedAt, serial, key);
    m_total += bytes;
    prune(key, serial);
    return {};
}

std::vector<HistoryVersion> HistoryStore::versions(const std::string& key,
                                                   std::vector<std::string>* problems) const {
    std::vector<HistoryVersion> found;
    if (!validKey(key)) {
        return found;
    }
    const FileDescriptor top(openFolder(systemPath(folder())));
    if (top < 0) {
        return found;
    }
    const FileDescriptor item(openFolderAt(top, lastName(systemPath(keyFolder(key)))));
    if (item < 0) {
        return found;
    }
    std::vector<std::pair<std::pair<std::int64_t, std::time_t>, std::string>> names;
    for (const std::string& name : namesIn(item)) {
        if (const auto parsed = parseVersionName(name)) {
            names.emplace_back(*parsed, name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const auto& [parsed, name] : names) {
        auto problem = [&, &name = name, &parsed = parsed](const std::string& reason) {
            if (problems) {
                problems->push_back(problemText(name, parsed.second, reason));
            }
        };
        struct stat info {};
        std::string reason;
        const FileDescriptor fd(openVersion(item, name, info, reason));
        if (fd < 0) {
            problem(reason);
            continue;
        }
        std::string start;
        if (const int error = readStart(fd, start, kMaxHeader + 2); error != 0) {
            problem(systemErrorText(error));
            continue;
        }
        HistoryVersion v;
        const auto bodyAt = parseHeader(start, v);
        if (!bodyAt) {
            problem(jp("履歴のファイルではないか、壊れています"));
            continue;
        }
        const std::int64_t expected =
            static_cast<std::int64_t>(*bodyAt) + (v.stored ? v.size : std::int64_t{0});
        if (info.st_size < expected) {
            problem(jp("途中で切れています"));
            continue;
        }
        if (info.st_size > expected) {
            problem(jp("壊れています（長さが合いません）"));
            continue;
        }
        v.serial = parsed.first;
        v.fileName = name;
        found.push_back(std::move(v));
    }
    return found;
}

std::optional<std::string> HistoryStore::read(const std::string& key, const HistoryVersion& version,
                                              std::string* error) const {
    const std::string name = version.fileName.empty()
                                 ? versionName(version.serial, version.checkedAt)
                                 : version.fileName;
    auto fail = [&](const std::string& reason) -> std::optional<std::string> {
        if (error) {
            *error = problemText(name, version.checkedAt, reason);
        }
        return std::nullopt;
    };
    if (!version.stored) {
        return fail(jp("この版は大きさとハッシュだけが記録されています"));
    }
    if (!validKey(key)) {
        return fail(systemErrorText(ENOENT));
    }
    const FileDescriptor top(openFolder(systemPath(folder())));
    const FileDescriptor item(top < 0 ? -1
                                      : openFolderAt(top, lastName(systemPath(keyFolder(key)))));
    if (item < 0) {
        return fail(systemErrorText(errno));
    }
    struct stat info {};
    std::string reason;
    const FileDescriptor fd(openVersion(item, name, info, reason));
    if (fd < 0) {
        return fail(reason);
    }
    std::string data;
    if (const int failure =
            readToEnd(fd, data, static_cast<std::size_t>(version.size) + kMaxHeader + 2);
        failure != 0) {
        return fail(failure == EFBIG ? jp("壊れています（長さが合いません）")
                                     : systemErrorText(failure));
    }
    HistoryVersion onDisk;
    const auto bodyAt = parseHeader(data, onDisk);
    if (!bodyAt) {
        return fail(jp("履歴のファイルではないか、壊れています"));
    }
    if (static_cast<std::int64_t>(data.size() - *bodyAt) != onDisk.size) {
        return fail(data.size() - *bodyAt < static_cast<std::size_t>(onDisk.size)
                        ? jp("途中で切れています")
                        : jp("壊れています（長さが合いません）"));
    }
    data.erase(0, *bodyAt);
    if (!onDisk.digest.empty()) {
        Sha256 sha;
        sha.add(data);
        if (const auto digest = sha.digest(); digest && Sha256::hex(*digest) != onDisk.digest) {
            return fail(jp("内容が壊れています（ハッシュが一致しません）"));
        }
    }
    return data;
}

void HistoryStore::remove(const std::string& key) {
    if (!validKey(key)) {
        return;
    }
    const std::lock_guard lock(m_mutex);
    const std::string diskFolder = systemPath(keyFolder(key));
    if (const FileDescriptor item(openFolder(diskFolder)); item >= 0) {
        emptyFolder(item);
    }
    // A link in the folder's place goes itself; what it points to is left alone.
    if (::rmdir(diskFolder.c_str()) != 0 && errno == ENOTDIR) {
        ::unlink(diskFolder.c_str());
    }
    if (const auto it = m_items.find(key); it != m_items.end()) {
        for (const auto& [serial, kept] : it->second) {
            m_byAge.erase(Age{kept.checkedAt, serial, key});
            m_total -= kept.bytes;
        }
        m_items.erase(it);
    }
}

bool HistoryStore::rename(const std::string& from, const std::string& to) {
    if (!validKey(from) || !validKey(to) || from == to) {
        return false;
    }
    remove(to);
    const std::lock_guard lock(m_mutex);
    const std::string fromDisk = systemPath(keyFolder(from));
    struct stat info {};
    if (::lstat(fromDisk.c_str(), &info) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(info.st_mode) ||
        ::rename(fromDisk.c_str(), systemPath(keyFolder(to)).c_str()) != 0) {
        return false;
    }
    syncFolderOf(fromDisk);
    if (const auto it = m_items.find(from); it != m_items.end()) {
        for (const auto& [serial, kept] : it->second) {
            m_byAge.erase(Age{kept.checkedAt, serial, from});
            m_byAge.emplace(kept.checkedAt, serial, to);
        }
        m_items[to] = std::move(it->second);
        m_items.erase(from);
    }
    return true;
}

} // namespace tw
