#include "core/watch/CReNew.h"

#include "core/history/HistoryStore.h"
#include "core/net/CFetch.h"
#include "core/net/FetchRequest.h"
#include "core/platform/Clock.h"
#include "core/platform/WakeWatch.h"
#include "core/ports/CheckReceiver.h"
#include "core/ports/Prompter.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/FileDescriptor.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"
#include "core/watch/CheckArea.h"
#include "core/watch/HostPacing.h"
#include "core/watch/ItemFiles.h"
#include "core/watch/PageDownload.h"
#include "core/watch/Schedule.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>
#include <string>

namespace tw {

namespace {

using std::chrono::milliseconds;

/// The code a whole page is kept in, decided as a check area's page is converted (loadConverted):
/// by the item's choice, or from the page's start and its Content-Type.
int pageCode(const std::string& path, int japaneseCode, std::string_view contentType) {
    switch (japaneseCode) {
    case 0:
        break;
    case 1:
        return 50220;
    case 2:
        return 51932;
    case 3:
        return 65001;
    default:
        return 932;
    }
    // A page declares its code near its start; the first MiB decides, as for any page.
    std::string start;
    if (const FileDescriptor fd(openRegularFile(systemPath(path), nullptr, O_NOFOLLOW)); fd >= 0) {
        readToEnd(fd, start, std::size_t{1} << 20);
    }
    if (const std::size_t zero = start.find('\0'); zero != std::string::npos) {
        start.resize(zero);
    }
    return pageCodePage(start, contentType);
}

} // namespace

CReNew::CReNew(CheckerServices services)
    : m_services(std::move(services)), m_validators(m_services.programFolder) {
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
        m_quit = true;
        m_armedEvent.set();
        m_thread.join();
    }
}

void CReNew::arm(const WatchSettings& item) {
    // A previous item may still wait (an empty midnight item is armed without a position the
    // list would stop by); the worker serves one item at a time.
    stop();
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
    // One thread for the checker's life: a round of a thousand items starts no thousand.
    if (!m_thread.joinable()) {
        m_thread = std::thread([this] { worker(); });
    }
    m_armedEvent.set();
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
    for (;;) {
        m_armedEvent.wait();
        if (m_quit) {
            return;
        }
        serve();
    }
}

