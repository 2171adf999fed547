#include "links/CLinkList.h"

#include "net/CFetch.h"
#include "net/FetchRequest.h"
#include "ports/Executor.h"
#include "ports/Prompter.h"
#include "util/Cp932.h"
#include "util/SafeFile.h"
#include "util/SystemPath.h"
#include "util/TextUtil.h"
#include "watch/CheckArea.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

std::string trimFolder(std::string folder) {
    while (!folder.empty() && (folder.back() == ' ' || folder.back() == '\t')) {
        folder.pop_back();
    }
    while (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/')) {
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

/// True when the reader passes over something in `text`: a block cut off (a sibling that died
/// in mid-append), a block opened inside another or a line run into the next opening line (the
/// next append after such a cut), or lines outside any block.
bool losesRecords(std::string_view text) {
    const std::string_view open = withoutLineEnd(FetchSettings::kOpenLine);
    const std::string_view close = withoutLineEnd(FetchSettings::kCloseLine);
    bool inside = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::string_view line = withoutLineEnd(raw);
        // A cut line runs into the next record's opening line.
        if ((line.find(open) != std::string_view::npos && line != open) ||
            (line.find(close) != std::string_view::npos && line != close)) {
            return true;
        }
        if (line == open) {
            if (inside) {
                return true;
            }
            inside = true;
        } else if (line == close && inside && end != std::string_view::npos) {
            inside = false;
        } else if (!inside && !isBlank(line)) {
            return true;
        }
    }
    return inside;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

/// Creates a free variant of `path` exclusively, so that two savers never share one.
int createFree(const std::string& path, mode_t mode, std::string& created) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        created = uniqueFileName(path);
        const int fd = ::open(created.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

/// Appends the bytes of `source` from `offset` to its end; false when either file fails.
bool appendTail(const std::string& source, std::int64_t offset, int fd) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    bool ok = true;
    // A seek that fails copies nothing, as a shorter file than the one loaded has no tail.
    if (::lseek(in, static_cast<off_t>(offset), SEEK_SET) >= 0) {
        char block[1024];
        for (;;) {
            const ssize_t got = ::read(in, block, sizeof block);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                ok = got == 0;
                break;
            }
            if (!writeAll(fd, std::string_view(block, static_cast<std::size_t>(got)))) {
                ok = false;
                break;
            }
        }
    }
    ::close(in);
    return ok;
}

const std::string& columnText(const FetchSettings& link, CLinkList::Column column) {
    switch (column) {
    case CLinkList::Column::File:
        return link.destFile;
    case CLinkList::Column::Name:
        return link.name;
    case CLinkList::Column::Address:
        break;
    }
    return link.targetUrl;
}

} // namespace

CLinkList::CLinkList(Prompter* prompter) : m_prompter(prompter) {}

CLinkList::~CLinkList() {
    stopWorker(true);
    waitIdle();
    releaseLocks();
}

// --- Locks ---

std::string& CLinkList::heldLock(LockKind kind) {
    return kind == LockKind::Dialog ? m_heldDialogLock : m_heldAppendLock;
}

const std::string& CLinkList::heldLock(LockKind kind) const {
    return kind == LockKind::Dialog ? m_heldDialogLock : m_heldAppendLock;
}

std::string CLinkList::lockPath(LockKind kind) const {
    return m_diskFolder + "/" + (kind == LockKind::Dialog ? kDialogLockName : kAppendLockName);
}

std::string CLinkList::listPath() const {
    return m_diskFolder + "/" + kListName;
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
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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
        ::unlink(held.c_str());
        held.clear();
    }
}

void CLinkList::releaseLocks() {
    releaseLock(LockKind::Append);
    releaseLock(LockKind::Dialog);
}

void CLinkList::breakLock(LockKind kind) {
    ::unlink(lockPath(kind).c_str());
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
    m_loadedDamaged = false;
    m_folder = trimFolder(folder);
    // The folder's name on disk: a Japanese folder name is stored as code page 932 text, while
    // the file system holds it in UTF-8.
    m_diskFolder = systemPath(m_folder);

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
    readList();
    releaseLock(LockKind::Append);
    m_loaded = true;
    return 1;
}

