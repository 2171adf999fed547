#include "watch/CReNew.h"

#include "net/CFetch.h"
#include "net/FetchRequest.h"
#include "platform/Clock.h"
#include "ports/CheckReceiver.h"
#include "util/Cp932.h"
#include "util/ErrorText.h"
#include "util/SystemPath.h"
#include "util/TextUtil.h"
#include "watch/CheckArea.h"
#include "watch/ItemFiles.h"

#include "util/SafeFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sys/stat.h>

namespace tw {

namespace {

using std::chrono::milliseconds;

/// Copies in comp/ may hold private pages.
void makePrivate(const std::string& path) {
    ::chmod(systemPath(path).c_str(), 0600);
}

void removeFile(const std::string& path) {
    std::remove(systemPath(path).c_str());
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
        item.nextCheck == WatchSettings::kDueNow ? 0 : item.nextCheck - m_services.clock->now();
    m_wait = milliseconds(remaining > 0 ? static_cast<long long>(remaining) * 1000 : 0);
    m_cancel = m_closing.load();
    m_doneEvent.reset();
    m_stopEvent.reset();
    m_wakeEvent.reset();
    // Idle before the worker starts, so that a check due at once cannot be counted as idle.
    m_idleEvent.set();
    m_thread = std::thread([this] { worker(); });
}

void CReNew::setClosing() {
    m_closing = true;
    m_cancel = true;
}

void CReNew::stop() {
    m_nextCheck = 0;
    m_cancel = true;
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
    m_item.setOutcome(check());
    // A cancelled check has no outcome: the list keeps the item's last completed state.
    if (m_closing || m_cancel) {
        m_idleEvent.set();
        return;
    }
    if (m_item.outcome() == CheckOutcome::Updated) {
        doActions(m_item, m_services.actions);
    }
    if (m_closing || !m_receiver) {
        m_idleEvent.set();
        return;
    }
    m_receiver->checkDone(m_item, CheckReceiver::kArmedItem);
}

std::string CReNew::destPath() const {
    return resolvedDestFile(m_services.programFolder, m_item.destFile);
}

std::string CReNew::storedCopyPath() const {
    return tw::storedCopyPath(m_services.programFolder, m_item.compareFile);
}

CheckOutcome CReNew::fail(const std::string& text) {
    m_item.errorKind = WatchSettings::kErrorWithText;
    m_item.errorText = text;
    return CheckOutcome::Failed;
}

CheckOutcome CReNew::check() {
    if (m_item.targetUrl.empty()) {
        return CheckOutcome::NotUpdated; // the empty midnight item only marks a new day
    }
    // Nothing to keep the download in: no use asking the server.
    if (m_item.downloadMode != 0 && m_item.destFile.empty()) {
        return fail(jp("ダウンロードするファイルが指定されていません"));
    }
    FetchRequest request(m_item);
    request.connectTimeoutSeconds = m_services.connectTimeoutSeconds;
    request.stallTimeoutSeconds = m_services.stallTimeoutSeconds;
    request.maxBodyBytes = m_item.anchorKeyword.empty() ? request.maxBodyBytes : 64 << 20;
    request.cancelRequested = &m_cancel;
    const std::optional<CheckOutcome> shortcut = preCheck(request);
    if (m_cancel) {
        return CheckOutcome::Failed;
    }
    if (shortcut) {
        return *shortcut;
    }

    // Relative names are taken in the data folder, where every other file of the program is,
    // never in whatever folder the program was started from.
    const std::string dest = destPath();
    if (m_item.downloadMode != 0 && !m_item.destFile.empty() && dest.empty()) {
        return fail(jp("保存先のファイル名がデータフォルダの外を指しています"));
    }
    std::string folder;
    if (m_item.downloadMode != 0 && !dest.empty()) {
        folder = upToLast(dest, '/');
        folder.pop_back();
    }
    if (folder.empty()) {
        folder = compFolder();
        ::mkdir(systemPath(folder).c_str(), 0700);
    }
    std::string newFile = uniqueFileName(folder + "/temp.tmp");
    const bool inComp = folder == compFolder();

    std::string written;
    request.destFile = newFile;
    request.startOffset = 0;
    request.allowRelocation = 1;
    request.useCache = 0;
    request.onReady = [&written](const FetchRequest& r) {
        if (r.errorKind == 0) {
            written = r.savedPath;
        }
    };
    CFetch fetch(m_services.prompter);
    const int fetched = fetch.fetchToFile(request);
    // The checker's own work files never outlive a failed or cancelled check.
    auto removeWork = [&] {
        if (!written.empty()) {
            removeFile(written);
        }
        if (written != newFile) {
            removeFile(newFile);
        }
    };
    if (fetched != 0 || m_cancel) {
        removeWork();
        m_item.errorKind = request.errorKind;
        m_item.errorText = request.errorText;
        return CheckOutcome::Failed;
    }
    if (!request.savedPath.empty()) {
        newFile = request.savedPath;
        written = newFile;
    }
    if (inComp) {
        makePrivate(newFile);
    }
    m_item.userName = request.userName;
    m_item.password = request.password;

    std::string reference = dest;
    if (m_item.downloadMode == 0) {
        reference = storedCopyPath();
        // A copy left outside comp is still the last page seen until a new one is stored.
        if (reference.empty() && !m_item.compareFile.empty() && m_item.compareFile.front() == '/') {
            reference = m_item.compareFile;
        }
    }
    // A check that fails after the comparison keeps the area of the last completed one.
    const std::string previousArea = m_item.areaText;
    const int compared =
        compare(m_item, newFile, m_services.converter, reference, request.contentType);
    if (compared == 0) {
        removeFile(newFile);
        return CheckOutcome::NotUpdated;
    }
    if (compared == kPageTooLarge || compared == kReferenceNotRegular) {
        removeWork();
        return fail(compared == kPageTooLarge
                        ? jp("ページが64MBを超えるため、チェック範囲を比較できません")
                        : jp("比較用のファイルが通常のファイルではありません"));
    }
    if (m_cancel) {
        removeWork();
        m_item.areaText = previousArea;
        return CheckOutcome::Failed;
    }
    const std::string failure = keepChangedFile(newFile, dest);
    if (!failure.empty()) {
        removeWork();
        m_item.areaText = previousArea;
        return fail(failure);
    }
    m_item.lastModified = request.lastModified;
    return CheckOutcome::Updated;
}

std::string CReNew::keepChangedFile(const std::string& newFile, const std::string& dest) {
    auto moved = [&](const std::string& target) {
        if (target == newFile || moveIntoPlace(newFile, target)) {
            return std::string();
        }
        const std::string reason = systemErrorText(errno);
        return jp("ダウンロードしたファイルを保存できませんでした: ") + reason;
    };
    switch (m_item.downloadMode) {
    case 0: {
        const std::string target = storedCopyPath();
        if (target.empty()) {
            m_item.compareFile = newFile;
            return {};
        }
        std::string failure = moved(target);
        if (failure.empty()) {
            m_item.compareFile = target;
        }
        return failure;
    }
    case 1:
        return moved(dest);
    default: {
        const std::string next = uniqueFileName(stripCounter(dest));
        std::string failure = moved(next);
        if (failure.empty()) {
            m_item.destFile = keptDestFile(m_item.destFile, next);
        }
        return failure;
    }
    }
}

std::optional<CheckOutcome> CReNew::preCheck(FetchRequest& request) {
    if (request.lastModified == 0) {
        return std::nullopt;
    }
    CFetch fetch(m_services.prompter);
    const std::time_t modified = fetch.queryLastModified(request);
    if (request.errorKind != 0) {
        request.lastModified = 0;
        if (request.authenticationRefused) {
            m_item.errorKind = request.errorKind;
            m_item.errorText = request.errorText;
            return CheckOutcome::Failed;
        }
        request.errorKind = 0;
        request.errorText.clear();
        return std::nullopt;
    }
    // A page the server does not deliver (404, 500, ...) has no time to judge by: the
    // download that follows reports what the server said, rather than "updated".
    if (fetch.lastStatus() != 200 && fetch.lastStatus() != 206) {
        return std::nullopt;
    }
    if (modified == m_item.lastModified) {
        m_item.userName = request.userName;
        m_item.password = request.password;
        return CheckOutcome::NotUpdated;
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
        return CheckOutcome::Updated;
    }
    m_item.lastModified = modified;
    return std::nullopt;
}

} // namespace tw
