#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace tw {

class Executor;
class Prompter;
class RegistryKey;

/// Fetches the announcement file once, some time after start-up, on a short-lived worker. When
/// it announces something new for this version and category, the user is asked on the owner's
/// thread (through the executor's send) whether to read it; the answer "はい" or "拒否します"
/// is remembered as "AnnID", so that one announcement is offered only once. The owner hears the
/// outcome exactly once per start, on its own thread.
///
/// The worker's state is co-owned by the worker: destroy() waits a bounded time and lets a
/// late worker finish on its own, cancelling its download; such a worker posts nothing.
class CAnnounceFeed {
public:
    /// The result message's number, for owners that keep to the window-message scheme.
    static constexpr int UWM_ANNOUNCE = 2025;
    static constexpr const char* kKeyPrefix = "Software\\Orvane\\AutoAnn";
    static constexpr const char* kFileName = "announce.dat";
    /// A larger announcement file is refused as a failed download.
    static constexpr std::int64_t kMaxFileBytes = std::int64_t{64} * 1024;
    static constexpr int kDestroyWaitMs = 1000;

    enum Status { Read = 0, DownloadFailed = 1000, OpenFailed = 1001, ReadFailed = 1002 };
    enum class Answer { Yes, Decline, Later };

    /// The fields of one announcement file.
    struct Announcement {
        std::string url;
        int id = 0;
        int versionLimit = 0;
        std::string categories;

        /// Takes one line: leading white space and a trailing LF or CR LF are dropped; a line
        /// shorter than 6 characters or with an unknown key is ignored; a later line replaces
        /// an earlier one with the same key.
        void parseLine(std::string_view line);
    };

    struct Services {
        Executor& executor;
        /// Where announce.dat is written.
        std::string dataFolder;
        /// Root of the registry store; empty for the user's own.
        std::string configRoot;
        /// Reports a registry key that cannot be created; may be null.
        Prompter* prompter = nullptr;
        /// The question to the user; runs on the executor's thread.
        std::function<Answer()> ask;
        /// The result, on the executor's thread: the announced address when the user chose to
        /// read it, else null. The text lives until the handler returns.
        std::function<void(const std::string* announcedUrl)> onResult;
    };

    explicit CAnnounceFeed(Services services);
    /// destroy().
    ~CAnnounceFeed();
    CAnnounceFeed(const CAnnounceFeed&) = delete;
    CAnnounceFeed& operator=(const CAnnounceFeed&) = delete;

    /// Opens the key for `name` and reads "Location"; an empty one is set to `defaultLocation`
    /// when that is not empty. Ready when a location results.
    void create(const std::string& name, const std::string& defaultLocation);
    /// Starts the worker, unless not ready or already started: after `delayMs` (ended at once
    /// by destroy()) it fetches, reads and evaluates the file.
    void start(int delayMs, int programVersion, const std::string& programCategory);
    /// Stops the worker (ending its wait and cancelling its download), waits for it at most
    /// kDestroyWaitMs, and releases the key. Nothing reaches onResult afterwards.
    void destroy();

    bool ready() const { return m_ready; }
    /// The worker's status (Status) once the result has arrived; -1 when not started.
    int status() const;
    const std::string& location() const { return m_location; }

    /// C library atoi, without its undefined overflow: saturates at the int range.
    static int decimalValue(std::string_view text);

private:
    struct State;
    static void run(const std::shared_ptr<State>& state);
    static void evaluate(State& state);
    static void finish(const std::shared_ptr<State>& state);

    Services m_services;
    std::shared_ptr<RegistryKey> m_key;
    std::string m_location;
    bool m_ready = false;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace tw