void CLinkList::readList() {
    std::string data;
    if (!readWholeFile(listPath(), data)) {
        return;
    }
    m_loadedFileSize = static_cast<std::int64_t>(data.size());
    m_loadedDamaged = losesRecords(data);
    if (data.empty()) {
        return;
    }
    std::FILE* stream = fmemopen(data.data(), data.size(), "rb");
    if (!stream) {
        return;
    }
    std::vector<FetchSettings> links;
    FetchSettings link;
    while (link.readRecord(stream) == 1) {
        link.destFile = cutFileName(link.destFile);
        links.push_back(link);
    }
    std::fclose(stream);
    std::lock_guard lock(m_mutex);
    m_links = std::move(links);
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

void CLinkList::tell(const std::string& text) {
    if (m_prompter) {
        m_prompter->showMessage(text, Prompter::Icon::Error);
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
        if (::access(lockPath(LockKind::Append).c_str(), F_OK) != 0 && errno == ENOENT) {
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

bool CLinkList::keepDamagedFile() {
    std::string data;
    if (!readWholeFile(listPath(), data)) {
        return true; // gone meanwhile: nothing left to keep
    }
    const std::string copy = uniqueFileName(listPath() + ".damaged");
    if (!replaceFileContents(copy, data, 0600)) {
        tell(jp("リンクリストファイルの一部が壊れていますが、その控えを保存できませんでした。\n"
                "保存を中止しました。\n") +
             copy);
        return false;
    }
    m_damagedCopy = copy;
    if (m_prompter) {
        m_prompter->showMessage(
            jp("リンクリストファイルの一部が壊れていたため、読み込めませんでした。\n"
               "元のファイルは次の名前で保存してあります。\n") +
                copy,
            Prompter::Icon::Warning);
    }
    return true;
}

int CLinkList::writeList() {
    const std::string target = listPath();
    struct stat targetStatus {};
    const bool targetExists = ::stat(target.c_str(), &targetStatus) == 0;
    // Records the reader passed over would be gone after this save: keep the file as it is.
    if (m_loadedDamaged && targetExists) {
        if (!keepDamagedFile()) {
            return -1;
        }
        m_loadedDamaged = false;
    }

    std::string temp;
    const int fd = createFree(m_diskFolder + "/" + kTempListName, 0600, temp);
    if (fd < 0) {
        tell(jp("リンクリストを書き出せませんでした。"));
        return -1;
    }
    if (targetExists) {
        ::fchmod(fd, targetStatus.st_mode & 0777);
    }
    std::string text;
    for (const FetchSettings& link : links()) {
        for (const char ch : link.toText()) {
            if (ch == '\n') {
                text += '\r';
            }
            text += ch;
        }
    }
    bool written = writeAll(fd, text);
    const auto keptAside = [&] {
        return "\n" + jp("新しいリンクリストは次の名前で残してあります。\n") + temp;
    };
    if (!written) {
        ::close(fd);
        ::unlink(temp.c_str());
        tell(jp("リンクリストを書き出せませんでした。"));
        return -1;
    }
    if (targetExists && targetStatus.st_size != m_loadedFileSize &&
        !appendTail(target, m_loadedFileSize, fd)) {
        ::close(fd);
        tell(jp("ディスクの異常を検知しました。\n保存できませんでした。") + keptAside());
        return -1;
    }
    struct stat newStatus {};
    written = ::fsync(fd) == 0 && ::fstat(fd, &newStatus) == 0;
    written = ::close(fd) == 0 && written;
    // One rename replaces the file: a reader or a crash sees the old list or the new one.
    if (!written || ::rename(temp.c_str(), target.c_str()) != 0) {
        tell(jp("リンクリストを書き出せませんでした。") + keptAside());
        return -1;
    }
    m_loadedFileSize = static_cast<std::int64_t>(newStatus.st_size);
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
    return m_links[static_cast<std::size_t>(index)];
}

std::vector<FetchSettings> CLinkList::links() const {
    std::lock_guard lock(m_mutex);
    return m_links;
}

std::string CLinkList::localPath(int index) const {
    return pathBelow(m_folder, index);
}

std::string CLinkList::diskPath(int index) const {
    return pathBelow(m_diskFolder, index);
}

std::string CLinkList::pathBelow(const std::string& folder, int index) const {
    std::lock_guard lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_links.size())) {
        return {};
    }
    const std::string name = cutFileName(m_links[static_cast<std::size_t>(index)].destFile);
    if (!usableFileName(name)) {
        return {};
    }
    return folder + "/" + name;
}

void CLinkList::replace(int index, const FetchSettings& record) {
    std::lock_guard lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_links.size())) {
        return;
    }
    FetchSettings& link = m_links[static_cast<std::size_t>(index)];
    link = record;
    link.destFile = cutFileName(link.destFile);
    m_dirty = true;
}

