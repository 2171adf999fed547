#pragma once

#include "links/LinkReceiver.h"
#include "links/LinkRecords.h"
#include "platform/Event.h"
#include "records/FetchSettings.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tw {

class Executor;
class FetchRequest;
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
/// Paths are code page 932 text like every path of the program (folder() and localPath() too);
/// each is turned into the name on disk by systemPath() right at the system call.
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
    enum class LockKind { Dialog, Append };
    /// The answers to the busy question of save(): write anyway without the append lock, try
    /// the lock again, or give up the save.
    enum class BusyAnswer { Yes, No, Cancel };
    using BusyQuestion = std::function<BusyAnswer(const std::string& text)>;
    /// What checkFileName() found for a new file name of a link.
    enum class NameCheck { Usable, Exists, Unusable };
    /// The columns a dialog sorts by.
    enum class Column { File = 0, Name = 1, Address = 2 };

    /// The largest list file that is read (64 MiB, some 700,000 links or more). A larger one is
    /// refused with a message: its folder shows no links and its file is never written.
    static constexpr std::int64_t kMaxListBytes = std::int64_t{64} << 20;

    static constexpr const char* kListName = "brl.hlk";
    static constexpr const char* kTempListName = "tmp.hlk";
    static constexpr const char* kDialogLockName = "dialog.lock";
    static constexpr const char* kAppendLockName = "append.lock";
    static constexpr const char* kDownloadTempName = "temp.tmp";
    /// Where save() keeps a list file it cannot merge with (brl.hlk.damaged, brl.hlk_1.damaged...).
    static constexpr const char* kDamagedName = "brl.hlk.damaged";
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
    /// Asks a readList() running on another thread to give up soon; it then returns -1.
    void cancelLoad() { m_cancelLoad = true; }
    /// How far a running readList() has come: bytes read, and the file's size (0 before).
    std::int64_t loadProgress() const { return m_loadProgress; }
    std::int64_t loadSize() const { return m_loadSize; }
    /// Writes the list when it was changed, then releases the locks. Records another program
    /// appended after the load are kept at the end, byte for byte, once the file up to the
    /// loaded size is checked to be still what was loaded; a file rewritten meanwhile is kept
    /// aside as a damaged copy instead (the user is told) and merged with nothing. Links that
    /// were not changed are written as the file held them. The new file replaces brl.hlk in one
    /// rename, so a crash leaves the old or the new file. 0 saved or nothing to save; -1 failed
    /// (the user was told, the list stays changed), cancelled at the busy question, or the last
    /// load was refused (a changed list is then never written).
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
    /// True after a load that read the folder's list (or found none), until the next load.
    bool isLoaded() const { return m_loaded; }
    /// Size of brl.hlk when it was read (or last written by save()); 0 when it did not exist.
    std::int64_t loadedFileSize() const { return m_loadedFileSize; }
    bool isDirty() const;
    /// Where save() kept the damaged or rewritten file it found, "" when it kept none.
    const std::string& damagedCopy() const { return m_damagedCopy; }

    // The links.

    int count() const;
    /// A copy of link `index` (its destFile cut to a bare name); an empty record for an index
    /// out of range.
    FetchSettings link(int index) const;
    /// Copies of every link (a short list; a long one is read row by row with text()).
    std::vector<FetchSettings> links() const;
    /// The text of one column of link `index` as link() would give it; "" out of range.
    std::string text(int index, Column column) const;
    /// folder + "/" + the link's file name (code page 932 text, as records hold it); "" for an
    /// index out of range or a name that cannot be used (usableFileName): such a link is never
    /// downloaded or deleted.
    std::string localPath(int index) const;
    /// systemPath() of localPath(): the name on disk, for a caller about to open the file.
    std::string diskPath(int index) const;
    /// Stores `record` as link `index` (its destFile cut to a bare name); marks the list changed.
    void replace(int index, const FetchSettings& record);
    /// Removes the link (its file stays); 0 done, 1 index out of range.
    int remove(int index);
    /// Removes the links at `indices` (ascending, no index twice) at once, however many: 0 done,
    /// 1 when one is out of range (nothing removed).
    int remove(const std::vector<int>& indices);
    /// Deletes the link's file (a missing one is no error), then removes the link; 0 done,
    /// 1 index out of range, -1 the file could not be deleted (the link stays).
    int removeWithFile(int index);
    /// Deletes the link's file only (a missing one, or a name that cannot be used, is no error);
    /// 0 done, 1 index out of range, -1 the file could not be deleted.
    int removeFile(int index);
    /// The list becomes exactly `records`, in that order (their destFile cut to bare names).
    void replaceAll(std::vector<FetchSettings> records);
    /// Reorders the links by the column's text (destFile, name, targetUrl), compared byte by
    /// byte, ascending or descending; equal texts keep their order. Marks the list changed when
    /// the order changed. Returns the old index of each link in the new order.
    std::vector<int> sortBy(Column column, bool descending);

    /// Whether a new file name for a link can be used in the folder: Unusable for a name
    /// usableFileName() refuses, one holding "/" or "\" (not a double-byte character's second
    /// byte) or beginning with "-", one too long for the file system (as its name on disk), one
    /// naming something other than a file, or a folder that cannot be written; Exists when a
    /// file of that name is there; else Usable. Nothing is created on disk.
    NameCheck checkFileName(const std::string& name) const;
    /// A file name as read from a shared file: the part after the last "/" and the last "\".
    static std::string cutFileName(const std::string& path);
    /// False for "", "." and "..", which name no file in the folder, and for the folder's own
    /// files (isOwnFileName).
    static bool usableFileName(const std::string& name);
    /// True for a name this program or its siblings keep in a link folder, in any letter case
    /// and with trailing dots or blanks (one file to a Windows file system): the list brl.hlk,
    /// its new version tmp.hlk (tmp_1.hlk...), the locks dialog.lock and append.lock, the kept
    /// copy brl.hlk.damaged (brl.hlk_1.damaged...) and downloads in progress, temp.tmp
    /// (temp_1.tmp...) or temp.html and temp.htm when the engine corrected the type. A link
    /// never downloads into such a file, nor deletes it.
    static bool isOwnFileName(const std::string& name);
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
    /// 1 the same content (nothing changed), -1 failed (the temporary file removed). `asked`,
    /// the request of the Last-Modified query just made, lends the download the logins the user
    /// typed for it, so that nobody is asked twice.
    int downloadLink(int index, int flags, const FetchRequest* asked = nullptr);

    // The update worker.

    /// Starts the worker on the links from first to last, or on link `onlyIndex` alone (a
    /// double-click), reporting each result and the end to `receiver` through `executor`'s
    /// send(). A send refused because the owner is closing ends the worker without further
    /// reports. False, starting nothing, while a worker runs.
    bool startWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex = -1);
    /// Asks the worker to stop before the next link; with `abortTransfer` the link in hand is
    /// given up as well, its transfer ended within moments (its result is an error). Returns at
    /// once.
    void stopWorker(bool abortTransfer = false);
    /// True while no worker runs; it becomes true right after the receiver's linkDone().
    bool isIdle() const { return m_idle.isSet(); }
    /// Waits until the worker has ended (the owner must not be the one it waits on in send()).
    void waitIdle();
    /// The answer of UWM_LINKRESULT: 1 for kLinkUpdated, else 0.
    static int resultAnswer(int result) { return result == kLinkUpdated ? 1 : 0; }

