#include "core/app/ChangeNotices.h"

#include "core/app/CTarnwickApp.h"
#include "core/history/HistoryStore.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"
#include "core/watch/ChangeMail.h"
#include "core/watch/FailureAlerts.h"
#include "core/watch/ItemFiles.h"
#include "core/watch/ResultText.h"

#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

/// `text` (UTF-8) cut after `limit` characters, "…" marking the cut.
std::string cutCharacters(const std::string& text, std::size_t limit) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Count lead bytes only; a continuation byte belongs to the character before.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && characters++ == limit) {
            return text.substr(0, i) + "…";
        }
    }
    return text;
}

/// The item's name as the user gave it, else its address.
std::string titleOf(const WatchSettings& item) {
    return fromCp932(item.name.empty() ? item.targetUrl : item.name);
}

} // namespace

ChangeNotices::ChangeNotices(const CTarnwickApp& app, const HistoryStore& history,
                             FailureAlerts& failures)
    : m_app(app), m_history(history), m_failures(failures) {}

Notice ChangeNotices::changeNotice(const WatchSettings& finished) const {
    Notice notice;
    notice.kind = Notice::Kind::Change;
    notice.summary = titleOf(finished);
    notice.body = "更新されています";
    const ChangedLines changed =
        changedLines(m_history, finished, m_app.codeConverter(), kNoticeChangeLines);
    for (const std::string& line : changed.lines) {
        notice.body += "\n" + cutCharacters(line, kNoticeLineChars);
    }
    if (changed.more) {
        notice.body += "\n…";
    }
    return notice;
}

std::vector<Notice> ChangeNotices::prepare(WatchSettings& finished, bool changes) {
    std::vector<Notice> notices;
    const CheckOutcome outcome = finished.outcome();
    // The placeholder that marks a new day is no check of a page.
    if (finished.targetUrl.empty() || outcome == CheckOutcome::NeverChecked) {
        return notices;
    }
    if (changes && outcome == CheckOutcome::Updated && m_app.notifyChanges()) {
        notices.push_back(changeNotice(finished));
    }
    const int threshold = m_app.failureAlertThreshold();
    const bool failed = outcome == CheckOutcome::Failed;
    std::string key = HistoryStore::keyOf(finished.compareFile);
    if (key.empty() && failed && threshold > 0) {
        // An item that never got a stored copy (its first checks failed, or it keeps its
        // downloads in files of its own) takes a name in comp now, as its history would: its
        // count needs a key that lasts as long as the item.
        const std::string comp = compFolder(m_app.programFolder());
        ::mkdir(systemPath(comp).c_str(), 0700);
        std::string created;
        if (const int fd = createFreeFile(comp + "/temp.tmp", 0600, created); fd >= 0) {
            ::close(fd);
            finished.compareFile = created;
            key = HistoryStore::keyOf(created);
        }
    }
    switch (m_failures.record(key, failed, threshold)) {
    case FailureAlerts::Alert::None:
        break;
    case FailureAlerts::Alert::Failing:
        notices.push_back({Notice::Kind::Failing, 0, titleOf(finished) + " を確認できません",
                           fromCp932(resultRow(finished).result)});
        break;
    case FailureAlerts::Alert::Recovered:
        notices.push_back({Notice::Kind::Recovered, 0, titleOf(finished) + " を再び確認できました",
                           fromCp932(resultRow(finished).result)});
        break;
    }
    return notices;
}

} // namespace tw
