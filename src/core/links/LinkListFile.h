#pragma once

#include "core/util/ProgramFile.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tw {

class LinkCollection;
class LinkRecords;
class Prompter;

/// The list file brl.hlk of one save folder, shared with the downloader sibling, and the folder's
/// two lock files.
///
/// The sibling appends records to brl.hlk while it holds append.lock; a link update dialog (ours
/// or the sibling's) holds dialog.lock from a successful load until the save or the end. A lock
/// file exists or not (created with O_EXCL, holding a line such as "Tarnwick[1733580000]" for
/// people to read); this object only ever deletes lock files it created itself, or one the user
/// told it to break (lockFolder with force).
///
/// The file is read as the program's own files are (ProgramFile: without blocking, a regular file
/// only, and never written over when it could not be read), up to kMaxListBytes. Its save is its
/// own: records another program appended meanwhile are kept (see save()).
///
/// Paths are code page 932 text like every path of the program; each is turned into the name on
/// disk by systemPath() right at the system call. The owner's thread calls everything; the read
/// (readList) may run on another thread while the owner calls only cancelLoad() and
/// loadProgress(). Messages go to the prompter given at construction.
class LinkListFile {
public:
    enum class LockKind { Dialog, Append };
    /// The answers to the busy question of save(): write anyway without the append lock, try
    /// the lock again, or give up the save.
    enum class BusyAnswer { Yes, No, Cancel };
    using BusyQuestion = std::function<BusyAnswer(const std::string& text)>;
    /// What checkFileName() found for a new file name of a link.
    enum class NameCheck { Usable, Exists, Unusable };

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

    explicit LinkListFile(Prompter* prompter = nullptr);
    /// Releases the locks this object holds.
    ~LinkListFile();
    LinkListFile(const LinkListFile&) = delete;
    LinkListFile& operator=(const LinkListFile&) = delete;

    /// Takes both locks of `folder` (trailing blanks, "\" and "/" removed), after giving back
    /// those of an earlier folder. With `force` a held lock file is deleted and taken anew.
    /// 1 taken, 0 held by someone else (nothing taken).
    int lockFolder(const std::string& folder, bool force);
    /// Reads brl.hlk of the folder lockFolder() took into `records`, then gives back the append
    /// lock. 1 loaded (a missing file gives no records). -1 refused, with both locks given back,
    /// `records` to be dropped and the file never written: a file over kMaxListBytes or one that
    /// cannot be read (the user is told), or a load cancelled by cancelLoad().
    int readList(LinkRecords& records);
    /// Asks a readList() running on another thread to give up soon; it then returns -1.
    void cancelLoad() { m_cancelLoad = true; }
    /// How far a running readList() has come: bytes read, and the file's size (0 before).
    std::int64_t loadProgress() const { return m_loadProgress; }
    std::int64_t loadSize() const { return m_loadSize; }
    /// Writes `links` when they changed, then releases the locks. Records another program
    /// appended after the load are kept at the end, byte for byte, once the file up to the
    /// loaded size is checked to be still what was loaded; a file rewritten meanwhile is kept
    /// aside as a damaged copy instead (the user is told) and merged with nothing. Links that
    /// were not changed are written as the file held them. The new file replaces brl.hlk in one
    /// rename, so a crash leaves the old or the new file. 0 saved or nothing to save; -1 failed
    /// (the user was told, the links stay changed), cancelled at the busy question, or the last
    /// load was refused (changed links are then never written).
    int save(LinkCollection& links);

    /// Asked by save() while the append lock is held by someone else; text is the question
    /// "更新データファイルが他の作業で使用中です。..." (Yes/No/Cancel). Without it the prompter's
    /// yes/no question is asked (yes writes anyway, no cancels); without both, save() cancels.
    void setBusyQuestion(BusyQuestion question);

    /// 1 when the lock file was created by this call, 0 when it exists (errno EEXIST) or cannot
    /// be created (errno says why).
    int acquireLock(LockKind kind);
    /// Deletes the lock file if this object created it; nothing otherwise.
    void releaseLock(LockKind kind);
    bool holdsLock(LockKind kind) const;
    /// The line in the folder's lock file ("Tarnwick[1733580000]"); "" when there is none.
    std::string lockHolder(LockKind kind) const;
    /// The line this program writes into a lock file it takes at `now`.
    static std::string holderLine(std::time_t now);

    const std::string& folder() const { return m_folder; }
    /// folder + "/" + name.
    std::string pathOf(const std::string& name) const;
    /// pathOf(name) for a link's file name; "" for one that cannot be used (usableFileName).
    std::string linkPath(const std::string& name) const;
    std::string listPath() const;
    std::string lockPath(LockKind kind) const;
    /// True after a read of the folder's list (or of none), until the next lockFolder().
    bool isLoaded() const { return m_list.wasRead(); }
    /// Size of brl.hlk when it was read (or last written by save()); 0 when it did not exist.
    std::int64_t loadedFileSize() const { return m_loadedFileSize; }
    /// Where save() kept the damaged or rewritten file it found, "" when it kept none.
    const std::string& damagedCopy() const { return m_damagedCopy; }

    /// Whether a new file name for a link can be used in the folder: Unusable for a name
    /// usableFileName() refuses, one holding "/" or "\" (not a double-byte character's second
    /// byte) or beginning with "-", one too long for the file system (as its name on disk), one
    /// naming something other than a file, or a folder that cannot be written; Exists when a
    /// file of that name is there; else Usable. Nothing is created on disk.
    NameCheck checkFileName(const std::string& name) const;
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

private:
    using Digest = std::array<unsigned char, 32>;

    std::string& heldLock(LockKind kind);
    const std::string& heldLock(LockKind kind) const;
    void breakLock(LockKind kind);
    void releaseLocks();
    int readListFile(LinkRecords& records);
    bool keepAside(int file, bool rewritten);
    int writeList(const LinkCollection& links);
    BusyAnswer askBusy();
    void tell(const std::string& text, bool warning = false);

    Prompter* m_prompter;
    BusyQuestion m_busyQuestion;
    std::string m_folder;
    /// brl.hlk of the folder: read, missing, or refused (and then never written).
    ProgramFile m_list{{}, 0600, {}};
    /// The lock files this object created (their paths), "" when it holds none.
    std::string m_heldDialogLock;
    std::string m_heldAppendLock;
    std::int64_t m_loadedFileSize = 0;
    /// SHA-256 of the m_loadedFileSize bytes read (or written by the last save); none when it
    /// could not be taken.
    std::optional<Digest> m_loadedDigest;
    bool m_loadedDamaged = false;
    std::atomic<bool> m_cancelLoad{false};
    std::atomic<std::int64_t> m_loadProgress{0};
    std::atomic<std::int64_t> m_loadSize{0};
    std::string m_damagedCopy;
};

} // namespace tw
