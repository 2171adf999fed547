#include "feed/AnnounceSettings.h"

#include <cstdlib>
#include <cstring>

#ifndef TARNWICK_ANNOUNCE_LOCATION
#define TARNWICK_ANNOUNCE_LOCATION ""
#endif

namespace tw::gui {

std::string announceDefaultLocation() {
    return TARNWICK_ANNOUNCE_LOCATION;
}

int announceDelayMs() {
    constexpr int kDelayMs = 30000;
    const char* value = std::getenv("TARNWICK_TEST_ANNOUNCE_DELAY_MS");
    if (!value || !*value) {
        return kDelayMs;
    }
    char* end = nullptr;
    const long delay = std::strtol(value, &end, 10);
    return *end == '\0' && delay >= 0 && delay <= kDelayMs ? static_cast<int>(delay) : kDelayMs;
}

bool announceAnswersItself() {
    const char* value = std::getenv("TARNWICK_TEST_ANNOUNCE_ANSWER");
    return value && std::strcmp(value, "yes") == 0;
}

} // namespace tw::gui
