#include "core/watch/HostPacing.h"

#include "core/util/Cp932.h"
#include "core/util/SafeFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace tw {

namespace {

/// A kept wait is a short line; anything beyond this many bytes is not a file of ours.
constexpr std::size_t kMaxFileBytes = std::size_t{64} * 1024;

std::string asciiLowerCopy(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return lower;
}

bool isDottedQuadOf127(std::string_view host) {
    int parts = 0;
    std::size_t start = 0;
    while (start <= host.size()) {
        const std::size_t end = std::min(host.find('.', start), host.size());
        const std::string_view part = host.substr(start, end - start);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(),
                         [](char ch) { return ch >= '0' && ch <= '9'; }) ||
            std::stoi(std::string(part)) > 255) {
            return false;
        }
        if (parts == 0 && part != "127") {
            return false;
        }
        ++parts;
        start = end + 1;
    }
    return parts == 4;
}

} // namespace

HostPacing::HostPacing(const Clock& clock, std::string folder)
    : m_clock(clock), m_folder(std::move(folder)) {}

void HostPacing::setGap(std::chrono::milliseconds gap) {
    std::lock_guard lock(m_mutex);
    m_gap = std::max(gap, std::chrono::milliseconds(0));
}

std::chrono::milliseconds HostPacing::gap() const {
    std::lock_guard lock(m_mutex);
    return m_gap;
}

void HostPacing::setLoopbackExempt(bool exempt) {
    std::lock_guard lock(m_mutex);
    m_loopbackExempt = exempt;
}

std::string HostPacing::hostOf(const std::string& address) {
    std::string_view rest(address);
    if (const std::size_t scheme = rest.find("://"); scheme != std::string_view::npos) {
        rest.remove_prefix(scheme + 3);
    }
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
        rest.remove_prefix(at + 1);
    }
    if (!rest.empty() && rest.front() == '[') {
        rest = rest.substr(1, rest.find(']') - 1);
    } else {
        rest = rest.substr(0, rest.find(':'));
    }
    while (!rest.empty() && rest.back() == '.') {
        rest.remove_suffix(1);
    }
    return asciiLowerCopy(rest);
}

bool HostPacing::isLoopback(const std::string& host) {
    // Names without a dot are not counted: on a network they name other machines.
    return host == "localhost" || (host.size() > 10 && host.ends_with(".localhost")) ||
           host == "::1" || isDottedQuadOf127(host);
}

HostPacing::Steady::time_point HostPacing::freeAt(const std::string& address) const {
    const std::string host = hostOf(address);
    std::lock_guard lock(m_mutex);
    if (host.empty() || m_gap.count() <= 0 || (m_loopbackExempt && isLoopback(host))) {
        return Steady::time_point::min();
    }
    const auto last = m_lastRequest.find(host);
    return last == m_lastRequest.end() ? Steady::time_point::min() : last->second + m_gap;
}

void HostPacing::noteRequest(const std::string& address) {
    const std::string host = hostOf(address);
    if (host.empty()) {
        return;
    }
    const Steady::time_point now = m_clock.steadyNow();
    std::lock_guard lock(m_mutex);
    // A host not asked for longer than the gap needs no entry: the map stays as small as the
    // set of hosts asked within the last gap.
    std::erase_if(m_lastRequest, [&](const auto& entry) { return entry.second + m_gap <= now; });
    m_lastRequest[host] = now;
}

std::time_t HostPacing::hold(const std::string& address, std::int64_t seconds) {
    const std::string host = hostOf(address);
    const std::time_t until =
        m_clock.now() +
        static_cast<std::time_t>(std::clamp<std::int64_t>(seconds, 0, kMaxWaitSeconds));
    if (host.empty()) {
        return until;
    }
    std::lock_guard lock(m_mutex);
    dropEndedLocked();
    if (m_heldUntil.size() >= kMaxWaits && !m_heldUntil.contains(host)) {
        // Full: the wait ending first makes room.
        m_heldUntil.erase(
            std::min_element(m_heldUntil.begin(), m_heldUntil.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    m_heldUntil[host] = until;
    saveLocked();
    return until;
}

std::time_t HostPacing::heldUntil(const std::string& address) const {
    const std::string host = hostOf(address);
    std::lock_guard lock(m_mutex);
    const auto held = m_heldUntil.find(host);
    return held != m_heldUntil.end() && held->second > m_clock.now() ? held->second : 0;
}

void HostPacing::load() {
    if (m_folder.empty()) {
        return;
    }
    std::string text;
    if (readRegularFile(filePath(), text, kMaxFileBytes) != 0) {
        return;
    }
    const std::time_t now = m_clock.now();
    std::lock_guard lock(m_mutex);
    m_heldUntil.clear();
    std::size_t start = 0;
    while (start < text.size() && m_heldUntil.size() < kMaxWaits) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        // "host<TAB>seconds since 1970"; a line of anything else is skipped.
        const std::size_t tab = line.find('\t');
        if (tab == 0 || tab == std::string::npos || tab > 255) {
            continue;
        }
        const std::string host = line.substr(0, tab);
        const std::string digits = line.substr(tab + 1);
        if (digits.empty() || digits.size() > 18 ||
            !std::all_of(digits.begin(), digits.end(),
                         [](char ch) { return ch >= '0' && ch <= '9'; }) ||
            host != asciiLowerCopy(host) ||
            !std::all_of(host.begin(), host.end(),
                         [](unsigned char ch) { return ch > ' ' && ch < 0x7f; })) {
            continue;
        }
        const auto until = static_cast<std::time_t>(std::stoll(digits));
        // A wait beyond the cap was not written by us (or the clock went back): capped.
        if (until > now) {
            m_heldUntil[host] = std::min<std::time_t>(until, now + kMaxWaitSeconds);
        }
    }
}

std::string HostPacing::filePath() const {
    return m_folder + "/" + kFileName;
}

void HostPacing::dropEndedLocked() {
    const std::time_t now = m_clock.now();
    std::erase_if(m_heldUntil, [&](const auto& entry) { return entry.second <= now; });
}

void HostPacing::saveLocked() const {
    if (m_folder.empty()) {
        return;
    }
    std::string text;
    for (const auto& [host, until] : m_heldUntil) {
        text += host + "\t" + std::to_string(static_cast<long long>(until)) + "\n";
    }
    // Best effort: a wait that is not kept costs one more request after a restart.
    replaceFileContents(filePath(), text, 0600);
}

std::string hostBusyText(std::time_t until, std::time_t now) {
    // Rounded up: the check is made again at the minute shown or later, never before it.
    const std::time_t shown = (until + 59) / 60 * 60;
    std::tm end{};
    std::tm today{};
    localtime_r(&shown, &end);
    localtime_r(&now, &today);
    char moment[32];
    if (end.tm_year == today.tm_year && end.tm_yday == today.tm_yday) {
        std::snprintf(moment, sizeof moment, "%02d:%02d", end.tm_hour, end.tm_min);
    } else {
        std::snprintf(moment, sizeof moment, "%d/%d %02d:%02d", end.tm_mon + 1, end.tm_mday,
                      end.tm_hour, end.tm_min);
    }
    return jp("サーバーが混雑しています（") + moment + jp("以降に再確認）");
}

} // namespace tw
