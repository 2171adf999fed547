#pragma once

#include <string>

namespace tw {

class WatchSettings;

/// The three columns of a result row, in code page 932: "%H:%M" of the check's local start
/// time, the item's name (its address when it has none), and the outcome.
struct ResultRow {
    std::string time;
    std::string page;
    std::string result;
};

ResultRow resultRow(const WatchSettings& finished);

} // namespace tw
