#include "watch/CReNew.h"

#include "net/CFetch.h"
#include "net/FetchRequest.h"
#include "platform/Clock.h"
#include "util/Cp932.h"
#include "util/TextUtil.h"
#include "watch/CheckArea.h"
#include "ports/CheckReceiver.h"

#include <cstdio>
#include <sys/stat.h>

namespace tw {

namespace {

using std::chrono::milliseconds;

void replaceFile(const std::string& from, const std::string& to) {
    std::remove(to.c_str());
    std::rename(from.c_str(), to.c_str());
}

} // namespace

CReNew::CReNew(CheckerServices services) : m_services(std::move(services)) {
    if (!m_services.clock) {
        m_services.clock = &SystemClock::instance();
    }
}

CReNew::~CReNew() {
    if (m_thread.joinable()) {
        // A check in progress may finish; a result already reported but never taken back
        // (the list is closing) must not hold the exit.
        waitIdleOrDone();
        stop();
        m_thread.join();
    }
}

void CReNew::arm(const WatchSettings& item) {
    // A previous worker may still wait (an empty midnight item is armed without a position the
    // list would stop by); two workers must never share the copy.
    if (m_thread.joinable()) {
        stop();
        m_thread.join();
    }
    m_item = item;
    m_nextCheck = item.nextCheck;
    const std::time_t remaining =
        item.nextCheck == 0 ? 0 : item.nextCheck - m_services.clock->now();
    m_wait = milliseconds(remaining > 0 ? static_cast<long long>(remaining) * 1000 : 0);
    m_doneEvent.reset();
    m_stopEvent.reset();
    m_wakeEvent.reset();
    // Idle before the worker starts, so that a check due at once cannot be counted as idle.
    m_idleEvent.set();
    m_thread = std::thread([this] { worker(); });
}

void CReNew::stop() {
    m_nextCheck = 0;
    m_stopEvent.set();
    m_wakeEvent.set();
    m_doneEvent.wait();
}

bool CReNew::isBusy() const {
    const std::time_t next = m_nextCheck.load();
    return next - m_services.clock->now() == 1 || !m_idleEvent.isSet();
}

void CReNew::worker() {
    // The due moment is a wall-clock one: a suspend or a clock change must not shift it.
    m_wakeEvent.waitUntil(m_item.nextCheck, *m_services.clock);
    if (!m_stopEvent.wait(milliseconds(-1))) {
        run();
    }
    m_doneEvent.set();
}

void CReNew::run() {
    m_idleEvent.reset();
    m_item.lastCheck = m_services.clock->now();
    m_item.lastResult = check();
    if (m_closing) {
        m_idleEvent.set();
        return;
    }
    if (m_item.lastResult == 2) {
        doActions(m_item, m_services.actions);
    }
    if (m_closing || !m_receiver) {
        m_idleEvent.set();
        return;
    }
    m_receiver->checkDone(m_item);
}

int CReNew::check() {
    if (m_item.targetUrl.empty()) {
        return 1; // the empty midnight item only marks the start of a new day
    }
    FetchRequest request(m_item);
    request.connectTimeoutSeconds = m_services.connectTimeoutSeconds;
    request.stallTimeoutSeconds = m_services.stallTimeoutSeconds;
    request.maxBodyBytes = m_item.anchorKeyword.empty() ? request.maxBodyBytes : 64 << 20;
    const int shortcut = preCheck(request);
    if (shortcut != 0) {
        return shortcut;
    }

    std::string folder;
    if (m_item.downloadMode != 0 && m_item.destFile.find('/') != std::string::npos) {
        folder = upToLast(m_item.destFile, '/');
        folder.pop_back();
    }
    // A destFile without a folder would give a temporary file in a folder that does not
    // exist; the comp folder serves then.
    if (folder.empty()) {
        folder = compFolder();
        ::mkdir(folder.c_str(), 0700);
    }
    std::string newFile = uniqueFileName(folder + "/temp.tmp");

    request.destFile = newFile;
    request.startOffset = 0;
    request.allowRelocation = 1;
    request.useCache = 0;
    CFetch fetch(m_services.prompter);
    if (fetch.fetchToFile(request) != 0) {
        m_item.errorKind = request.errorKind;
        m_item.errorText = request.errorText;
        return -1;
    }
    if (!request.errorText.empty()) {
        newFile = request.errorText;
    }
    m_item.userName = request.userName;
    m_item.password = request.password;

    if (compare(m_item, newFile, m_services.converter) == 0) {
        std::remove(newFile.c_str());
        return 1;
    }
    m_item.lastModified = request.lastModified;
    keepChangedFile(newFile);
    return 2;
}

void CReNew::keepChangedFile(const std::string& newFile) {
    switch (m_item.downloadMode) {
    case 0:
        if (m_item.compareFile.empty()) {
            m_item.compareFile = newFile;
        } else if (m_item.compareFile != newFile) {
            replaceFile(newFile, m_item.compareFile);
        }
        break;
    case 1:
        if (m_item.destFile != newFile) {
            replaceFile(newFile, m_item.destFile);
        }
        break;
    default: {
        const bool hasFolder = m_item.destFile.find('/') != std::string::npos;
        const std::string base = hasFolder ? stripCounter(m_item.destFile)
                                           : stripCounter("./" + m_item.destFile).substr(2);
        m_item.destFile = uniqueFileName(base);
        std::rename(newFile.c_str(), m_item.destFile.c_str());
        break;
    }
    }
}

int CReNew::preCheck(FetchRequest& request) {
    if (request.lastModified == 0) {
        return 0;
    }
    CFetch fetch(m_services.prompter);
    const std::time_t modified = fetch.queryLastModified(request);
    if (request.errorKind != 0) {
        request.lastModified = 0;
        if (request.errorKind == 2 && request.errorText == jp("認証が否定されました")) {
            m_item.errorKind = request.errorKind;
            m_item.errorText = request.errorText;
            return -1;
        }
        request.errorKind = 0;
        request.errorText.clear();
        return 0;
    }
    // A page the server does not deliver (404, 500, ...) has no time to judge by: the
    // download that follows reports what the server said, rather than "updated".
    if (fetch.lastStatus() != 200 && fetch.lastStatus() != 206) {
        return 0;
    }
    if (modified == m_item.lastModified) {
        m_item.userName = request.userName;
        m_item.password = request.password;
        return 1;
    }
    if (modified == 0) {
        request.lastModified = 0;
    }
    // A new time settles a whole page alone; a check area must still be looked at, or any
    // change elsewhere on the page would count.
    if (m_item.downloadMode == 0 && m_item.anchorKeyword.empty()) {
        m_item.lastModified = modified;
        m_item.userName = request.userName;
        m_item.password = request.password;
        return 2;
    }
    m_item.lastModified = modified;
    return 0;
}

} // namespace tw
