#include "core/watch/CReNew.h"

#include "core/net/CFetch.h"
#include "core/net/FetchRequest.h"
#include "core/platform/Clock.h"
#include "core/ports/CheckReceiver.h"
#include "core/util/Cp932.h"
#include "core/watch/CheckArea.h"
#include "core/watch/ItemFiles.h"
#include "core/watch/PageDownload.h"

#include <optional>
#include <string>

namespace tw {

namespace {

using std::chrono::milliseconds;

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
    request.maxBodyBytes = m_item.anchorKeyword.empty() ? request.maxBodyBytes : kMaxAreaPageBytes;
    request.cancelRequested = &m_cancel;
    const std::optional<CheckOutcome> shortcut = preCheck(request);
    if (m_cancel) {
        return CheckOutcome::Failed;
    }
    if (shortcut) {
        return *shortcut;
    }

    PageDownload download(m_services.programFolder);
    if (const std::string failure = download.prepare(m_item, request); !failure.empty()) {
        return fail(failure);
    }
    if (!download.fetch(request, m_services.prompter) || m_cancel) {
        download.discard();
        m_item.errorKind = request.errorKind;
        m_item.errorText = request.errorText;
        return CheckOutcome::Failed;
    }
    const std::string& newFile = download.path();
    m_item.userName = request.userName;
    m_item.password = request.password;

    std::string reference = destPath();
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
        download.discard();
        return CheckOutcome::NotUpdated;
    }
    if (compared == kPageTooLarge || compared == kReferenceNotRegular) {
        download.discard();
        return fail(compared == kPageTooLarge
                        ? jp("ページが") + std::to_string(kMaxAreaPageBytes >> 20) +
                              jp("MBを超えるため、チェック範囲を比較できません")
                        : jp("比較用のファイルが通常のファイルではありません"));
    }
    if (m_cancel) {
        download.discard();
        m_item.areaText = previousArea;
        return CheckOutcome::Failed;
    }
    if (const std::string failure = download.keep(m_item); !failure.empty()) {
        m_item.areaText = previousArea;
        return fail(failure);
    }
    m_item.lastModified = request.lastModified;
    return CheckOutcome::Updated;
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
