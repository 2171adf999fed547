#pragma once

#include "core/links/LinkCollection.h"
#include "core/links/LinkListFile.h"
#include "core/links/LinkReceiver.h"
#include "core/links/LinkRefresher.h"
#include "core/records/FetchSettings.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace tw {

class Executor;
class FetchRequest;
class Prompter;

/// The links of one save folder, as a link update dialog uses them: the list file brl.hlk shared
/// with the downloader sibling and its two lock files (LinkListFile), the links themselves
/// (LinkCollection), and the update worker that refreshes them (LinkRefresher). This class owns
/// the three and joins them where a call needs two of them (a link's path on disk, its file
/// deleted with it); everything else is passed on as it is.
///
/// A link is a FetchSettings record whose destFile is a bare file name in the folder. Paths are
/// code page 932 text like every path of the program (folder() and localPath() too); each is
/// turned into the name on disk by systemPath() right at the system call.
///
/// A list file is read only up to kMaxListBytes. The links are kept as the text of their records
/// (LinkRecords), so a list takes about its file's size in memory.
///
/// Thread use: the owner (the dialog's thread) calls everything; while the worker runs (not
/// isIdle()) the owner only reads (count, link, text, localPath) and may stop the worker. The
/// second half of a load (readList) may run on another thread, while the owner leaves the list
/// alone but for cancelLoad() and loadProgress(). Texts are code page 932; messages go to the
/// prompter given at construction (from whichever thread works).
///
/// How a link update dialog uses it:
/// - open: lockFolder(effectiveFolder(stored, downloads), false); on 0 ask whether to use the
///   file anyway, and lockFolder(folder, true) on yes; then readList() off the window's thread
///   (a list that is too large or unreadable is refused: empty, and never written). Rows:
///   count(), text(i, column), localPath(i) (exists or not; "" is a name that cannot be used,
///   shown as an error).
/// - update all: setDownloadOption(), startWorker(executor, dialog); pressed again, stopWorker().
///   A double-click: startWorker(executor, dialog, row). Rows change in linkResult().
/// - delete: remove() or removeWithFile(); rename and edit: checkFileName() (Unusable: the
///   message, Exists: the question), then replace(); sorting a column: sortBy().
/// - another folder: save(), and only when that returned 0, lockFolder(newFolder, false) and
///   readList(); closing: wait until isIdle(), then save().
class CLinkList {
public:
    using LockKind = LinkListFile::LockKind;
    using BusyAnswer = LinkListFile::BusyAnswer;
    using BusyQuestion = LinkListFile::BusyQuestion;
    using NameCheck = LinkListFile::NameCheck;
    using Column = LinkCollection::Column;

    static constexpr std::int64_t kMaxListBytes = LinkListFile::kMaxListBytes;
    static constexpr const char* kListName = LinkListFile::kListName;
    static constexpr const char* kTempListName = LinkListFile::kTempListName;
    static constexpr const char* kDialogLockName = LinkListFile::kDialogLockName;
    static constexpr const char* kAppendLockName = LinkListFile::kAppendLockName;
    static constexpr const char* kDownloadTempName = LinkListFile::kDownloadTempName;
    static constexpr const char* kDamagedName = LinkListFile::kDamagedName;
    static constexpr const char* kHolderName = LinkListFile::kHolderName;
    static constexpr const char* kDefaultFolder = LinkListFile::kDefaultFolder;

    explicit CLinkList(Prompter* prompter = nullptr);
    /// Stops the worker (aborting its transfer) and joins it, then releases this list's locks.
    /// A worker waits in Executor::send() for its owner, so the owner closes the executor (or
    /// lets the worker become idle) before destroying a list whose worker runs.
    ~CLinkList() = default;
    CLinkList(const CLinkList&) = delete;
    CLinkList& operator=(const CLinkList&) = delete;

    // The list file and its locks (LinkListFile).

    /// Takes the dialog lock and, for the read, the append lock, and reads brl.hlk of `folder`
    /// (trailing blanks, "\" and "/" removed): lockFolder(), then readList(). 1 loaded, the
    /// dialog lock held; 0 when a lock is held by someone else and `force` is false (no lock
    /// taken, the list left empty); -1 when the file was refused (see readList).
    int load(const std::string& folder, bool force);
    /// The first half of load(): empties the list (locks of an earlier load are released: the
    /// caller saves before loading another folder) and takes both locks of `folder`. With
    /// `force` a held lock file is deleted and taken anew. 1 taken, 0 held by someone else.
    int lockFolder(const std::string& folder, bool force);
    /// The second half: reads brl.hlk of the folder lockFolder() took, then gives back the append
    /// lock. 1 loaded (a missing file is an empty list). -1 refused, with both locks given back
    /// and the list left empty and never written: a file over kMaxListBytes or one that cannot be
    /// read (the user is told), or a load cancelled by cancelLoad().
    int readList();
    void cancelLoad() { m_file.cancelLoad(); }
    std::int64_t loadProgress() const { return m_file.loadProgress(); }
    std::int64_t loadSize() const { return m_file.loadSize(); }
    /// LinkListFile::save() of these links.
    int save() { return m_file.save(m_links); }
    void setBusyQuestion(BusyQuestion question) { m_file.setBusyQuestion(std::move(question)); }

