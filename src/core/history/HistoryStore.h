#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
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
    /// False for a page that is not text (an image, a PDF): only size and digest are kept.
    bool text = true;
    /// Size of the compared bytes, and their SHA-256 in hex ("" when it could not be taken).
    std::int64_t size = 0;
    std::string digest;
};

/// What a check hands to the history.
struct HistoryEntry {
    std::time_t checkedAt = 0;
    /// The compared bytes: the check area (code page 932) or the whole page as downloaded.
    std::string_view bytes;
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
class HistoryStore {
public:
    HistoryStore(std::string dataFolder, HistoryLimits limits);

    /// Adds a version for `key`, then prunes by count and by total size. Returns "" or the
    /// reason it could not be written (a full disk...), as text for the user (code page 932).
    /// A version equal to the newest one (same digest) is not added twice.
    std::string record(const std::string& key, const HistoryEntry& entry);
    /// The versions of `key`, oldest first; damaged or unreadable ones are left out and named
    /// in `problems` (code page 932 texts) when it is given.
    std::vector<HistoryVersion> versions(const std::string& key,
                                         std::vector<std::string>* problems = nullptr) const;
    /// The kept bytes of one version; none (and `error` set) when it cannot be read whole.
    std::optional<std::string> read(const std::string& key, const HistoryVersion& version,
                                    std::string* error = nullptr) const;
    /// Deletes everything kept for `key`.
    void remove(const std::string& key);

    const HistoryLimits& limits() const { return m_limits; }
    std::string folder() const;

private:
    std::string m_dataFolder;
    HistoryLimits m_limits;
};

} // namespace tw
