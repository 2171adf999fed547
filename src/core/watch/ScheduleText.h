#pragma once

#include <string>

namespace tw {

class WatchSettings;

/// The one-line description of when an item is checked, in code page 932, e.g. "毎週[月水]"
/// followed by "08時30分00秒": the schedule word's part, then the timing word's part. A word
/// that names no column contributes nothing.
std::string describeSchedule(const WatchSettings& item);

} // namespace tw
