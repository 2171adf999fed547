#include "core/feed/CAnnounceFeed.h"

#include "core/net/CFetch.h"
#include "core/net/FetchRequest.h"
#include "core/platform/Event.h"
#include "core/platform/RegistryKey.h"
#include "core/ports/Executor.h"
#include "core/util/SystemPath.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <mutex>
#include <utility>

namespace tw {

namespace {

constexpr std::string_view kUrlKey = "Url_: ";
constexpr std::string_view kVersionKey = "Vers: ";
constexpr std::string_view kCategoryKey = "Cate: ";
constexpr std::string_view kIdKey = "ID__: ";
constexpr std::size_t kKeyLength = 6;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

/// Everything the worker touches, co-owned by it so that a worker outliving destroy() works on
/// live memory.
struct CAnnounceFeed::State {
    State(Executor& executorIn, Services& services)
        : executor(executorIn), ask(services.ask), onResult(services.onResult) {}

    Executor& executor;
    std::function<Answer()> ask;
    std::function<void(const std::string*)> onResult;
    std::shared_ptr<RegistryKey> key;
    std::string location;
    std::string filePath;
    std::string category;
    int delayMs = 0;
    int programVersion = 0;
    Event wake;
    Event stop;
    Event done;
    std::atomic<bool> cancel{false};

    std::mutex mutex;
    /// The feed was destroyed: nothing more reaches the owner.
    bool abandoned = false;

    int status = Read;
    Announcement announcement;
    Answer answer = Answer::Later;

    bool isAbandoned() {
        std::lock_guard lock(mutex);
        return abandoned;
    }
};

void CAnnounceFeed::Announcement::parseLine(std::string_view line) {
    while (!line.empty() && isSpace(line.front())) {
        line.remove_prefix(1);
    }
    // A file served with CR LF would otherwise leave a CR on every value, the address included.
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (line.size() < kKeyLength) {
        return;
    }
    const std::string_view key = line.substr(0, kKeyLength);
    const std::string_view value = line.substr(kKeyLength);
    if (key == kUrlKey) {
        url = value;
    } else if (key == kVersionKey) {
        versionLimit = decimalValue(value);
    } else if (key == kCategoryKey) {
        categories = value;
    } else if (key == kIdKey) {
        id = decimalValue(value);
    }
}

int CAnnounceFeed::decimalValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1;
        }
    }
    value = negative ? -value : value;
    if (value > INT_MAX) {
        return INT_MAX;
    }
    return value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

CAnnounceFeed::CAnnounceFeed(Services services) : m_services(std::move(services)) {}

CAnnounceFeed::~CAnnounceFeed() {
    destroy();
}

void CAnnounceFeed::create(const std::string& name, const std::string& defaultLocation) {
    m_key = std::make_shared<RegistryKey>(std::string(kKeyPrefix) + "\\" + name, false,
                                          m_services.prompter, m_services.configRoot);
    // An unusable key reads as empty and refuses writes: the default is then used as it is.
    m_location = m_key->readString("Location");
    if (m_location.empty() && !defaultLocation.empty()) {
        m_key->writeString("Location", defaultLocation);
        m_location = defaultLocation;
    }
    m_ready = !m_location.empty();
}

void CAnnounceFeed::start(int delayMs, int programVersion, const std::string& programCategory) {
    if (!m_ready || m_state) {
        return;
    }
    auto state = std::make_shared<State>(m_services.executor, m_services);
    state->key = m_key;
    state->location = m_location;
    state->filePath = m_services.dataFolder + "/" + kFileName;
    state->category = programCategory;
    state->delayMs = delayMs;
    state->programVersion = programVersion;
    m_state = state;
    m_thread = std::thread(&CAnnounceFeed::run, std::move(state));
}

int CAnnounceFeed::status() const {
    return m_state ? m_state->status : -1;
}

void CAnnounceFeed::destroy() {
    if (m_state) {
        {
            std::lock_guard lock(m_state->mutex);
            m_state->abandoned = true;
        }
        m_state->cancel.store(true);
        m_state->stop.set();
        m_state->wake.set();
        if (m_thread.joinable()) {
            if (m_state->done.wait(std::chrono::milliseconds(kDestroyWaitMs))) {
                m_thread.join();
            } else {
                // Shutdown is not held up by a fetch: the worker owns what it still touches.
                m_thread.detach();
            }
        }
        m_state.reset();
    }
    m_key.reset();
    m_ready = false;
}

void CAnnounceFeed::run(const std::shared_ptr<State>& state) {
    state->wake.wait(std::chrono::milliseconds(std::max(state->delayMs, 0)));
    if (state->stop.isSet() || state->isAbandoned()) {
        state->done.set();
        return;
    }

    // The engine makes a fresh file's name unique: the old file goes first, so that every fetch
    // overwrites it.
    std::remove(systemPath(state->filePath).c_str());
    FetchRequest request;
    request.targetUrl = state->location;
    request.destFile = state->filePath;
    request.cancelRequested = &state->cancel;
    request.maxBodyBytes = kMaxFileBytes;
    CFetch fetch;
    if (fetch.fetchToFile(request) != 0 || request.savedPath.empty()) {
        state->status = DownloadFailed;
    } else if (std::FILE* file = std::fopen(systemPath(request.savedPath).c_str(), "r")) {
        std::string text(static_cast<std::size_t>(kMaxFileBytes) + 1, '\0');
        const std::size_t length = std::fread(text.data(), 1, text.size(), file);
        if (std::ferror(file)) {
            state->status = ReadFailed;
        } else if (length > static_cast<std::size_t>(kMaxFileBytes)) {
            state->status = DownloadFailed;
        } else {
            text.resize(length);
            std::size_t begin = 0;
            while (begin < text.size()) {
                std::size_t end = text.find('\n', begin);
                end = end == std::string::npos ? text.size() : end + 1;
                state->announcement.parseLine(std::string_view(text).substr(begin, end - begin));
                begin = end;
            }
        }
        std::fclose(file);
    } else {
        state->status = OpenFailed;
    }

    if (!state->isAbandoned()) {
        evaluate(*state);
        if (!state->isAbandoned()) {
            finish(state);
        }
    }
    state->done.set();
}

void CAnnounceFeed::evaluate(State& state) {
    const Announcement& ann = state.announcement;
    state.answer = Answer::Later;
    if (state.status != Read || ann.url.compare(0, 7, "http://") != 0 ||
        ann.id <= decimalValue(state.key->readString("AnnID")) ||
        (ann.versionLimit != 0 && state.programVersion >= ann.versionLimit) ||
        (!ann.categories.empty() &&
         (state.category.empty() || ann.categories.find(state.category) == std::string::npos))) {
        return;
    }
    Answer answer = Answer::Later;
    // Refused once the owner is closing: that is "another time".
    if (!state.executor.send([&] { answer = state.ask ? state.ask() : Answer::Later; })) {
        answer = Answer::Later;
    }
    state.answer = answer;
    if (answer != Answer::Later) {
        state.key->writeString("AnnID", std::to_string(ann.id));
    }
}

void CAnnounceFeed::finish(const std::shared_ptr<State>& state) {
    std::lock_guard lock(state->mutex);
    if (state->abandoned) {
        return;
    }
    state->executor.post([state] {
        std::function<void(const std::string*)> handler;
        {
            std::lock_guard guard(state->mutex);
            if (state->abandoned) {
                return;
            }
            handler = state->onResult;
        }
        if (handler) {
            handler(state->answer == Answer::Yes ? &state->announcement.url : nullptr);
        }
    });
}

} // namespace tw
