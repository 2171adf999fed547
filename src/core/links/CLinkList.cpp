#include "links/CLinkList.h"

#include "net/CFetch.h"
#include "net/FetchRequest.h"
#include "ports/Executor.h"
#include "ports/Prompter.h"
#include "util/Cp932.h"
#include "util/Cp932Scan.h"
#include "util/ErrorText.h"
#include "util/SafeFile.h"
#include "util/SystemPath.h"
#include "util/TextUtil.h"
#include "watch/CheckArea.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <numeric>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

/// Numbered names stop here: a folder holding this many variants of one name is not sane.
constexpr int kMaxNumber = 100000;
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

std::string trimFolder(std::string folder) {
    while (!folder.empty() && (folder.back() == ' ' || folder.back() == '\t')) {
        folder.pop_back();
    }
    // Only a real separator: the last byte of a double-byte name may be a "\".
    while (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/') &&
           CLinkList::cutFileName(folder).empty()) {
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
        // A cut line runs into the next record's opening line.
        if ((line.find(open) != std::string_view::npos && line != open) ||
            (line.find(close) != std::string_view::npos && line != close)) {
            m_damaged = true;
        } else if (line == open) {
            m_damaged = m_damaged || m_inside;
            m_inside = true;
        } else if (line == close && m_inside && ended) {
            m_inside = false;
        } else if (!m_inside && !isBlank(line)) {
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

/// SHA-256 of bytes fed in pieces.
class Sha256 {
public:
    Sha256() : m_context(EVP_MD_CTX_new()) {
        if (m_context) {
            EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr);
        }
    }
    void add(std::string_view bytes) {
        if (m_context) {
            EVP_DigestUpdate(m_context.get(), bytes.data(), bytes.size());
        }
    }
    std::array<unsigned char, 32> digest() {
        std::array<unsigned char, 32> digest{};
        unsigned int length = 0;
        if (m_context) {
            EVP_DigestFinal_ex(m_context.get(), digest.data(), &length);
        }
        return digest;
    }

private:
    struct Free {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> m_context;
};

/// Closes a file descriptor when it goes out of scope.
class FileCloser {
public:
    explicit FileCloser(int fd) : m_fd(fd) {}
    ~FileCloser() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    int m_fd;
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

/// `name` with the number `n` before its extension as free names are numbered (page.html,
/// page_1.html, page_2.html...); n = 0 is the name itself.
std::string numberedName(const std::string& name, int n) {
    if (n == 0) {
        return name;
    }
    const auto dot = name.rfind('.');
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    return stem + "_" + std::to_string(n) + ext;
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

/// Renames `from` to `to` unless `to` exists (errno EEXIST then).
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // A file system without the atomic form: test, then rename.
    struct stat status {};
    if (::lstat(to.c_str(), &status) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

std::string_view columnKey(CLinkList::Column column) {
    switch (column) {
    case CLinkList::Column::File:
        return "Dest: ";
    case CLinkList::Column::Name:
        return "Name: ";
    case CLinkList::Column::Address:
        break;
    }
    return "Targ: ";
}

} // namespace

CLinkList::CLinkList(Prompter* prompter) : m_prompter(prompter) {}

CLinkList::~CLinkList() {
    stopWorker(true);
    waitIdle();
    releaseLocks();
}

std::string CLinkList::pathOf(const std::string& name) const {
    return m_folder + "/" + name;
}

// --- Locks ---

std::string& CLinkList::heldLock(LockKind kind) {
    return kind == LockKind::Dialog ? m_heldDialogLock : m_heldAppendLock;
}

const std::string& CLinkList::heldLock(LockKind kind) const {
    return kind == LockKind::Dialog ? m_heldDialogLock : m_heldAppendLock;
}

std::string CLinkList::lockPath(LockKind kind) const {
    return pathOf(kind == LockKind::Dialog ? kDialogLockName : kAppendLockName);
}

std::string CLinkList::listPath() const {
    return pathOf(kListName);
}

std::string CLinkList::holderLine(std::time_t now) {
    return std::string(kHolderName) + "[" + std::to_string(static_cast<long long>(now)) + "]";
}

int CLinkList::acquireLock(LockKind kind) {
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

void CLinkList::releaseLock(LockKind kind) {
    std::string& held = heldLock(kind);
    if (!held.empty()) {
        ::unlink(systemPath(held).c_str());
        held.clear();
    }
}

void CLinkList::releaseLocks() {
    releaseLock(LockKind::Append);
    releaseLock(LockKind::Dialog);
}

void CLinkList::breakLock(LockKind kind) {
    ::unlink(systemPath(lockPath(kind)).c_str());
    acquireLock(kind);
}

bool CLinkList::holdsLock(LockKind kind) const {
    return !heldLock(kind).empty();
}

std::string CLinkList::lockHolder(LockKind kind) const {
    std::string line;
    if (m_folder.empty() || !readWholeFile(lockPath(kind), line)) {
        return {};
    }
    return line;
}

// --- Load and save ---

int CLinkList::load(const std::string& folder, bool force) {
    if (lockFolder(folder, force) == 0) {
        return 0;
    }
    return readList();
}

int CLinkList::lockFolder(const std::string& folder, bool force) {
    // Whatever an earlier load held is this list's own; a refused load must hold nothing, so
    // that it deletes nobody's lock later.
    releaseLocks();
    {
        std::lock_guard lock(m_mutex);
        m_links.clear();
        m_dirty = false;
    }
    m_loaded = false;
    m_loadedFileSize = 0;
    m_loadedDigest = Sha256().digest();
    m_loadedDamaged = false;
    m_cancelLoad = false;
    m_loadProgress = 0;
    m_loadSize = 0;
    m_folder = trimFolder(folder);

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

int CLinkList::readList() {
    const int result = readListFile();
    releaseLock(LockKind::Append);
    if (result != 1) {
        // Nothing of this folder is shown: its file and its other dialogs are left alone.
        std::lock_guard lock(m_mutex);
        m_links.clear();
        m_dirty = false;
    }
    if (result != 1) {
        releaseLock(LockKind::Dialog);
    }
    m_loaded = result == 1;
    return result;
}

int CLinkList::readListFile() {
    const std::string path = listPath();
    const auto unreadable = [&](int error) {
        tell(jp("リンクリストファイルを読み込めませんでした。\n") + systemErrorText(error) + "\n" +
             path);
        return -1;
    };
    const int fd = ::open(systemPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? 1 : unreadable(errno);
    }
    const FileCloser closer(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return unreadable(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return unreadable(EISDIR);
    }
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

    LinkRecords records;
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
    std::lock_guard lock(m_mutex);
    m_links = std::move(records);
    return 1;
}

void CLinkList::setBusyQuestion(BusyQuestion question) {
    m_busyQuestion = std::move(question);
}

CLinkList::BusyAnswer CLinkList::askBusy() {
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

void CLinkList::tell(const std::string& text, bool warning) {
    if (m_prompter) {
        m_prompter->showMessage(text, warning ? Prompter::Icon::Warning : Prompter::Icon::Error);
    }
}

int CLinkList::save() {
    if (!isDirty()) {
        releaseLock(LockKind::Dialog);
        return 0;
    }
    // A refused load leaves the folder to whoever holds it.
    if (!m_loaded) {
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
    const int result = writeList();
    releaseLocks();
    return result;
}

int CLinkList::createFree(const std::string& name, mode_t mode, std::string& created) const {
    // Exclusively, so that two savers never share one, and never through a link planted there.
    for (int n = 0; n < kMaxNumber; ++n) {
        created = pathOf(numberedName(name, n));
        const int fd = ::open(systemPath(created).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

bool CLinkList::keepAside(int file, bool rewritten) {
    std::string copy;
    const int out = createFree(kDamagedName, 0600, copy);
    bool kept = out >= 0;
    if (kept) {
        kept = readRange(file, 0, -1,
                         [out](std::string_view block) { return writeAll(out, block); }) >= 0 &&
               ::fsync(out) == 0;
        kept = ::close(out) == 0 && kept;
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

int CLinkList::writeList() {
    const std::string target = listPath();
    const std::string diskFault = jp("ディスクの異常を検知しました。\n保存できませんでした。");
    int old = ::open(systemPath(target).c_str(), O_RDONLY | O_CLOEXEC);
    // A list that cannot be checked is not replaced: the new one is kept beside it.
    bool unchecked = old < 0 && errno != ENOENT;
    const FileCloser closeOld(old);
    struct stat oldStatus {};
    if (old >= 0 && (::fstat(old, &oldStatus) != 0 || !S_ISREG(oldStatus.st_mode))) {
        unchecked = !S_ISDIR(oldStatus.st_mode);
        old = -1; // a folder in its place: nothing to merge, and the rename says why
    }
    // Bytes past the loaded size count as appended only while the bytes before them are still
    // the ones loaded: a list another program rewrote is no list with a tail.
    bool rewritten = false;
    if (old >= 0) {
        Sha256 prefix;
        const std::int64_t read = readRange(old, 0, m_loadedFileSize, [&](auto block) {
            prefix.add(block);
            return true;
        });
        unchecked = read < 0;
        rewritten = !unchecked && (read < m_loadedFileSize || prefix.digest() != m_loadedDigest);
        // Records the reader passed over would be gone after this save: keep the file as it is.
        if (rewritten || (m_loadedDamaged && !unchecked)) {
            if (!keepAside(old, rewritten)) {
                return -1;
            }
            m_loadedDamaged = false;
        }
    }

    std::string temp;
    const int fd = createFree(kTempListName, 0600, temp);
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
    for (int index = 0, links = count(); written && index < links; ++index) {
        {
            std::lock_guard lock(m_mutex);
            buffer.append(m_links.text(static_cast<std::size_t>(index)));
        }
        if (buffer.size() >= kBlockBytes || index + 1 == links) {
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
    if (unchecked || (old >= 0 && !rewritten && readRange(old, m_loadedFileSize, -1, put) < 0)) {
        ::close(fd);
        tell(diskFault + keptAside());
        return -1;
    }
    written = ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    // One rename replaces the file: a reader or a crash sees the old list or the new one.
    if (!written || ::rename(systemPath(temp).c_str(), systemPath(target).c_str()) != 0) {
        tell(jp("リンクリストを書き出せませんでした。") + keptAside());
        return -1;
    }
    m_loadedFileSize = size;
    m_loadedDigest = digest.digest();
    std::lock_guard lock(m_mutex);
    m_dirty = false;
    return 0;
}

// --- The links ---

bool CLinkList::isDirty() const {
    std::lock_guard lock(m_mutex);
    return m_dirty;
}

int CLinkList::count() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_links.size());
}

FetchSettings CLinkList::link(int index) const {
    std::lock_guard lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_links.size())) {
        return {};
    }
    FetchSettings link = m_links.record(static_cast<std::size_t>(index));
    link.destFile = cutFileName(link.destFile);
    return link;
}

std::vector<FetchSettings> CLinkList::links() const {
    std::vector<FetchSettings> links;
    for (int index = 0, total = count(); index < total; ++index) {
        links.push_back(link(index));
    }
    return links;
}

std::string CLinkList::text(int index, Column column) const {
    std::lock_guard lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_links.size())) {
        return {};
    }
    const std::string value(m_links.value(static_cast<std::size_t>(index), columnKey(column)));
    return column == Column::File ? cutFileName(value) : value;
}

std::string CLinkList::localPath(int index) const {
    std::string name;
    {
        std::lock_guard lock(m_mutex);
        if (index < 0 || index >= static_cast<int>(m_links.size())) {
            return {};
        }
        name = cutFileName(std::string(m_links.value(static_cast<std::size_t>(index), "Dest: ")));
    }
    if (!usableFileName(name)) {
        return {};
    }
    return pathOf(name);
}

std::string CLinkList::diskPath(int index) const {
    const std::string path = localPath(index);
    return path.empty() ? path : systemPath(path);
}

void CLinkList::replace(int index, const FetchSettings& record) {
    FetchSettings link = record;
    link.destFile = cutFileName(link.destFile);
    std::lock_guard lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_links.size())) {
        return;
    }
    m_links.set(static_cast<std::size_t>(index), link);
    m_dirty = true;
}

int CLinkList::remove(int index) {
    std::lock_guard lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_links.size())) {
        return 1;
    }
    m_links.erase(static_cast<std::size_t>(index));
    m_dirty = true;
    return 0;
}

int CLinkList::remove(const std::vector<int>& indices) {
    std::lock_guard lock(m_mutex);
    const auto outside = [this](int index) {
        return index < 0 || index >= static_cast<int>(m_links.size());
    };
    if (std::any_of(indices.begin(), indices.end(), outside) ||
        !std::is_sorted(indices.begin(), indices.end()) ||
        std::adjacent_find(indices.begin(), indices.end()) != indices.end()) {
        return 1;
    }
    if (!indices.empty()) {
        // One pass: removing a whole list of 700,000 links one by one would move it each time.
        m_links.erase(indices);
        m_dirty = true;
    }
    return 0;
}

int CLinkList::removeWithFile(int index) {
    const int result = removeFile(index);
    return result == 0 ? remove(index) : result;
}

int CLinkList::removeFile(int index) {
    if (index < 0 || index >= count()) {
        return 1;
    }
    const std::string path = localPath(index);
    if (!path.empty() && ::unlink(systemPath(path).c_str()) != 0 && errno != ENOENT) {
        return -1;
    }
    return 0;
}

void CLinkList::replaceAll(std::vector<FetchSettings> records) {
    LinkRecords links;
    for (FetchSettings& record : records) {
        record.destFile = cutFileName(record.destFile);
        links.append(record);
    }
    std::lock_guard lock(m_mutex);
    m_links = std::move(links);
    m_dirty = true;
}

std::vector<int> CLinkList::sortBy(Column column, bool descending) {
    std::lock_guard lock(m_mutex);
    std::vector<std::string_view> keys;
    keys.reserve(m_links.size());
    for (std::size_t i = 0; i < m_links.size(); ++i) {
        std::string_view value = m_links.value(i, columnKey(column));
        if (column == Column::File) {
            // The cut name is the end of the value.
            value.remove_prefix(value.size() - cutFileName(std::string(value)).size());
        }
        keys.push_back(value);
    }
    std::vector<int> order(m_links.size());
    std::iota(order.begin(), order.end(), 0);
    // string_view compares as memcmp does: bytes unsigned.
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const int compared =
            keys[static_cast<std::size_t>(a)].compare(keys[static_cast<std::size_t>(b)]);
        return descending ? compared > 0 : compared < 0;
    });
    if (std::is_sorted(order.begin(), order.end())) {
        return order; // the order stands: nothing to save
    }
    m_links.reorder(order);
    m_dirty = true;
    return order;
}

// --- File names ---

std::string CLinkList::cutFileName(const std::string& path) {
    // "表" ends in the byte of "\": the cut steps over double-byte characters.
    return fileNameOf(path);
}

bool CLinkList::usableFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && !isOwnFileName(name);
}

bool CLinkList::isOwnFileName(const std::string& name) {
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

CLinkList::NameCheck CLinkList::checkFileName(const std::string& name) const {
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

std::string CLinkList::effectiveFolder(const std::string& stored,
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

// --- Refreshing ---

int CLinkList::checkLink(int index) {
    if (index < 0 || index >= count()) {
        return kLinkOutOfRange;
    }
    const std::string path = localPath(index);
    if (path.empty()) {
        return kLinkError;
    }
    int flags = 0;
    std::optional<FetchRequest> asked;
    if (::access(systemPath(path).c_str(), R_OK) == 0) {
        const FetchSettings current = link(index);
        FetchRequest& request = asked.emplace(current);
        request.cancelRequested = &m_abort;
        CFetch fetch(m_prompter);
        const std::time_t modified = fetch.queryLastModified(request);
        if (request.errorKind != 0) {
            return kLinkError;
        }
        if (modified == 0) {
            flags = 1; // no time to judge by: the content decides
        } else if (modified == current.lastModified) {
            return kLinkUnchanged;
        }
    }
    if (m_downloadOption != 0) {
        flags += 2;
    }
    switch (downloadLink(index, flags, asked ? &*asked : nullptr)) {
    case 0:
        return kLinkUpdated;
    case 1:
        return kLinkUnchanged;
    default:
        return kLinkError;
    }
}

std::string CLinkList::placeUnderFreeName(const std::string& tempFile,
                                          const std::string& name) const {
    for (int n = 0; n < kMaxNumber; ++n) {
        const std::string candidate = numberedName(name, n);
        if (isOwnFileName(candidate)) {
            continue; // page_1.hlk's stripped name would be the list itself: never there
        }
        const std::string path = pathOf(candidate);
        if (renameNoReplace(tempFile, systemPath(path)) == 0) {
            return path;
        }
        if (errno != EEXIST) {
            return {};
        }
    }
    return {};
}

int CLinkList::downloadLink(int index, int flags, const FetchRequest* asked) {
    const std::string target = localPath(index);
    if (target.empty()) {
        return -1;
    }
    FetchRequest request(link(index));
    if (asked) {
        request.userName = asked->userName;
        request.password = asked->password;
        request.otherOriginCredentials = asked->otherOriginCredentials;
    }
    // The engine creates the download under the first free temp.tmp variant itself, exclusively
    // (0600, never through a link).
    request.destFile = pathOf(kDownloadTempName);
    request.startOffset = 0;
    request.cancelRequested = &m_abort;
    CFetch fetch(m_prompter);
    if (fetch.fetchToFile(request) != 0) {
        return -1;
    }
    const std::string temp = request.savedPath.empty() ? request.destFile : request.savedPath;
    const std::string tempFile = systemPath(temp);
    std::string placed = target;
    if (flags != 0) {
        if (compareFiles(temp, target) == 0) {
            ::unlink(tempFile.c_str());
            return 1;
        }
        if (::rename(tempFile.c_str(), systemPath(target).c_str()) != 0) {
            ::unlink(tempFile.c_str());
            return -1;
        }
    } else {
        // Older copies stay: the new one takes the first free numbered name, never one of the
        // folder's own files.
        std::string base = cutFileName(stripCounter(target));
        if (isOwnFileName(numberedName(base, 1))) {
            base = cutFileName(target); // tmp_.hlk: every numbered name is the folder's own
        }
        placed = placeUnderFreeName(tempFile, base);
        if (placed.empty()) {
            ::unlink(tempFile.c_str());
            return -1;
        }
    }
    FetchSettings downloaded = request;
    downloaded.destFile = cutFileName(placed);
    downloaded.loadValue = std::time(nullptr);
    replace(index, downloaded);
    return 0;
}

// --- The worker ---

bool CLinkList::startWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex) {
    if (!isIdle()) {
        return false;
    }
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_stop = false;
    m_abort = false;
    m_idle.reset();
    m_worker = std::thread(
        [this, &executor, &receiver, onlyIndex] { runWorker(executor, receiver, onlyIndex); });
    return true;
}

void CLinkList::runWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex) {
    bool ownerListens = true;
    const int first = onlyIndex < 0 ? 0 : onlyIndex;
    for (int index = first; index < count() && (onlyIndex < 0 || index == onlyIndex); ++index) {
        if (m_stop) {
            break;
        }
        const int result = checkLink(index);
        // Sent, not posted: the owner shows the row before the next link is refreshed.
        if (!executor.send([&] { receiver.linkResult(index, result); })) {
            ownerListens = false; // the owner is closing: no more reports
            break;
        }
    }
    if (ownerListens) {
        (void)executor.send([&] { receiver.linkDone(); });
    }
    m_idle.set();
}

void CLinkList::stopWorker(bool abortTransfer) {
    m_stop = true;
    if (abortTransfer) {
        m_abort = true;
    }
}

void CLinkList::waitIdle() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

} // namespace tw
