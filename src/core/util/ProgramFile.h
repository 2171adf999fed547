#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace tw {

/// One of the program's own files that hold the user's data (the watch list, the settings file,
/// a link list), and the rules all of them follow:
/// - Only a missing file means "nothing stored yet". A file that cannot be read (no permission;
///   a folder, FIFO or device in its place; beyond the size limit) is refused: this object never
///   writes over it, since whatever the program holds instead is not what the user stored.
/// - Reading never blocks: a FIFO put in the file's place is refused at once.
/// - A file that was read but is damaged keeps its bytes: they are kept aside under a free
///   numbered name before anything replaces the file, and the file is not replaced while they
///   cannot be.
/// - Writing is crash-safe (replaceFileContents): a reader or a crash sees the old file or the
///   new one, whole.
/// The owner words what the user is told; this class says what happened. Paths are code page
/// 932 text. Not thread-safe: the owner's thread uses it.
class ProgramFile {
public:
    static constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

    /// `path` names the file, `mode` its permissions when written (an existing file keeps
    /// narrower ones), `copyPath` where the bytes of a damaged file are kept (its first free
    /// numbered variant: name.ext, name_1.ext...), with the same permissions.
    ProgramFile(std::string path, mode_t mode, std::string copyPath);

    const std::string& path() const { return m_path; }

    // Reading.

    /// Reads the file whole, after removing the temporary files a replace cut off by a crash
    /// left beside it (only this program writes the file). 0; ENOENT when there is none (`data`
    /// empty: nothing stored yet); else the errno why it could not be read (EISDIR for anything
    /// but a regular file, EFBIG beyond `limit` bytes), and the file is refused.
    int read(std::string& data, std::size_t limit = kNoLimit);
    /// The same opening for an owner that reads the file in pieces itself: the open file (the
    /// owner closes it), or -1 with errno; the file counts as read, missing or refused as for
    /// read(). `info` gets what was found.
    int open(struct stat* info = nullptr);
    /// The owner found the file unusable after opening it (too large, a load given up): it is
    /// refused as one that could not be read.
    void refuse();
    /// True once the file was read (or found missing) and not refused since.
    bool wasRead() const { return m_state == State::Read; }
    bool refused() const { return m_state == State::Refused; }

    // Damage.

    /// The bytes just read are damaged: they are kept aside before the file is next replaced.
    void setDamaged(std::string bytes);
    bool damagePending() const { return m_damaged; }
    /// Keeps the damaged bytes now. True when kept (damagedCopy() names the copy) or when there
    /// are none; false with errno when the copy could not be made whole, and then the file is
    /// not replaced until a later call succeeds.
    bool keepDamaged();
    /// Where the bytes of the last read were kept; empty when they were not damaged.
    const std::string& damagedCopy() const { return m_damagedCopy; }

    // Writing.

    /// Whether write() may replace the file: not once refused, and before any read only when
    /// there is no file (nothing stored could be lost).
    bool mayReplace() const;
    /// Keeps damaged bytes still waiting (keepDamaged), then replaces the file crash-safe.
    /// False without writing when !mayReplace() (errno 0) or the bytes could not be kept, and
    /// false when writing failed, the old file then untouched (errno says why). A file written
    /// counts as read: it holds what the program holds.
    bool write(std::string_view data);

private:
    enum class State {
        NotRead, ///< no read yet
        Read,    ///< read whole, missing, or written by this object
        Refused, ///< could not be read, or refused by the owner
    };

    void removeStaleTemporaries() const;

    std::string m_path;
    mode_t m_mode;
    std::string m_copyPath;
    State m_state = State::NotRead;
    bool m_damaged = false;
    /// The damaged file as read, held until it is kept aside.
    std::string m_damagedBytes;
    std::string m_damagedCopy;
};

} // namespace tw
