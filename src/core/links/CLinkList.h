#pragma once

#include "links/LinkReceiver.h"
#include "platform/Event.h"
#include "records/FetchSettings.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tw {

class Executor;
class Prompter;

/// The links of one save folder: the file brl.hlk shared with the downloader sibling, its two
/// lock files, and the update worker that refreshes the links.
///
/// A link is a FetchSettings record whose destFile is a bare file name in the folder. The
/// sibling appends records to brl.hlk while it holds append.lock; a link update dialog (ours or
/// the sibling's) holds dialog.lock from a successful load() until save() or destruction. A lock
/// file exists or not (created with O_EXCL, holding a line such as "Tarnwick[1733580000]" for
/// people to read); a list only ever deletes lock files it created itself, or one the user told
/// it to break (load with force).
///
/// Thread use: the owner (the dialog's thread) calls everything; while the worker runs (not
/// isIdle()) the owner only reads (count, link, links, localPath) and may stop the worker.
/// Texts are code page 932; messages go to the prompter given at construction.
///
/// How a link update dialog uses it:
/// - open: load(effectiveFolder(stored, downloads), false); on 0 ask whether to use the file
///   anyway, and load(folder, true) on yes. Rows: count(), link(i), localPath(i) (exists or not;
///   "" is a name that cannot be used, shown as an error).
/// - update all: setDownloadOption(), startWorker(executor, dialog); pressed again, stopWorker().
///   A double-click: startWorker(executor, dialog, row). Rows change in linkResult().
/// - delete: remove() or removeWithFile(); rename and edit: checkFileName() (Unusable: the
///   message, Exists: the question), then replace(); sorting a column: sortBy().
/// - another folder: save(), and only when that returned 0, load(newFolder, false); closing:
///   wait until isIdle(), then save().
class CLinkList {
public:
    enum class LockKind { Dialog, Append };
    /// The answers to the busy question of save(): write anyway without the append lock, try
    /// the lock again, or give up the save.
    enum class BusyAnswer { Yes, No, Cancel };
    using BusyQuestion = std::function<BusyAnswer(const std::string& text)>;
    /// What checkFileName() found for a new file name of a link.
    enum class NameCheck { Usable, Exists, Unusable };
    /// The columns a dialog sorts by.
    enum class Column { File = 0, Name = 1, Address = 2 };

    static constexpr const char* kListName = "brl.hlk";
    static constexpr const char* kTempListName = "tmp.hlk";
    static constexpr const char* kDialogLockName = "dialog.lock";
    static constexpr const char* kAppendLockName = "append.lock";
    static constexpr const char* kDownloadTempName = "temp.tmp";
    static constexpr const char* kHolderName = "Tarnwick";
    /// The save folder stored in the settings file until the user picks one.
    static constexpr const char* kDefaultFolder = "c:";

    explicit CLinkList(Prompter* prompter = nullptr);
    /// Stops the worker (aborting its transfer) and joins it, then releases this list's locks.
    /// A worker waits in Executor::send() for its owner, so the owner closes the executor (or
    /// lets the worker become idle) before destroying a list whose worker runs.
    ~CLinkList();
    CLinkList(const CLinkList&) = delete;
    CLinkList& operator=(const CLinkList&) = delete;

    // The list file and its locks.

    /// Takes the dialog lock and, for the read, the append lock, and reads brl.hlk of `folder`
    /// (trailing blanks, "\" and "/" removed). 1 loaded, the dialog lock held; 0 when a lock is
    /// held by someone else and `force` is false (no lock taken, the list left empty). With
    /// `force` a held lock file is deleted and taken anew. The list is emptied first, and locks
    /// of an earlier load are released: the caller saves before loading another folder.
    int load(const std::string& folder, bool force);
    /// Writes the list when it was changed, then releases the locks. Records another program
    /// appended after the load are kept at the end, byte for byte. The new file replaces
    /// brl.hlk in one rename, so a crash leaves the old or the new file. 0 saved or nothing to
    /// save; -1 failed (the user was told, the list stays changed), cancelled at the busy
    /// question, or the last load was refused (a changed list is then never written).
    int save();

    /// Asked by save() while the append lock is held by someone else; text is the question
    /// "更新データファイルが他の作業で使用中です。..." (Yes/No/Cancel). Without it the prompter's
    /// yes/no question is asked (yes writes anyway, no cancels); without both, save() cancels.
    void setBusyQuestion(BusyQuestion question);

    /// 1 when the lock file was created by this call, 0 when it exists (errno EEXIST) or cannot
    /// be created (errno says why).
    int acquireLock(LockKind kind);
    /// Deletes the lock file if this list created it; nothing otherwise.
    void releaseLock(LockKind kind);
    bool holdsLock(LockKind kind) const;
    bool holdsDialogLock() const { return holdsLock(LockKind::Dialog); }
    /// The line in the folder's lock file ("Tarnwick[1733580000]"); "" when there is none.
    std::string lockHolder(LockKind kind) const;
    /// The line this program writes into a lock file it takes at `now`.
    static std::string holderLine(std::time_t now);

