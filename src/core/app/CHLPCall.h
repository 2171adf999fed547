#pragma once

#include "core/app/Siblings.h"
#include "core/platform/Event.h"
#include "core/records/FetchSettings.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tw {

class CTarnwickApp;
class Prompter;
class Shell;

/// The display bridge: shows pages in the browser by handing their records to the download
/// helper. display() queues a copy and returns at once; a worker writes one record per wake-up
/// into a hand-over file in the data folder and offers it, retrying a busy receiver at least
/// once a second. Messages go through the prompter from the worker thread.
class CHLPCall {
public:
    /// Offers a hand-over file: 0 taken (the file is the receiver's now), 1 busy (try again
    /// later), anything else refused.
    using HandOver = std::function<int(const std::string& path)>;

    static constexpr const char* kFileError = "ファイルエラーです。ブラウザに表示できません。";
    static constexpr const char* kFileName = "WatchToHelp";
    static constexpr std::chrono::milliseconds kWakeInterval{1000};
    static constexpr std::chrono::milliseconds kStopBound{3000};

    /// The usual bridge: hands over to the download helper through the shared keys.
    CHLPCall(std::string dataFolder, SiblingKeys keys, Shell& shell, Prompter& prompter,
             std::string busFolder = {});
    /// The same with the application's keys, data folder, message bus folder and prompter.
    CHLPCall(CTarnwickApp& app, Shell& shell);
    /// A bridge to any receiver.
    CHLPCall(std::string dataFolder, HandOver handOver, Prompter& prompter);
    /// Stops as stop() does; copies still queued after that are released.
    ~CHLPCall();

    CHLPCall(const CHLPCall&) = delete;
    CHLPCall& operator=(const CHLPCall&) = delete;

    /// Queues a copy of `record` for showing; starts the worker on first use. After stop() the
    /// copy is only kept, never handed over.
    void display(const FetchSettings& record);

    /// Orderly end, for shutdown: records already queued (and any queued meanwhile) are still
    /// handed over, one right after the other, until the queue is empty or `bound` has passed;
    /// a busy receiver is retried a few times a second within the bound. Then the worker ends.
    /// Must not be called while the worker waits on the calling thread (a prompter that hops to
    /// this thread would wait for ever); the headless mode's prompter does not.
    void stop(std::chrono::milliseconds bound = kStopBound);

    /// Records waiting, for tests and status.
    std::size_t queued() const;

private:
    enum class Outcome { Idle, HandedOver, Requeued, Dropped };

    /// Names beyond this many hand-over files waiting at once are not tried.
    static constexpr int kMaxNumber = 10000;

    void run();
    void drain();
    bool writeHandOverFile(const FetchSettings& record, std::string& path) const;
    Outcome handOverOne();
    Outcome handOverNext();

    std::string m_dataFolder;
    std::unique_ptr<Siblings> m_siblings;
    HandOver m_handOver;
    Prompter& m_prompter;

    mutable std::mutex m_queueMutex;
    std::deque<FetchSettings> m_queue;

    Event m_workEvent{false, false};
    Event m_quitEvent{false, false};

    std::mutex m_threadMutex;
    std::thread m_worker;
    bool m_stopped = false;
    std::chrono::steady_clock::time_point m_stopDeadline;
};

} // namespace tw
