#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace tw {

/// How much history is kept ([history] of tarnwick.conf).
struct HistoryLimits {
    /// Versions kept per item; 0 keeps none (history off).
    int versions = 20;
    /// Bytes kept for all items together; the oldest versions of all items go first.
    std::int64_t maxBytes = 200LL * 1024 * 1024;
};

/// One kept version of an item's compared text.
struct HistoryVersion {
    /// Orders the versions of an item (larger is newer) and names its file; stable.
    std::int64_t serial = 0;
    /// The moment of the check that found it (UTC seconds).
    std::time_t checkedAt = 0;
    /// The code the bytes are in: 932, 51932, 50220, 65001, or 0 when they are not text.
    int codePage = 0;
    /// An HTML page (its reader's text can be shown), as against plain text or a check area.
    bool html = false;
    /// The check area behind an anchor keyword (code page 932), not a whole page.
    bool area = false;
    /// False for a page that is not text (an image, a PDF): only size and digest are kept.
    bool text = true;
    /// False when only size and digest were kept: a page that is not text, or one larger than
    /// the whole history may hold. read() then has no bytes to give.
    bool stored = true;
    /// Size of the compared bytes, and their SHA-256 in hex ("" when it could not be taken).
    std::int64_t size = 0;
    std::string digest;
    /// The version's file name in its item's folder (for messages).
    std::string fileName;
};

/// What a check hands to the history.
struct HistoryEntry {
    std::time_t checkedAt = 0;
    /// The compared bytes: the check area (code page 932) or the whole page as downloaded.
    std::string_view bytes;
    /// When set, the bytes are read from this file instead (a whole page, which may be large:
    /// it is copied in blocks, never held whole).
    std::string file;
    /// The code of `bytes` as the checker decided it (see HistoryVersion::codePage).
    int codePage = 0;
    /// The Content-Type the page was served with ("" for a check area).
    std::string contentType;
    /// True for a check area, which is always text.
    bool area = false;
};

/// The kept versions of every item, in <data folder>/history/<key>/, where the key is the
/// file name of the item's stored copy (stable for the life of an item). Every file is
/// private (0600) and written crash-safe. Safe to use from several threads and processes at
/// once for reading; one writer per data folder (the checker's worker).
///
/// Each version is one file "<serial>-<check time>.ver": a few header lines ("tarnwick-history
/// 1", then "checked", "code", "html", "area", "text", "stored", "size", "sha256", each a name,
/// a blank and a value), an empty line, then the bytes (none when not stored). Reading opens
/// nothing through a symbolic link and nothing but regular files.
class HistoryStore {
public:
    HistoryStore(std::string dataFolder, HistoryLimits limits);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    /// The key of an item whose stored copy (compareFile) is `compareFile`: its file name; ""
    /// when it has none.
    static std::string keyOf(const std::string& compareFile);

    /// Adds a version for `key`, then prunes by count and by total size. Returns "" or the
    /// reason it could not be written (a full disk...), as text for the user (code page 932).
    /// A version equal to the newest one (same digest) is not added twice. With versions 0
    /// nothing is written (and what is kept stays).
    std::string record(const std::string& key, const HistoryEntry& entry);
    /// True when something is kept for `key` (by the files this store has seen).
    bool has(const std::string& key);
    /// The versions of `key`, oldest first; damaged or unreadable ones are left out and named
    /// in `problems` (code page 932 texts) when it is given. A body damaged inside (same length)
    /// is found by read(), which checks the digest.
    std::vector<HistoryVersion> versions(const std::string& key,
                                         std::vector<std::string>* problems = nullptr) const;
    /// The kept bytes of one version; none (and `error` set) when it cannot be read whole or
    /// does not match its digest.
    std::optional<std::string> read(const std::string& key, const HistoryVersion& version,
                                    std::string* error = nullptr) const;
    /// Deletes everything kept for `key`.
    void remove(const std::string& key);
    /// Moves what is kept for `from` to `to` (an item whose stored copy got a new name);
    /// anything kept for `to` before is replaced. False when it could not be moved.
    bool rename(const std::string& from, const std::string& to);

    const HistoryLimits& limits() const { return m_limits; }
    std::string folder() const;
    /// Bytes of every version file, as far as this store knows (after its first record).
    std::int64_t totalBytes();

private:
    struct Kept {
        std::time_t checkedAt = 0;
        std::int64_t bytes = 0;
    };
    using Age = std::tuple<std::time_t, std::int64_t, std::string>; // time, serial, key

    void buildIndex();
    void forget(const std::string& key, std::int64_t serial);
    void removeVersion(const std::string& key, std::int64_t serial);
    void prune(const std::string& key, std::int64_t keep);
    std::string keyFolder(const std::string& key) const;

    std::string m_dataFolder;
    HistoryLimits m_limits;

    /// What is on disk, read once at the first record and kept up to date by this writer, so
    /// that pruning never walks every file.
    mutable std::mutex m_mutex;
    bool m_indexed = false;
    std::map<std::string, std::map<std::int64_t, Kept>> m_items;
    std::set<Age> m_byAge;
    std::int64_t m_total = 0;
};

} // namespace tw