int CLinkList::remove(int index) {
    std::lock_guard lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_links.size())) {
        return 1;
    }
    m_links.erase(m_links.begin() + index);
    m_dirty = true;
    return 0;
}

int CLinkList::removeWithFile(int index) {
    if (index < 0 || index >= count()) {
        return 1;
    }
    const std::string path = diskPath(index);
    if (!path.empty() && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return -1;
    }
    return remove(index);
}

void CLinkList::replaceAll(std::vector<FetchSettings> records) {
    for (FetchSettings& record : records) {
        record.destFile = cutFileName(record.destFile);
    }
    std::lock_guard lock(m_mutex);
    m_links = std::move(records);
    m_dirty = true;
}

void CLinkList::sortBy(Column column, bool descending) {
    std::lock_guard lock(m_mutex);
    std::stable_sort(m_links.begin(), m_links.end(),
                     [column, descending](const FetchSettings& a, const FetchSettings& b) {
                         // std::string compares as memcmp does: bytes unsigned.
                         const int order = columnText(a, column).compare(columnText(b, column));
                         return descending ? order > 0 : order < 0;
                     });
    m_dirty = true;
}

// --- File names ---

std::string CLinkList::cutFileName(const std::string& path) {
    // "表" ends in the byte of "\": the cut steps over double-byte characters.
    return fileNameOf(path);
}

bool CLinkList::usableFileName(const std::string& name) {
    return !name.empty() && name != "." && name != "..";
}

CLinkList::NameCheck CLinkList::checkFileName(const std::string& name) const {
    if (!usableFileName(name) || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
        name.front() == '-' || m_folder.empty()) {
        return NameCheck::Unusable;
    }
    const std::string path = m_diskFolder + "/" + name;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        return S_ISREG(status.st_mode) ? NameCheck::Exists : NameCheck::Unusable;
    }
    const long longest = ::pathconf(m_diskFolder.c_str(), _PC_NAME_MAX);
    if (name.size() > static_cast<std::size_t>(longest > 0 ? longest : NAME_MAX) ||
        ::access(m_diskFolder.c_str(), W_OK | X_OK) != 0) {
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
    const std::string path = diskPath(index);
    if (path.empty()) {
        return kLinkError;
    }
    int flags = 0;
    if (::access(path.c_str(), R_OK) == 0) {
        const FetchSettings current = link(index);
        FetchRequest request(current);
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
    switch (downloadLink(index, flags)) {
    case 0:
        return kLinkUpdated;
    case 1:
        return kLinkUnchanged;
    default:
        return kLinkError;
    }
}

int CLinkList::downloadLink(int index, int flags) {
    std::string target = diskPath(index);
    if (target.empty()) {
        return -1;
    }
    FetchRequest request(link(index));
    request.destFile = uniqueFileName(m_diskFolder + "/" + kDownloadTempName);
    request.startOffset = 0;
    request.cancelRequested = &m_abort;
    CFetch fetch(m_prompter);
    if (fetch.fetchToFile(request) != 0) {
        return -1;
    }
    const std::string temp = request.savedPath.empty() ? request.destFile : request.savedPath;
    if (flags != 0) {
        if (compareFiles(temp, target) == 0) {
            ::unlink(temp.c_str());
            return 1;
        }
    } else {
        // Older copies stay: the new one takes the first free numbered name.
        target = uniqueFileName(stripCounter(target));
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return -1;
    }
    FetchSettings downloaded = request;
    downloaded.destFile = cutFileName(target);
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
