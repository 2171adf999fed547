#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

class CodeConverter;
class HistoryStore;
class WatchSettings;

/// Changed lines an update mail carries at most; "…" stands for the rest.
constexpr std::size_t kMaxMailChangeLines = 50;
/// Bytes of one changed line in the mail (a page's one-line source would make a line no mail
/// system carries); "…" stands for the rest of it.
constexpr std::size_t kMaxMailChangeLineBytes = 300;

/// The lines the check at `item.lastCheck` changed, of the text a reader sees: "- " before
/// each removed and "+ " before each added line, UTF-8, at most `maxLines` of them.
struct ChangedLines {
    /// False when that check kept no change (a first version, a failed write, a change settled
    /// by the page's time alone).
    bool kept = false;
    /// Why the change cannot be shown (code page 932 text), when it cannot.
    std::string problem;
    std::vector<std::string> lines;
    /// More lines changed than `lines` holds.
    bool more = false;
};
ChangedLines changedLines(const HistoryStore& store, const WatchSettings& item,
                          CodeConverter* converter, std::size_t maxLines);

/// The change the check at `item.lastCheck` kept for `item`, as text to append to its update
/// mail (code page 932): a heading, then "- " for each removed and "+ " for each added line of
/// the text a reader sees, at most kMaxMailChangeLines of them. Empty when that check kept
/// nothing (a first version, a failed write, a change settled by the page's time alone).
std::string mailChanges(const HistoryStore& store, const WatchSettings& item,
                        CodeConverter* converter);

/// A UTF-8 text as code page 932 that ISO-2022-JP, the update mail's code, can carry whole:
/// every character that either cannot hold becomes "〓".
std::string mailSafeText(std::string_view utf8, CodeConverter* converter);

} // namespace tw
