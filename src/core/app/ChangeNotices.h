#pragma once

#include "core/ports/Notifier.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tw {

class CTarnwickApp;
class FailureAlerts;
class HistoryStore;
class WatchSettings;

/// Changed lines a change notice carries at most; "…" stands for the rest.
constexpr std::size_t kNoticeChangeLines = 3;
/// Characters of one such line; "…" stands for the rest of it.
constexpr std::size_t kNoticeLineChars = 80;

/// What the desktop is told of a finished check: a notice for a change ([notify] changes), and
/// the failure alerts ([notify] failures) that the item's count calls for.
class ChangeNotices {
public:
    ChangeNotices(const CTarnwickApp& app, const HistoryStore& history, FailureAlerts& failures);

    /// On the checker's worker, once its update actions have run: the notices for the check
    /// that `finished` holds (their item left 0 for the caller to name). Counts the item's
    /// failures; a failing item that has no key yet gets its stored copy name here, so that
    /// its count is kept under it. `changes` false: no change notice (nobody would see it).
    std::vector<Notice> prepare(WatchSettings& finished, bool changes = true);

private:
    Notice changeNotice(const WatchSettings& finished) const;

    const CTarnwickApp& m_app;
    const HistoryStore& m_history;
    FailureAlerts& m_failures;
};

} // namespace tw
