#include "core/links/LinkListFile.h"

#include "core/links/LinkCollection.h"
#include "core/links/LinkRecords.h"
#include "core/platform/Sha256.h"
#include "core/ports/Prompter.h"
#include "core/util/Cp932.h"
#include "core/util/Cp932Scan.h"
#include "core/util/ErrorText.h"
#include "core/util/FileDescriptor.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

std::string trimFolder(std::string folder) {
    while (!folder.empty() && (folder.back() == ' ' || folder.back() == '\t')) {
        folder.pop_back();
    }
    // Only a real separator: the last byte of a double-byte name may be a "\".
    while (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/') &&
           fileNameOf(folder).empty()) {
        folder.pop_back();
    }
    return folder;
}

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    return line;
}

bool isBlank(std::string_view line) {
    return std::all_of(line.begin(), line.end(),
                       [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; });
}

/// Reads a list file line by line as it streams past: collects each whole record block as it
/// stands, and notices what the record reader would pass over: a block cut off (a sibling that
/// died in mid-append), a block opened inside another or a line run into the next opening line
/// (the next append after such a cut), or lines outside any block.
class ListReader {
public:
    explicit ListReader(LinkRecords& records) : m_records(records) {}

    void feed(std::string_view data) {
        while (!data.empty()) {
            const auto end = data.find('\n');
            if (end == std::string_view::npos) {
                m_partial.append(data);
                return;
            }
            if (m_partial.empty()) {
                line(data.substr(0, end + 1), true);
            } else {
                m_partial.append(data.substr(0, end + 1));
                line(m_partial, true);
                m_partial.clear();
            }
            data.remove_prefix(end + 1);
        }
    }
    void finish() {
        if (!m_partial.empty()) {
            line(m_partial, false);
            m_partial.clear();
        }
    }
    /// True when the reader passed over something.
    bool losesRecords() const { return m_damaged || m_inside; }

private:
    /// One line as read, with its line feed when `ended`.
    void line(std::string_view raw, bool ended) {
        const std::string_view content = ended ? raw.substr(0, raw.size() - 1) : raw;
        checkDamage(content, ended);
        // The record reader's line: a CR LF end counts as LF, and its frame lines are whole.
        std::string_view read = content;
        if (ended && !read.empty() && read.back() == '\r') {
            read.remove_suffix(1);
        }
        const std::string_view open = withoutLineEnd(FetchSettings::kOpenLine);
        const std::string_view close = withoutLineEnd(FetchSettings::kCloseLine);
        if (!m_inBlock) {
            if (ended && read == open) {
                m_inBlock = true;
                m_block.assign(raw);
            }
            return;
        }
        m_block.append(raw);
        if (ended && read == close) {
            m_records.appendText(m_block);
            m_inBlock = false;
        }
    }

    void checkDamage(std::string_view raw, bool ended) {
        const std::string_view open = withoutLineEnd(FetchSettings::kOpenLine);
        const std::string_view close = withoutLineEnd(FetchSettings::kCloseLine);
        const std::string_view line = withoutLineEnd(raw);
        // A cut line runs into the next record's opening line; text outside a record is no
        // part of the list.
        const bool cut = (line.find(open) != std::string_view::npos && line != open) ||
                         (line.find(close) != std::string_view::npos && line != close);
        if (line == open && !cut) {
            m_damaged = m_damaged || m_inside;
            m_inside = true;
        } else if (line == close && !cut && m_inside && ended) {
            m_inside = false;
        } else if (cut || (!m_inside && !isBlank(line))) {
            m_damaged = true;
        }
    }

    LinkRecords& m_records;
    std::string m_partial;
    std::string m_block;
    bool m_inBlock = false;
    bool m_inside = false;
    bool m_damaged = false;
};

