#pragma once

#include "core/platform/Clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

namespace tw {

/// How the checks of one run share each watched host: the steady moment of the last request
/// to it, so that two requests to a host are at least a gap apart, and the wall-clock moment
/// until which a host that answered "busy, come back later" (Retry-After) is left alone. Shared
/// by the watch list (which picks the next item) and the checker's worker; every call is
/// thread-safe. Hosts are named as in the item's address, lower case.
class HostPacing {
public:
    using Steady = Clock::Steady;
    /// The longest wait a server can impose: a wrong or hostile header must not stop an item
    /// for days.
    static constexpr std::int64_t kMaxWaitSeconds = std::int64_t{6} * 3600;
    /// Hosts kept waiting at most (in memory and in the file).
    static constexpr std::size_t kMaxWaits = 1000;
    static constexpr const char* kFileName = "hostwaits";

    /// `folder` is the data folder the waits are kept in across runs; empty keeps none.
    HostPacing(const Clock& clock, std::string folder);
    HostPacing(const HostPacing&) = delete;
    HostPacing& operator=(const HostPacing&) = delete;

    /// The least time between two requests to one host; zero turns the gap off.
    void setGap(std::chrono::milliseconds gap);
    std::chrono::milliseconds gap() const;
    /// Tests whose servers all listen on loopback turn the exemption off.
    void setLoopbackExempt(bool exempt);

    /// The host of an address ("http://User@Host:80/x" -> "host"); empty when it has none.
    static std::string hostOf(const std::string& address);
    /// The user's own machine: "localhost" and names under it, 127.0.0.0/8 and ::1.
    static bool isLoopback(const std::string& host);

    /// When the host of `address` may be asked next (on the clock's steady time); a moment
    /// already past when it may be asked now.
    Steady::time_point freeAt(const std::string& address) const;
    /// A request to the host of `address` is made now.
    void noteRequest(const std::string& address);

    /// The host of `address` asked to be left alone for `seconds` from now (capped); kept in
    /// the data folder. Returns the wall-clock moment the wait ends.
    std::time_t hold(const std::string& address, std::int64_t seconds);
    /// The wall-clock moment the host's wait ends; 0 when it is not waiting.
    std::time_t heldUntil(const std::string& address) const;
    /// Reads the waits kept by an earlier run; a missing or bad file keeps none.
    void load();

private:
    std::string filePath() const;
    void saveLocked() const;
    void dropEndedLocked();

    const Clock& m_clock;
    const std::string m_folder;
    mutable std::mutex m_mutex;
    std::chrono::milliseconds m_gap{1000};
    bool m_loopbackExempt = true;
    std::map<std::string, Steady::time_point> m_lastRequest;
    std::map<std::string, std::time_t> m_heldUntil;
};

/// The result text of a check that made no request because its host is waiting until `until`
/// (local time; the date is named when the wait ends on another day than `now`).
std::string hostBusyText(std::time_t until, std::time_t now);

} // namespace tw
