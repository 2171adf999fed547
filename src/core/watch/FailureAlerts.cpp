#include "core/watch/FailureAlerts.h"

#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"

#include <algorithm>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

/// A key names one file in the folder and nothing outside it.
bool validKey(const std::string& key) {
    return !key.empty() && key != "." && key != ".." && key.find('/') == std::string::npos;
}

/// A count file is two short lines; anything longer is not one.
constexpr std::size_t kMaxFileBytes = 256;

} // namespace

FailureAlerts::FailureAlerts(std::string dataFolder) : m_dataFolder(std::move(dataFolder)) {}

std::string FailureAlerts::folder() const {
    return m_dataFolder + "/failures";
}

std::string FailureAlerts::pathOf(const std::string& key) const {
    return folder() + "/" + key;
}

FailureAlerts::State& FailureAlerts::stateOf(const std::string& key) {
    const auto [found, added] = m_states.try_emplace(key);
    if (!added) {
        return found->second;
    }
    std::string text;
    if (readRegularFile(pathOf(key), text, kMaxFileBytes) != 0) {
        return found->second;
    }
    // "failures N" and "alerted 0|1"; a damaged file counts from nothing again.
    State& state = found->second;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string_view line = std::string_view(text).substr(start, end - start);
        if (line.starts_with("failures ")) {
            state.failures = std::max(0, parseInt(line.substr(9)));
        } else if (line == "alerted 1") {
            state.alerted = true;
        }
        start = end + 1;
    }
    return state;
}

void FailureAlerts::write(const std::string& key, const State& state) {
    if (state.failures == 0) {
        ::unlink(systemPath(pathOf(key)).c_str());
        return;
    }
    ::mkdir(systemPath(folder()).c_str(), 0700);
    const std::string text = "failures " + std::to_string(state.failures) + "\nalerted " +
                             (state.alerted ? "1" : "0") + "\n";
    replaceFileContents(pathOf(key), text, 0600);
}

FailureAlerts::Alert FailureAlerts::record(const std::string& key, bool failed, int threshold) {
    if (!validKey(key)) {
        return Alert::None;
    }
    const std::lock_guard lock(m_mutex);
    State& state = stateOf(key);
    if (!failed) {
        if (state.failures == 0 && !state.alerted) {
            return Alert::None;
        }
        const bool told = state.alerted;
        state = State{};
        write(key, state);
        return told && threshold > 0 ? Alert::Recovered : Alert::None;
    }
    if (threshold <= 0) {
        return Alert::None;
    }
    ++state.failures;
    Alert alert = Alert::None;
    if (!state.alerted && state.failures >= threshold) {
        state.alerted = true;
        alert = Alert::Failing;
    }
    write(key, state);
    return alert;
}

int FailureAlerts::failures(const std::string& key) {
    if (!validKey(key)) {
        return 0;
    }
    const std::lock_guard lock(m_mutex);
    return stateOf(key).failures;
}

void FailureAlerts::remove(const std::string& key) {
    if (!validKey(key)) {
        return;
    }
    const std::lock_guard lock(m_mutex);
    m_states.erase(key);
    ::unlink(systemPath(pathOf(key)).c_str());
}

void FailureAlerts::rename(const std::string& from, const std::string& to) {
    if (!validKey(from) || !validKey(to) || from == to) {
        return;
    }
    const std::lock_guard lock(m_mutex);
    const State state = stateOf(from);
    m_states.erase(from);
    ::unlink(systemPath(pathOf(from)).c_str());
    m_states[to] = state;
    write(to, state);
}

} // namespace tw
