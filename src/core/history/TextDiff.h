#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

/// A stretch of a line in a change: unchanged, or only in the new or only in the old text.
struct DiffSpan {
    enum class Kind { Same, Added, Removed };
    Kind kind = Kind::Same;
    std::string text; ///< UTF-8
};

/// One line of a change view: a line both texts have, a line only one has, or a changed pair
/// shown as one line of word spans.
struct DiffLine {
    enum class Kind { Same, Added, Removed, Changed };
    Kind kind = Kind::Same;
    /// Line numbers in the old and new text (1-based; 0 where the line is not in that text).
    std::size_t oldLine = 0;
    std::size_t newLine = 0;
    /// The whole line for Same, Added and Removed; word spans for Changed.
    std::vector<DiffSpan> spans;
};

/// A run of changed lines with their context; the lines between hunks are folded.
struct DiffHunk {
    std::vector<DiffLine> lines;
    /// Unchanged lines left out before this hunk.
    std::size_t hiddenBefore = 0;
};

struct TextDiff {
    std::vector<DiffHunk> hunks;
    /// Unchanged lines left out after the last hunk.
    std::size_t hiddenAfter = 0;
    /// The texts were too large or too different to compare in bounded time and memory: no
    /// hunks ("差分が大きすぎます").
    bool tooLarge = false;
    bool identical() const { return hunks.empty() && !tooLarge; }
};

struct DiffOptions {
    /// Unchanged lines shown around each change.
    std::size_t context = 3;
    /// Word spans inside a changed pair of lines (ICU word boundaries); off gives whole lines.
    bool words = true;
    /// Bounds: lines of either text, and the edit distance in lines, beyond which the diff
    /// gives up (tooLarge).
    std::size_t maxLines = 200000;
    std::size_t maxEditLines = 20000;
    /// When set and true (from another thread), the diff gives up as soon as it can, as
    /// tooLarge: a window that closes does not wait for a long one.
    const std::atomic<bool>* stop = nullptr;
};

/// The change from `before` to `after` (UTF-8 texts), lines first, then words inside each
/// changed pair of lines.
TextDiff diffTexts(std::string_view before, std::string_view after,
                   const DiffOptions& options = {});

/// The line as the old (`old`) or the new text has it.
std::string sideText(const DiffLine& line, bool old);

/// The change as a unified diff (lines only, UTF-8), with headers "--- <oldLabel>" and
/// "+++ <newLabel>".
std::string unifiedDiff(const TextDiff& diff, const std::string& oldLabel,
                        const std::string& newLabel);

} // namespace tw