/// Reads `in` from `offset`, at most `limit` bytes (-1: to its end), handing each block to
/// `take`. The bytes read, or -1 when reading failed or `take` refused a block.
template <typename Take>
std::int64_t readRange(int in, std::int64_t offset, std::int64_t limit, Take take) {
    std::string block(kBlockBytes, '\0');
    std::int64_t done = 0;
    while (limit < 0 || done < limit) {
        const std::size_t want = limit < 0 ? block.size()
                                           : static_cast<std::size_t>(std::min<std::int64_t>(
                                                 limit - done, std::int64_t(block.size())));
        const ssize_t got = ::pread(in, block.data(), want, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        if (!take(std::string_view(block.data(), static_cast<std::size_t>(got)))) {
            return -1;
        }
        done += got;
    }
    return done;
}

/// True for `stem` + `ext`, or `stem` + "_" + digits + `ext`.
bool isNumberedName(std::string_view name, std::string_view stem, std::string_view ext) {
    if (name.size() < stem.size() + ext.size() || !name.starts_with(stem) || !name.ends_with(ext)) {
        return false;
    }
    const std::string_view counter =
        name.substr(stem.size(), name.size() - stem.size() - ext.size());
    if (counter.empty()) {
        return true;
    }
    return counter.size() > 1 && counter.front() == '_' &&
           std::all_of(counter.begin() + 1, counter.end(),
                       [](char ch) { return ch >= '0' && ch <= '9'; });
}

} // namespace

LinkListFile::LinkListFile(Prompter* prompter) : m_prompter(prompter) {}

LinkListFile::~LinkListFile() {
    releaseLocks();
}

std::string LinkListFile::pathOf(const std::string& name) const {
    return m_folder + "/" + name;
}

std::string LinkListFile::linkPath(const std::string& name) const {
    return usableFileName(name) ? pathOf(name) : std::string();
}

// --- Locks ---

std::string& LinkListFile::heldLock(LockKind kind) {
    return kind == LockKind::Dialog ? m_heldDialogLock : m_heldAppendLock;
}

const std::string& LinkListFile::heldLock(LockKind kind) const {
    return kind == LockKind::Dialog ? m_heldDialogLock : m_heldAppendLock;
}

std::string LinkListFile::lockPath(LockKind kind) const {
    return pathOf(kind == LockKind::Dialog ? kDialogLockName : kAppendLockName);
}

std::string LinkListFile::listPath() const {
    return pathOf(kListName);
}

std::string LinkListFile::holderLine(std::time_t now) {
    return std::string(kHolderName) + "[" + std::to_string(static_cast<long long>(now)) + "]";
}

int LinkListFile::acquireLock(LockKind kind) {
    if (m_folder.empty()) {
        errno = ENOENT;
        return 0;
    }
    const std::string path = lockPath(kind);
    // One step: of two programs that try at once, exactly one creates the file.
    const int fd = ::open(systemPath(path).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return 0; // errno says why: EEXIST when another program holds it
    }
    writeAll(fd, holderLine(std::time(nullptr))); // only the file's existence counts
    ::close(fd);
    heldLock(kind) = path;
    return 1;
}

void LinkListFile::releaseLock(LockKind kind) {
    std::string& held = heldLock(kind);
    if (!held.empty()) {
        ::unlink(systemPath(held).c_str());
        held.clear();
    }
}

void LinkListFile::releaseLocks() {
    releaseLock(LockKind::Append);
    releaseLock(LockKind::Dialog);
}

void LinkListFile::breakLock(LockKind kind) {
    ::unlink(systemPath(lockPath(kind)).c_str());
    acquireLock(kind);
}

bool LinkListFile::holdsLock(LockKind kind) const {
    return !heldLock(kind).empty();
}

std::string LinkListFile::lockHolder(LockKind kind) const {
    // A line for people: a FIFO or a huge file in its place is no holder's line.
    std::string line;
    if (m_folder.empty() || readRegularFile(lockPath(kind), line, 4096) != 0) {
        return {};
    }
    return line;
}

// --- Load and save ---