private:
    using Digest = std::array<unsigned char, 32>;

    std::string pathOf(const std::string& name) const;
    std::string& heldLock(LockKind kind);
    const std::string& heldLock(LockKind kind) const;
    void breakLock(LockKind kind);
    void releaseLocks();
    int readListFile();
    int createFree(const std::string& name, mode_t mode, std::string& created) const;
    bool keepAside(int file, bool rewritten);
    std::string placeUnderFreeName(const std::string& tempFile, const std::string& name) const;
    int writeList();
    BusyAnswer askBusy();
    void tell(const std::string& text, bool warning = false);
    void runWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex);

    Prompter* m_prompter;
    BusyQuestion m_busyQuestion;
    std::string m_folder;
    /// The lock files this list created (their paths), "" when it holds none.
    std::string m_heldDialogLock;
    std::string m_heldAppendLock;
    bool m_loaded = false;
    std::int64_t m_loadedFileSize = 0;
    /// SHA-256 of the m_loadedFileSize bytes read (or written by the last save).
    Digest m_loadedDigest{};
    bool m_loadedDamaged = false;
    std::atomic<bool> m_cancelLoad{false};
    std::atomic<std::int64_t> m_loadProgress{0};
    std::atomic<std::int64_t> m_loadSize{0};
    std::string m_damagedCopy;
    int m_downloadOption = 0;

    mutable std::mutex m_mutex; // guards m_links and m_dirty against the worker
    LinkRecords m_links;
    bool m_dirty = false;

    std::thread m_worker;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_abort{false};
    Event m_idle{true, true};
};

} // namespace tw
