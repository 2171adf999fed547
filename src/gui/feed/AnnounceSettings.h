#pragma once

#include <string>

namespace tw::gui {

/// Where the announcement file is looked for when the settings store names no "Location": the
/// build's TARNWICK_ANNOUNCE_LOCATION, empty by default, which leaves the feed dormant.
std::string announceDefaultLocation();

/// The wait before the fetch, 30 s; the environment variable TARNWICK_TEST_ANNOUNCE_DELAY_MS
/// shortens it for tests.
int announceDelayMs();

/// Test hook: TARNWICK_TEST_ANNOUNCE_ANSWER=yes makes the announcement dialog click "はい"
/// itself as soon as it is shown, so that a run without a user can go all the way.
bool announceAnswersItself();

} // namespace tw::gui