int LinkListFile::lockFolder(const std::string& folder, bool force) {
    // Whatever an earlier load held is this list's own; a refused load must hold nothing, so
    // that it deletes nobody's lock later.
    releaseLocks();
    m_loadedFileSize = 0;
    m_loadedDigest = Sha256().digest();
    m_loadedDamaged = false;
    m_cancelLoad = false;
    m_loadProgress = 0;
    m_loadSize = 0;
    m_folder = trimFolder(folder);
    // Its damaged copy is save()'s own (keepAside): of the file as it is then, tail included.
    m_list = ProgramFile(listPath(), 0600, pathOf(kDamagedName));

    if (!acquireLock(LockKind::Dialog)) {
        if (!force) {
            return 0;
        }
        breakLock(LockKind::Dialog);
    }
    if (!acquireLock(LockKind::Append)) {
        if (!force) {
            releaseLock(LockKind::Dialog);
            return 0;
        }
        breakLock(LockKind::Append);
    }
    return 1;
}

int LinkListFile::readList(LinkRecords& records) {
    const int result = readListFile(records);
    releaseLock(LockKind::Append);
    if (result != 1) {
        // Nothing of this folder is shown: its file and its other dialogs are left alone.
        m_list.refuse();
        records.clear();
        releaseLock(LockKind::Dialog);
    }
    return result;
}

int LinkListFile::readListFile(LinkRecords& records) {
    const std::string path = listPath();
    const auto unreadable = [&](int error) {
        tell(jp("リンクリストファイルを読み込めませんでした。\n") + systemErrorText(error) + "\n" +
             path);
        return -1;
    };
    struct stat status {};
    const int fd = m_list.open(&status);
    if (fd < 0) {
        return errno == ENOENT ? 1 : unreadable(errno);
    }
    const FileDescriptor closer(fd);
    const std::string tooLarge =
        jp("リンクリストファイルが大きすぎるため読み込めません（上限" +
           std::to_string(kMaxListBytes >> 20) +
           "MB）。\nこのフォルダのリンクは表示せず、ファイルも書き換えません。\n") +
        path;
    if (status.st_size > kMaxListBytes) {
        tell(tooLarge);
        return -1;
    }
    m_loadSize = status.st_size;

    records.clear();
    // Record text is never longer than the file, and the room left for edits costs no memory
    // until it is used: a changed link does not copy the whole text to a buffer twice its size.
    records.reserve(static_cast<std::size_t>(status.st_size + status.st_size / 4) + kBlockBytes);
    ListReader reader(records);
    Sha256 digest;
    std::int64_t size = 0;
    bool cancelled = false;
    const std::int64_t read = readRange(fd, 0, kMaxListBytes + 1, [&](std::string_view block) {
        if (m_cancelLoad) {
            cancelled = true;
            return false;
        }
        digest.add(block);
        reader.feed(block);
        size += static_cast<std::int64_t>(block.size());
        m_loadProgress = size;
        return true;
    });
    if (cancelled) {
        return -1;
    }
    if (read < 0) {
        return unreadable(errno);
    }
    if (read > kMaxListBytes) { // it grew while it was read
        tell(tooLarge);
        return -1;
    }
    reader.finish();
    m_loadedFileSize = read;
    m_loadedDigest = digest.digest();
    m_loadedDamaged = reader.losesRecords();
    return 1;
}

void LinkListFile::setBusyQuestion(BusyQuestion question) {
    m_busyQuestion = std::move(question);
}

LinkListFile::BusyAnswer LinkListFile::askBusy() {
    const std::string text =
        jp("更新データファイルが他の作業で使用中です。\nデータを強制的に書き出しますか？\n");
    if (m_busyQuestion) {
        return m_busyQuestion(text);
    }
    if (m_prompter) {
        return m_prompter->ask(text) ? BusyAnswer::Yes : BusyAnswer::Cancel;
    }
    return BusyAnswer::Cancel;
}

void LinkListFile::tell(const std::string& text, bool warning) {
    if (m_prompter) {
        m_prompter->showMessage(text, warning ? Prompter::Icon::Warning : Prompter::Icon::Error);
    }
}

