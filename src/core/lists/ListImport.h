#pragma once

// Lists of addresses brought from elsewhere: a plain list, an OPML file of a feed reader, or the
// urls.yaml of another watcher. The file is read whole, recognised from its content, checked
// entry by entry, and turned into the watch items to add to the list.
//
// Every text here (addresses, names, reasons, the summary) is UTF-8, unlike the rest of the core:
// the command line prints it as it is, and the window converts it once.

#include "core/records/WatchSettings.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

enum class ListFormat { Urls, Opml, Yaml };

/// Bounds of what an import reads. A file beyond kMaxImportBytes is refused before anything of
/// it is read; the others bound single entries, the nesting of OPML and YAML (so that no parser
/// goes deep), and how many entries one file may bring. A name may be as long as the longest
/// address, since an entry without a name is named by its address, and an export of such an
/// item must read back.
inline constexpr std::size_t kMaxImportBytes = std::size_t{8} * 1024 * 1024;
inline constexpr std::size_t kMaxImportEntries = 10000;
inline constexpr std::size_t kMaxAddressBytes = 2048;
inline constexpr std::size_t kMaxNameCharacters = kMaxAddressBytes;
inline constexpr int kMaxImportDepth = 64;

/// One address the file brings, with its name ("" when the file gives none) and the 1-based
/// line where the file holds it.
struct ImportEntry {
    std::string address;
    std::string name;
    int line = 0;
};

/// One entry that is not imported, and why.
struct ImportNote {
    enum class Kind {
        Refused,   ///< the entry is unusable: a bad address, a name 932 cannot hold...
        Skipped,   ///< not an address at all: a command job of urls.yaml, say
        Duplicate, ///< the address is in the watch list already, or earlier in the file
    };
    Kind kind = Kind::Refused;
    int line = 0;
    /// What the entry was: its address, or the kind of job.
    std::string what;
    std::string reason;
};

/// A file read: the usable entries and the notes on the others; or, when the file as a whole is
/// refused (missing, not a regular file, too large, not UTF-8, not parseable, a bomb...), the
/// reason in `error` and no entries at all.
struct ImportResult {
    std::string error;
    ListFormat format = ListFormat::Urls;
    std::vector<ImportEntry> entries;
    std::vector<ImportNote> notes;

    bool ok() const { return error.empty(); }
};

/// Reads the file `diskPath` (a name on disk, as a command line or file chooser gives it). It is
/// opened without blocking and only a regular file is read, so a FIFO or a folder ends at once.
ImportResult readImportFile(const std::string& diskPath);

/// The same for the content of a file.
ImportResult parseImport(std::string_view content);

/// What an import does to a watch list: the new items, in the file's order, each with the
/// defaults of a new item, the address and the name (the address when the file has none) in
/// code page 932; and every entry left out with its reason.
struct ImportPlan {
    std::string error;
    std::vector<WatchSettings> toAdd;
    std::vector<ImportNote> notes;

    bool ok() const { return error.empty(); }
    std::size_t count(ImportNote::Kind kind) const;
};

/// Plans the import of `result` into a list holding `existing`. An address already there, or
/// earlier in the file, is a duplicate (sameAddress()).
ImportPlan planImport(const ImportResult& result, const std::vector<WatchSettings>& existing);

/// Why `address` (UTF-8) cannot be a watch item's address, by the rules an import checks each
/// entry with; "" when it can. For an address given one at a time (the command line).
std::string checkImportAddress(std::string_view address);
/// `name` (UTF-8) as an import stores it (blanks folded); sets `fault` when it cannot be stored.
std::string checkImportName(std::string_view name, std::string& fault);

/// Whether two addresses (UTF-8) name the same page for an import: equal once the scheme and
/// host are taken without regard to case, and an empty path is taken as "/". Anything else
/// counts as written (a path is case-sensitive on most servers; a query is the page's own).
bool sameAddress(std::string_view a, std::string_view b);

/// The result in a few lines of Japanese: how many were added, and why the others were not, one
/// line per entry left out, at most `maxLines` of them and then how many more.
std::string importSummary(const ImportPlan& plan, std::size_t maxLines = 20);

} // namespace tw