void CReNew::serve() {
    // The due moment is a wall-clock one: a suspend or a clock change must not shift it. The
    // wait goes a second at a time, each step a sample of the clocks for the wake watch.
    const Clock& clock = *m_services.clock;
    for (;;) {
        if (m_services.wake) {
            m_services.wake->sample();
        }
        const std::time_t step = std::min(m_item.nextCheck, addSeconds(clock.now(), 1));
        if (m_wakeEvent.waitUntil(step, clock) || step == m_item.nextCheck) {
            break;
        }
    }
    if (!m_stopEvent.wait(milliseconds(-1)) && awaitTurn()) {
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
    if (const std::optional<CheckOutcome> held = awaitHost()) {
        return *held;
    }
    FetchRequest request(m_item);
    request.connectTimeoutSeconds = m_services.connectTimeoutSeconds;
    request.stallTimeoutSeconds = m_services.stallTimeoutSeconds;
    request.maxBodyBytes = m_item.anchorKeyword.empty() ? request.maxBodyBytes : kMaxAreaPageBytes;
    request.cancelRequested = &m_cancel;
    // A stored copy is the program's to read: it may travel compressed. A file kept as the
    // user's own is saved as the server sends it.
    request.acceptEncoding = m_item.downloadMode == 0;
    const std::string fingerprint = ValidatorStore::fingerprintOf(m_item);
    const std::optional<CheckOutcome> shortcut = preCheck(request);
    if (m_cancel) {
        return CheckOutcome::Failed;
    }
    if (shortcut) {
        if (*shortcut == CheckOutcome::Updated) {
            keepPageOfTimeShortcut(request, fingerprint);
        }
        return *shortcut;
    }

    PageDownload download(m_services.programFolder);
    if (const std::string failure = download.prepare(m_item, request); !failure.empty()) {
        return fail(failure);
    }
    const ValidatorStore::Validators validators = storedValidators(fingerprint);
    request.ifNoneMatch = validators.etag;
    request.ifModifiedSince = validators.lastModified;
    if (!download.fetch(request, m_services.prompter, &m_connections) || m_cancel) {
        download.discard();
        // The server vouches that the stored copy is still its page: nothing to compare, and
        // the copy and its history stay as they are.
        if (request.errorKind == 304 && !validators.empty() && !m_cancel) {
            m_item.userName = request.userName;
            m_item.password = request.password;
            return CheckOutcome::NotUpdated;
        }
        m_item.errorKind = request.errorKind;
        m_item.errorText = request.errorText;
        holdHost(request);
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
    const std::string keyBefore = HistoryStore::keyOf(m_item.compareFile);
    const int compared =
        compare(m_item, newFile, m_services.converter, reference, request.contentType);
    if (compared == 0) {
        // A check area's unchanged page is gone already; its area is what was compared.
        keepHistory(false, m_item.anchorKeyword.empty() ? newFile : std::string(),
                    request.contentType);
        download.discard();
        // An unchanged page mostly brings back the validators it was asked with: the file
        // already says so, and is not written again on every check.
        if (validators.empty() ||
            validators != ValidatorStore::Validators{request.etag, request.lastModifiedHeader}) {
            keepValidators(request, fingerprint);
        }
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
    followStoredCopy(keyBefore);
    std::string kept;
    if (m_item.anchorKeyword.empty()) {
        kept = m_item.downloadMode == 0 ? storedCopyPath() : destPath();
    }
    keepHistory(true, kept, request.contentType);
    keepValidators(request, fingerprint);
    return CheckOutcome::Updated;
}

bool CReNew::awaitTurn() {
    HostPacing* pacing = m_services.pacing;
    // A host that asked to be left alone is not asked at all: nothing to wait for.
    if (!pacing || m_item.targetUrl.empty() || pacing->heldUntil(m_item.targetUrl) != 0) {
        return !m_cancel;
    }
    // The list armed this item because its host is free first; the rest of the gap is waited
    // here, before the check counts as running (an edit then stops the wait instead of being
    // queued), on the clock's steady time in short slices, so that stop() ends it at once.
    const Clock& clock = *m_services.clock;
    for (;;) {
        const auto freeAt = pacing->freeAt(m_item.targetUrl);
        const auto now = clock.steadyNow();
        if (freeAt <= now || m_cancel) {
            break;
        }
        m_wakeEvent.wait(std::min<milliseconds>(std::chrono::ceil<milliseconds>(freeAt - now),
                                                milliseconds(100)));
    }
    return !m_cancel;
}

std::optional<CheckOutcome> CReNew::awaitHost() {
    HostPacing* pacing = m_services.pacing;
    if (!pacing) {
        return std::nullopt;
    }
    if (const std::time_t until = pacing->heldUntil(m_item.targetUrl); until != 0) {
        return fail(hostBusyText(until, m_services.clock->now()));
    }
    // One mark per check: its HEAD query, its download and their relocations are one visit.
    pacing->noteRequest(m_item.targetUrl);
    return std::nullopt;
}

void CReNew::holdHost(const FetchRequest& request) {
    if (!m_services.pacing || request.retryAfterSeconds <= 0) {
        return;
    }
    const std::time_t until = m_services.pacing->hold(m_item.targetUrl, request.retryAfterSeconds);
    fail(hostBusyText(until, m_services.clock->now()));
}

ValidatorStore::Validators CReNew::storedValidators(const std::string& fingerprint) const {
    // Only a stored copy: a file kept as the user's own may be moved, edited or removed by
    // the user, and then no longer be the page the validators name.
    if (m_item.downloadMode != 0) {
        return {};
    }
    const std::string copy = storedCopyPath();
    struct stat info {};
    if (copy.empty() || ::stat(systemPath(copy).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {};
    }
    return m_validators.load(HistoryStore::keyOf(m_item.compareFile), fingerprint);
}

void CReNew::keepValidators(const FetchRequest& request, const std::string& fingerprint) {
    if (m_item.downloadMode != 0) {
        return;
    }
    m_validators.save(HistoryStore::keyOf(m_item.compareFile), fingerprint,
                      {request.etag, request.lastModifiedHeader});
}

void CReNew::followStoredCopy(const std::string& keyBefore) {
    if (m_services.history && !keyBefore.empty()) {
        // A stored copy that had to get a new name (one left outside comp) takes its history.
        if (const std::string key = HistoryStore::keyOf(m_item.compareFile);
            !key.empty() && key != keyBefore) {
            m_services.history->rename(keyBefore, key);
        }
    }
}

void CReNew::keepPageOfTimeShortcut(FetchRequest& request, const std::string& fingerprint) {
    // The page's time alone said it changed. Without history that settles it; with history the
    // change view needs the page itself, so it is fetched once, only for a change, and kept as
    // the stored copy and as a version. The check's outcome stays the time's whatever happens.
    if (!m_services.history || m_services.history->limits().versions <= 0 ||
        m_item.downloadMode != 0 || !m_item.anchorKeyword.empty()) {
        return;
    }
    request.lastModified = 0;
    PageDownload download(m_services.programFolder);
    if (!download.prepare(m_item, request).empty()) {
        return;
    }
    if (!download.fetch(request, m_services.prompter, &m_connections) || m_cancel) {
        download.discard();
        return;
    }
    const std::string keyBefore = HistoryStore::keyOf(m_item.compareFile);
    if (!download.keep(m_item).empty()) {
        return;
    }
    followStoredCopy(keyBefore);
    keepHistory(true, storedCopyPath(), request.contentType);
    keepValidators(request, fingerprint);
}

void CReNew::keepHistory(bool changed, const std::string& page, const std::string& contentType) {
    HistoryStore* history = m_services.history;
    if (!history || history->limits().versions <= 0) {
        return;
    }
    std::string failure;
    try {
        std::string key = HistoryStore::keyOf(m_item.compareFile);
        if (!changed && !key.empty() && history->has(key)) {
            return;
        }
        if (key.empty()) {
            // An item whose downloads are kept in files of their own has no stored copy: a name
            // is taken in comp all the same, so that its history has a key for its whole life.
            const std::string comp = compFolder(m_services.programFolder);
            ensureFolder(comp);
            std::string created;
            const int fd = createFreeFile(comp + "/temp.tmp", 0600, created);
            if (fd < 0) {
                failure = jp("変更履歴を保存できませんでした: ") + systemErrorText(errno);
            } else {
                ::close(fd);
                m_item.compareFile = created;
                key = HistoryStore::keyOf(created);
            }
        }
        if (failure.empty()) {
            HistoryEntry entry;
            entry.checkedAt = m_item.lastCheck != 0 ? m_item.lastCheck : m_services.clock->now();
            if (page.empty()) {
                entry.bytes = m_item.areaText;
                entry.codePage = 932;
                entry.area = true;
            } else {
                entry.file = page;
                entry.contentType = contentType;
                entry.codePage = pageCode(page, m_item.japaneseCode, contentType);
            }
            failure = history->record(key, entry);
        }
    } catch (const std::exception&) {
        failure = jp("変更履歴を保存できませんでした: ") + systemErrorText(ENOMEM);
    }
    if (failure.empty()) {
        m_historyFailureTold = false;
        return;
    }
    if (!m_historyFailureTold && m_services.prompter) {
        m_historyFailureTold = true;
        const std::string& which = m_item.name.empty() ? m_item.targetUrl : m_item.name;
        m_services.prompter->showMessage(failure + "\n" + which +
                                             jp("\n次に変更を見つけたときにもう一度保存します。"),
                                         Prompter::Icon::Warning);
    }
}

std::optional<CheckOutcome> CReNew::preCheck(FetchRequest& request) {
    if (request.lastModified == 0) {
        return std::nullopt;
    }
    CFetch fetch(m_services.prompter, SystemClock::instance(), &m_connections);
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