int LinkListFile::save(LinkCollection& links) {
    if (!links.isDirty()) {
        releaseLock(LockKind::Dialog);
        return 0;
    }
    // A refused load leaves the folder to whoever holds it.
    if (!isLoaded()) {
        return -1;
    }
    while (!acquireLock(LockKind::Append)) {
        if (errno != EEXIST) {
            break; // the folder refuses the lock file: writing says why
        }
        if (::access(systemPath(lockPath(LockKind::Append)).c_str(), F_OK) != 0 &&
            errno == ENOENT) {
            continue; // released just now: take it, unless another program was quicker
        }
        const BusyAnswer answer = askBusy();
        if (answer == BusyAnswer::Cancel) {
            return -1;
        }
        if (answer == BusyAnswer::Yes) {
            break; // written without the lock; the other program's lock file stays
        }
    }
    const int result = writeList(links);
    releaseLocks();
    if (result == 0) {
        links.markSaved();
    }
    return result;
}

bool LinkListFile::keepAside(int file, bool rewritten) {
    // The file as it is now, read from the open file that was checked: the loaded bytes and
    // whatever was appended or rewritten since.
    std::string copy;
    const int out = createFreeFile(pathOf(kDamagedName), 0600, copy);
    bool kept = out >= 0;
    if (kept) {
        if (readRange(file, 0, -1, [out](std::string_view block) { return writeAll(out, block); }) <
            0) {
            ::close(out);
            kept = false;
        } else {
            kept = finishFile(out, systemPath(copy));
        }
        if (!kept) {
            ::unlink(systemPath(copy).c_str());
        }
    }
    if (!kept) {
        tell((rewritten ? jp("リンクリストファイルが他のプログラムに書き換えられていますが、"
                             "その控えを保存できませんでした。\n保存を中止しました。\n")
                        : jp("リンクリストファイルの一部が壊れていますが、その控えを保存でき"
                             "ませんでした。\n保存を中止しました。\n")) +
             copy);
        return false;
    }
    m_damagedCopy = copy;
    tell((rewritten ? jp("リンクリストファイルが読み込んだ後に他のプログラムに書き換えられていたた"
                         "め、編集したリンクだけを保存しました。\n書き換えられたファイルは次の名前"
                         "で保存してあります。\n")
                    : jp("リンクリストファイルの一部が壊れていたため、読み込めませんでした。\n"
                         "元のファイルは次の名前で保存してあります。\n")) +
             copy,
         true);
    return true;
}

int LinkListFile::writeList(const LinkCollection& links) {
    const std::string target = listPath();
    const std::string diskFault = jp("ディスクの異常を検知しました。\n保存できませんでした。");
    struct stat oldStatus {};
    const int old = openRegularFile(systemPath(target), &oldStatus);
    // What kept the old list from being read; the disk is seldom at fault, so the message
    // names it.
    int readError = old < 0 ? errno : 0;
    // A list that cannot be checked is not replaced: the new one is kept beside it. A folder in
    // its place leaves nothing to merge, and the rename says why.
    const bool unchecked =
        old < 0 && errno != ENOENT && !(errno == EISDIR && S_ISDIR(oldStatus.st_mode));
    const FileDescriptor closeOld(old);
    // Bytes past the loaded size count as appended only while the bytes before them are still
    // the ones loaded: a list another program rewrote is no list with a tail.
    bool rewritten = false;
    bool prefixUnread = false;
    if (old >= 0) {
        Sha256 prefix;
        const std::int64_t read = readRange(old, 0, m_loadedFileSize, [&](auto block) {
            prefix.add(block);
            return true;
        });
        prefixUnread = read < 0;
        readError = prefixUnread ? errno : 0;
        // Without a digest (libcrypto missing) nothing proves the bytes unchanged: the old file is
        // kept aside rather than taken as the head of the new one.
        const std::optional<Digest> prefixDigest = prefix.digest();
        rewritten = !prefixUnread && (read < m_loadedFileSize || !prefixDigest || !m_loadedDigest ||
                                      *prefixDigest != *m_loadedDigest);
        // Records the reader passed over would be gone after this save: keep the file as it is.
        if (rewritten || (m_loadedDamaged && !prefixUnread)) {
            if (!keepAside(old, rewritten)) {
                return -1;
            }
            m_loadedDamaged = false;
        }
    }

    std::string temp;
    const int fd = createFreeFile(pathOf(kTempListName), 0600, temp);
    if (fd < 0) {
        tell(jp("リンクリストを書き出せませんでした。"));
        return -1;
    }
    if (old >= 0) {
        ::fchmod(fd, oldStatus.st_mode & 0777);
    }
    const auto keptAside = [&] {
        return "\n" + jp("新しいリンクリストは次の名前で残してあります。\n") + temp;
    };
    Sha256 digest;
    std::int64_t size = 0;
    const auto put = [&](std::string_view bytes) {
        digest.add(bytes);
        size += static_cast<std::int64_t>(bytes.size());
        return writeAll(fd, bytes);
    };
    bool written = true;
    std::string buffer;
    for (int index = 0, total = links.count(); written && index < total; ++index) {
        links.appendText(index, buffer);
        if (buffer.size() >= kBlockBytes || index + 1 == total) {
            written = put(buffer);
            buffer.clear();
        }
    }
    if (!written) {
        ::close(fd);
        ::unlink(systemPath(temp).c_str());
        tell(jp("リンクリストを書き出せませんでした。"));
        return -1;
    }
    // Whatever was appended meanwhile, from the same open file that was checked.
    if (unchecked || prefixUnread ||
        (old >= 0 && !rewritten && readRange(old, m_loadedFileSize, -1, put) < 0)) {
        const int error = unchecked || prefixUnread ? readError : errno;
        ::close(fd);
        tell(diskFault + "\n" + jp("理由: ") + systemErrorText(error) + keptAside());
        return -1;
    }
    // One rename replaces the file: a reader or a crash sees the old list or the new one.
    if (!commitReplacement(fd, systemPath(temp), systemPath(target))) {
        tell(jp("リンクリストを書き出せませんでした。") + keptAside());
        return -1;
    }
    m_loadedFileSize = size;
    m_loadedDigest = digest.digest();
    return 0;
}

