#pragma once

#include "core/history/HistoryStore.h"
#include "core/history/TextDiff.h"

#include <string>

namespace tw {

class CodeConverter;

/// What the views show for one kept version against the one before it.
struct VersionChange {
    TextDiff diff;
    /// Why there is no diff to show (code page 932 text for the user): a version that is not
    /// text, one that cannot be read, ...; empty when `diff` holds the change.
    std::string problem;
    /// The reader's text was asked for, but a page too large for the HTML parser was compared
    /// as source.
    bool asSource = false;
    /// The problem is the version before: it could not be read (an older one may be tried).
    bool beforeFailed = false;
};

/// Reads `after` and `before` (null: `after` is the first version, compared with nothing),
/// each in its own code, takes the reader's text of an HTML page unless `source` is set, and
/// diffs them. Runs off the GUI thread; bounded by `options`.
VersionChange changeBetween(const HistoryStore& store, const std::string& key,
                            const HistoryVersion* before, const HistoryVersion& after,
                            CodeConverter* converter, bool source, const DiffOptions& options = {});

} // namespace tw
