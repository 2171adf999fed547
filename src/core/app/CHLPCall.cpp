#include "core/app/CHLPCall.h"

#include "core/app/CTarnwickApp.h"
#include "core/ports/Prompter.h"
#include "core/util/Cp932.h"
#include "core/util/SystemPath.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace tw {

namespace {

/// Pause between attempts on a busy receiver while stopping.
constexpr std::chrono::milliseconds kStopRetry{250};

} // namespace

CHLPCall::CHLPCall(std::string dataFolder, SiblingKeys keys, Shell& shell, Prompter& prompter,
                   std::string busFolder)
    : m_dataFolder(std::move(dataFolder)),
      m_siblings(
          std::make_unique<Siblings>(keys, shell, prompter, m_dataFolder, std::move(busFolder))),
      m_prompter(prompter) {
    Siblings* siblings = m_siblings.get();
    m_handOver = [siblings](const std::string& path) { return siblings->handOverToQuaylink(path); };
}

CHLPCall::CHLPCall(CTarnwickApp& app, Shell& shell)
    : CHLPCall(app.programFolder(), SiblingKeys::of(app), shell, app.prompter(),
               app.paths().runtimeFolder) {}

CHLPCall::CHLPCall(std::string dataFolder, HandOver handOver, Prompter& prompter)
    : m_dataFolder(std::move(dataFolder)), m_handOver(std::move(handOver)), m_prompter(prompter) {}

CHLPCall::~CHLPCall() {
    stop();
}

void CHLPCall::display(const FetchSettings& record) {
    {
        std::lock_guard lock(m_queueMutex);
        m_queue.push_back(record);
    }
    {
        std::lock_guard lock(m_threadMutex);
        if (m_stopped) {
            return;
        }
        if (!m_worker.joinable()) {
            try {
                m_worker = std::thread(&CHLPCall::run, this);
            } catch (const std::system_error&) {
                // No thread to be had now: the record waits, the next display tries again.
                return;
            }
        }
    }
    m_workEvent.set();
}

void CHLPCall::stop(std::chrono::milliseconds bound) {
    std::thread worker;
    {
        std::lock_guard lock(m_threadMutex);
        if (m_stopped) {
            return;
        }
        m_stopped = true;
        m_stopDeadline = std::chrono::steady_clock::now() + bound;
        worker = std::move(m_worker);
    }
    if (worker.joinable()) {
        m_quitEvent.set();
        worker.join();
    }
}

std::size_t CHLPCall::queued() const {
    std::lock_guard lock(m_queueMutex);
    return m_queue.size();
}

void CHLPCall::run() {
    while (waitAny({&m_quitEvent, &m_workEvent}, kWakeInterval) != 0) {
        handOverOne();
    }
    drain();
}

void CHLPCall::drain() {
    std::chrono::steady_clock::time_point deadline;
    {
        std::lock_guard lock(m_threadMutex);
        deadline = m_stopDeadline;
    }
    while (std::chrono::steady_clock::now() < deadline) {
        const Outcome outcome = handOverOne();
        if (outcome == Outcome::Idle) {
            return;
        }
        if (outcome == Outcome::Requeued) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            std::this_thread::sleep_for(std::clamp(left, std::chrono::milliseconds(0), kStopRetry));
        }
    }
}

CHLPCall::Outcome CHLPCall::handOverOne() {
    try {
        return handOverNext();
    } catch (...) {
        // Nothing may leave the worker (out of memory while copying a record, say).
        return Outcome::Dropped;
    }
}

bool CHLPCall::writeHandOverFile(const FetchSettings& record, std::string& path) const {
    // The record holds the item's password: the file is this user's alone, always a new file
    // (a name already taken, a planted link included, moves on to the next number).
    const std::string base = m_dataFolder + "/" + kFileName;
    int fd = -1;
    for (int n = 0; fd < 0 && n < kMaxNumber; ++n) {
        path = n == 0 ? base : base + "_" + std::to_string(n);
        fd = ::open(systemPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    std::FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "w");
    if (!file) {
        if (fd >= 0) {
            ::close(fd);
            std::remove(systemPath(path).c_str());
        }
        return false;
    }
    const bool written = record.writeRecord(file) == 0;
    if (std::fclose(file) != 0 || !written) {
        // A half-written file would only push later hand-overs to ever higher numbers.
        std::remove(systemPath(path).c_str());
        return false;
    }
    return true;
}

CHLPCall::Outcome CHLPCall::handOverNext() {
    FetchSettings record;
    {
        std::lock_guard lock(m_queueMutex);
        if (m_queue.empty()) {
            return Outcome::Idle;
        }
        record = m_queue.front();
        m_queue.pop_front();
    }
    std::string path;
    if (!writeHandOverFile(record, path)) {
        m_prompter.showMessage(jp(kFileError), Prompter::Icon::Error);
        return Outcome::Dropped;
    }
    int result = -1;
    try {
        result = m_handOver(path);
    } catch (...) {
        // Nothing may leave the worker; a receiver that threw refused the record.
        result = -1;
    }
    if (result == 0) {
        return Outcome::HandedOver;
    }
    std::remove(systemPath(path).c_str());
    if (result == 1) {
        std::lock_guard lock(m_queueMutex);
        m_queue.push_back(std::move(record));
        return Outcome::Requeued;
    }
    return Outcome::Dropped;
}

} // namespace tw