// --- File names ---

bool LinkListFile::usableFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && !isOwnFileName(name);
}

bool LinkListFile::isOwnFileName(const std::string& name) {
    std::string lower = asciiLower(name);
    // A Windows file system drops trailing dots and blanks: "brl.hlk." is the list there.
    while (!lower.empty() && (lower.back() == '.' || lower.back() == ' ')) {
        lower.pop_back();
    }
    return lower == kListName || lower == kDialogLockName || lower == kAppendLockName ||
           isNumberedName(lower, "tmp", ".hlk") || isNumberedName(lower, "brl.hlk", ".damaged") ||
           isNumberedName(lower, "temp", ".tmp") || isNumberedName(lower, "temp", ".html") ||
           isNumberedName(lower, "temp", ".htm");
}

LinkListFile::NameCheck LinkListFile::checkFileName(const std::string& name) const {
    // "表" ends in the byte of "\": only a separator of its own makes a name unusable.
    if (!usableFileName(name) || findFirstCp932(name, "/\\") != std::string::npos ||
        name.find('\0') != std::string::npos || name.front() == '-' || m_folder.empty()) {
        return NameCheck::Unusable;
    }
    const std::string path = systemPath(pathOf(name));
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        return S_ISREG(status.st_mode) ? NameCheck::Exists : NameCheck::Unusable;
    }
    // The name's length on disk, where a double-byte character takes three bytes.
    const std::string folder = systemPath(m_folder);
    const std::size_t diskName = path.size() - path.rfind('/') - 1;
    const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (diskName > static_cast<std::size_t>(longest > 0 ? longest : NAME_MAX) ||
        ::access(folder.c_str(), W_OK | X_OK) != 0) {
        return NameCheck::Unusable;
    }
    return NameCheck::Usable;
}

std::string LinkListFile::effectiveFolder(const std::string& stored,
                                          const std::string& downloadFolder) {
    std::string trimmed = trimFolder(stored);
    while (!trimmed.empty() && trimmed.back() == '\\') {
        trimmed.pop_back();
    }
    if (trimmed.empty() || equalsIgnoringAsciiCase(trimmed, kDefaultFolder)) {
        return downloadFolder;
    }
    return stored;
}

} // namespace tw