    int acquireLock(LockKind kind) { return m_file.acquireLock(kind); }
    void releaseLock(LockKind kind) { m_file.releaseLock(kind); }
    bool holdsLock(LockKind kind) const { return m_file.holdsLock(kind); }
    bool holdsDialogLock() const { return holdsLock(LockKind::Dialog); }
    std::string lockHolder(LockKind kind) const { return m_file.lockHolder(kind); }
    static std::string holderLine(std::time_t now) { return LinkListFile::holderLine(now); }

    const std::string& folder() const { return m_file.folder(); }
    std::string listPath() const { return m_file.listPath(); }
    std::string lockPath(LockKind kind) const { return m_file.lockPath(kind); }
    bool isLoaded() const { return m_file.isLoaded(); }
    std::int64_t loadedFileSize() const { return m_file.loadedFileSize(); }
    bool isDirty() const { return m_links.isDirty(); }
    const std::string& damagedCopy() const { return m_file.damagedCopy(); }

    // The links (LinkCollection).

    int count() const { return m_links.count(); }
    FetchSettings link(int index) const { return m_links.link(index); }
    std::vector<FetchSettings> links() const { return m_links.links(); }
    std::string text(int index, Column column) const { return m_links.text(index, column); }
    /// folder + "/" + the link's file name (code page 932 text, as records hold it); "" for an
    /// index out of range or a name that cannot be used (usableFileName): such a link is never
    /// downloaded or deleted.
    std::string localPath(int index) const;
    /// systemPath() of localPath(): the name on disk, for a caller about to open the file.
    std::string diskPath(int index) const;
    void replace(int index, const FetchSettings& record) { m_links.replace(index, record); }
    int remove(int index) { return m_links.remove(index); }
    int remove(const std::vector<int>& indices) { return m_links.remove(indices); }
    /// Deletes the link's file (a missing one is no error), then removes the link; 0 done,
    /// 1 index out of range, -1 the file could not be deleted (the link stays).
    int removeWithFile(int index);
    /// Deletes the link's file only (a missing one, or a name that cannot be used, is no error);
    /// 0 done, 1 index out of range, -1 the file could not be deleted.
    int removeFile(int index);
    void replaceAll(std::vector<FetchSettings> records) { m_links.replaceAll(std::move(records)); }
    std::vector<int> sortBy(Column column, bool descending) {
        return m_links.sortBy(column, descending);
    }

    NameCheck checkFileName(const std::string& name) const { return m_file.checkFileName(name); }
    static std::string cutFileName(const std::string& path) {
        return LinkCollection::cutFileName(path);
    }
    static bool usableFileName(const std::string& name) {
        return LinkListFile::usableFileName(name);
    }
    static bool isOwnFileName(const std::string& name) { return LinkListFile::isOwnFileName(name); }
    static std::string effectiveFolder(const std::string& stored,
                                       const std::string& downloadFolder) {
        return LinkListFile::effectiveFolder(stored, downloadFolder);
    }

    // Refreshing (LinkRefresher).

    void setDownloadOption(int option) { m_refresher.setDownloadOption(option); }
    int checkLink(int index) { return m_refresher.checkLink(index); }
    int downloadLink(int index, int flags, const FetchRequest* asked = nullptr) {
        return m_refresher.downloadLink(index, flags, asked);
    }
    bool startWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex = -1) {
        return m_refresher.startWorker(executor, receiver, onlyIndex);
    }
    void stopWorker(bool abortTransfer = false) { m_refresher.stopWorker(abortTransfer); }
    bool isIdle() const { return m_refresher.isIdle(); }
    void waitIdle() { m_refresher.waitIdle(); }
    /// The answer of UWM_LINKRESULT: 1 for kLinkUpdated, else 0.
    static int resultAnswer(int result) { return result == kLinkUpdated ? 1 : 0; }

private:
    // In this order: the worker is stopped and joined first, then the locks are released.
    LinkCollection m_links;
    LinkListFile m_file;
    LinkRefresher m_refresher;
};

} // namespace tw