    const std::string& folder() const { return m_folder; }
    std::string listPath() const;
    std::string lockPath(LockKind kind) const;
    /// Size of brl.hlk when it was read (or last written by save()); 0 when it did not exist.
    std::int64_t loadedFileSize() const { return m_loadedFileSize; }
    bool isDirty() const;
    /// Where save() kept the damaged file it found, "" when it kept none.
    const std::string& damagedCopy() const { return m_damagedCopy; }

    // The links.

    int count() const;
    /// A copy of link `index`; an empty record for an index out of range.
    FetchSettings link(int index) const;
    std::vector<FetchSettings> links() const;
    /// folder + "/" + the link's file name (code page 932 text, as records hold it); "" for an
    /// index out of range or a file name that would leave the folder ("", ".", ".."): such a
    /// link is never downloaded or deleted.
    std::string localPath(int index) const;
    /// The same as the file system names it (systemPath() of the folder), for opening the file.
    std::string diskPath(int index) const;
    /// Stores `record` as link `index` (its destFile cut to a bare name); marks the list changed.
    void replace(int index, const FetchSettings& record);
    /// Removes the link (its file stays); 0 done, 1 index out of range.
    int remove(int index);
    /// Deletes the link's file (a missing one is no error), then removes the link; 0 done,
    /// 1 index out of range, -1 the file could not be deleted (the link stays).
    int removeWithFile(int index);
    /// The list becomes exactly `records`, in that order (their destFile cut to bare names).
    void replaceAll(std::vector<FetchSettings> records);
    /// Reorders the links by the column's text (destFile, name, targetUrl), compared byte by
    /// byte, ascending or descending; equal texts keep their order. Marks the list changed.
    void sortBy(Column column, bool descending);

    /// Whether a new file name for a link can be used in the folder: Unusable for "", ".", "..",
    /// a name holding "/" or "\" or beginning with "-", one too long for the file system, one
    /// naming something other than a file, or a folder that cannot be written; Exists when a
    /// file of that name is there; else Usable. Nothing is created on disk.
    NameCheck checkFileName(const std::string& name) const;
    /// A file name as read from a shared file: the part after the last "/" and the last "\".
    static std::string cutFileName(const std::string& path);
    /// False for "", "." and "..", which name no file in the folder.
    static bool usableFileName(const std::string& name);
    /// The folder the dialog works on for a stored save folder: the stored default "c:" (any
    /// letter case, trailing "\" and blanks ignored) and "" mean `downloadFolder`.
    static std::string effectiveFolder(const std::string& stored,
                                       const std::string& downloadFolder);

    // Refreshing.

    /// The program's link download option: not 0 overwrites a link's file when the content
    /// changed, 0 keeps older copies under numbered names.
    void setDownloadOption(int option) { m_downloadOption = option; }
    /// Refreshes link `index` on the calling thread: asks the server for its Last-Modified time
    /// when the file exists, downloads it when that changed or is unknown. kLinkUpdated,
    /// kLinkUnchanged, kLinkError, or kLinkOutOfRange. Sends nothing: the worker reports.
    int checkLink(int index);
    /// Downloads link `index` into a free temp.tmp variant and puts it in place: with `flags`
    /// 0 under the first free variant of its counter-stripped name, otherwise over its file
    /// unless the content is the same. 0 downloaded (the link records the file and the time),
    /// 1 the same content (nothing changed), -1 failed (the temporary file removed).
    int downloadLink(int index, int flags);

    // The update worker.

    /// Starts the worker on the links from first to last, or on link `onlyIndex` alone (a
    /// double-click), reporting each result and the end to `receiver` through `executor`'s
    /// send(). A send refused because the owner is closing ends the worker without further
    /// reports. False, starting nothing, while a worker runs.
    bool startWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex = -1);
    /// Asks the worker to stop before the next link; with `abortTransfer` the link in hand is
    /// given up as well (its result is an error). Returns at once.
    void stopWorker(bool abortTransfer = false);
    /// True while no worker runs; it becomes true right after the receiver's linkDone().
    bool isIdle() const { return m_idle.isSet(); }
    /// Waits until the worker has ended (the owner must not be the one it waits on in send()).
    void waitIdle();
    /// The answer of UWM_LINKRESULT: 1 for kLinkUpdated, else 0.
    static int resultAnswer(int result) { return result == kLinkUpdated ? 1 : 0; }

private:
    std::string pathBelow(const std::string& folder, int index) const;
    std::string& heldLock(LockKind kind);
    const std::string& heldLock(LockKind kind) const;
    void breakLock(LockKind kind);
    void releaseLocks();
    void readList();
    bool keepDamagedFile();
    int writeList();
    BusyAnswer askBusy();
    void tell(const std::string& text);
    void runWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex);

    Prompter* m_prompter;
    BusyQuestion m_busyQuestion;
    std::string m_folder;
    /// m_folder as the file system names it; every path below the folder starts with it.
    std::string m_diskFolder;
    std::string m_heldDialogLock;
    std::string m_heldAppendLock;
    bool m_loaded = false;
    std::int64_t m_loadedFileSize = 0;
    bool m_loadedDamaged = false;
    std::string m_damagedCopy;
    int m_downloadOption = 0;

    mutable std::mutex m_mutex; // guards m_links and m_dirty against the worker
    std::vector<FetchSettings> m_links;
    bool m_dirty = false;

    std::thread m_worker;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_abort{false};
    Event m_idle{true, true};
};

} // namespace tw
