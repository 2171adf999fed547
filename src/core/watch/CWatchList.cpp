#include "core/watch/CWatchList.h"

#include "core/history/HistoryStore.h"
#include "core/platform/Clock.h"
#include "core/ports/Prompter.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/watch/FailureAlerts.h"
#include "core/watch/HostPacing.h"
#include "core/watch/ItemChecker.h"
#include "core/watch/Schedule.h"
#include "core/watch/Validators.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

namespace tw {

namespace {

bool onlyBlanksFollow(std::FILE* file) {
    int ch;
    while ((ch = std::fgetc(file)) != EOF) {
        if (!std::isspace(ch)) {
            return false;
        }
    }
    return true;
}

} // namespace

CWatchList::CWatchList(ItemChecker& checker, const Clock& clock, Prompter* prompter,
                       std::string folder)
    : m_checker(checker), m_clock(clock), m_prompter(prompter), m_folder(std::move(folder)),
      // The file holds passwords: readable by its owner only, and so is the copy of a damaged one.
      m_file(filePath(), 0600, filePath() + ".damaged") {}

CWatchList::~CWatchList() {
    if (m_savePending) {
        save();
    }
}

bool CWatchList::start(CheckReceiver* receiver) {
    m_checker.setReceiver(receiver);
    load();
    if (!m_loadError.empty()) {
        return false;
    }
    reschedule();
    return true;
}

bool CWatchList::load() {
    const bool loaded = loadFile();
    notify([&](WatchListObserver& o) { o.listReset(); });
    return loaded;
}

bool CWatchList::loadFile() {
    m_items.clear();
    m_ids.clear();
    m_loadError.clear();
    std::string data;
    if (const int error = m_file.read(data); error != 0) {
        // Nothing is checked or saved over a file that is there but could not be read.
        if (error != ENOENT) {
            m_loadError =
                jp("ウォッチリストファイルを読み込めませんでした。\n") + filePath() + "\n" +
                jp("理由: ") + systemErrorText(error) + "\n" +
                jp("このファイルを上書きしないよう、ウォッチリストの保存とチェックを行いません。");
            if (m_prompter) {
                m_prompter->showMessage(m_loadError, Prompter::Icon::Error);
            }
        }
        return false;
    }
    if (data.empty()) {
        return true;
    }
    std::FILE* file = fmemopen(data.data(), data.size(), "rb");
    if (!file) {
        return true;
    }
    bool damaged = false;
    for (int n = 0;; ++n) {
        const long blockStart = std::ftell(file);
        WatchSettings item;
        if (item.readRecord(file) == 0) {
            // Anything but blanks after the last whole block is a damaged block: the rest of
            // the file is not lost, it is kept aside before the next save.
            std::fseek(file, blockStart, SEEK_SET);
            damaged = !onlyBlanksFollow(file);
            break;
        }
        computeNextCheck(item, false, m_clock, m_prompter);
        item.itemTag = "__Tarnwick_" + std::to_string(n) + "_";
        append(item);
    }
    std::fclose(file);
    // A damaged framing line in the middle drops or merges items while the reader goes on:
    // the original is kept aside as for a cut file.
    if (damaged || WatchSettings::firstMisplacedLine(data) != 0) {
        m_file.setDamaged(std::move(data));
    }
    return true;
}

bool CWatchList::save() {
    m_lastSave = m_clock.steadyNow();
    if (!m_loadError.empty() || !m_file.mayReplace()) {
        m_savePending = false; // never owed: the unread file must stay as it is
        return false;
    }
    errno = 0;
    // A failed save stays owed: the next reschedule or the end tries again.
    m_savePending = !writeFile();
    if (!m_savePending) {
        m_saveFailing = false;
        return true;
    }
    const int error = errno;
    // The last save is told even within a streak: the retry promised before will not come.
    const bool tell = !m_saveFailing || (m_closing && !m_closingTold);
    m_saveFailing = true;
    if (tell) {
        m_closingTold = m_closing;
        if (m_prompter) {
            std::string text = jp("ウォッチリストファイルを保存できませんでした。\n") + filePath();
            if (error != 0) {
                text += "\n" + jp("理由: ") + systemErrorText(error);
            }
            if (!m_closing) {
                text += "\n" + jp("ウォッチリストの内容は残してあり、次の保存で書き込み直します。");
            }
            m_prompter->showMessage(text, Prompter::Icon::Error);
        }
    }
    return false;
}

bool CWatchList::writeFile() {
    if (m_file.damagePending()) {
        if (!m_file.keepDamaged()) {
            return false; // never overwrite the only copy of the unread items
        }
        if (m_prompter) {
            m_prompter->showMessage(
                jp("ウォッチリストファイルの一部が壊れていたため、読み込めませんでした。\n"
                   "元のファイルは次の名前で保存してあります。\n") +
                    m_file.damagedCopy(),
                Prompter::Icon::Warning);
        }
    }
    std::string text;
    for (const WatchSettings& item : m_items) {
        text += item.toText();
    }
    std::string onDisk;
    onDisk.reserve(text.size() + text.size() / 16);
    for (const char ch : text) {
        if (ch == '\n') {
            onDisk += '\r';
        }
        onDisk += ch;
    }
    return m_file.write(onDisk);
}

void CWatchList::setSaveCoalescing(std::chrono::milliseconds delay, FlushRequest requestFlush) {
    m_saveDelay = requestFlush ? delay : std::chrono::milliseconds(0);
    m_requestFlush = std::move(requestFlush);
}

void CWatchList::flushSave() {
    m_flushRequested = false;
    if (m_savePending) {
        save();
    }
}

void CWatchList::saveOrDefer() {
    // A round of quick checks would otherwise write the whole list, with its fsyncs, once per
    // item: quadratic in the list's length. The first save after a quiet spell is made at once.
    const auto since = m_clock.steadyNow() - m_lastSave;
    if (m_saveDelay.count() <= 0 || since >= m_saveDelay) {
        save();
        return;
    }
    m_savePending = true;
    if (!m_flushRequested) {
        m_flushRequested = true;
        m_requestFlush(std::chrono::ceil<std::chrono::milliseconds>(m_saveDelay - since));
    }
}

bool CWatchList::stopChecker() {
    m_checker.stop();
    // The check may have begun, and reported, after the list last found the checker idle: its
    // result is then on its way to checkFinished, which must find the item it belongs to still
    // armed, and an edit of that item must wait for it as it would during the check.
    return m_checker.isBusy();
}

void CWatchList::reschedule() {
    if (!m_loadError.empty()) {
        return; // the list in memory is not the user's: nothing is checked or saved
    }
    saveOrDefer();
    if (m_current != -1 && stopChecker()) {
        return; // the result on its way reschedules when it is taken back
    }
    m_current = pickNext();
    m_currentId = m_current == -1 ? 0 : m_ids[m_current];
    if (m_current == -1) {
        WatchSettings midnight;
        midnight.nextCheck = nextMidnight(m_clock);
        m_checker.arm(midnight);
    } else {
        m_checker.arm(m_items[m_current]);
    }
    notify([&](WatchListObserver& o) { o.scheduleChanged(); });
}

int CWatchList::pickNext() {
    // One pass, no sort: this runs after every check, so a round over n items must not cost
    // n sorts of n. Due items go in the order of their due moments, then of the list.
    const std::time_t now = m_clock.now();
    m_due.clear();
    int first = -1;
    std::time_t firstAt = 0;
    int next = -1;
    for (int position = 0; position < count(); ++position) {
        WatchSettings& item = m_items[position];
        const std::time_t at = item.nextCheck;
        if (at == WatchSettings::kNotToday) {
            continue;
        }
        if (at != WatchSettings::kDueNow && at > now) {
            if (next == -1 || at < m_items[next].nextCheck) {
                next = position;
            }
            continue;
        }
        if (at != WatchSettings::kDueNow && at < now) {
            // A retry owed is made however late it has become (a second suspend).
            if (item.timing != "inter" && secondsBetween(at, now) >= 60 &&
                !m_retries.contains(m_ids[position])) {
                continue;
            }
            item.nextCheck = WatchSettings::kDueNow;
        }
        m_due.emplace_back(at, position);
        if (first == -1 || at < firstAt) {
            first = position;
            firstAt = at;
        }
    }
    if (first == -1) {
        return next;
    }
    if (!m_pacing) {
        return first;
    }
    const Clock::Steady::time_point steadyNow = m_clock.steadyNow();
    if (m_pacing->freeAt(m_items[first].targetUrl) <= steadyNow) {
        return first;
    }
    // Each host in its turn: items of a host asked a moment ago wait while those of other
    // hosts go, so that a round over many hosts loses no time; when every host is in its gap,
    // the one free first goes and the checker waits the rest.
    std::stable_sort(m_due.begin(), m_due.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    int best = first;
    Clock::Steady::time_point bestFree = Clock::Steady::time_point::max();
    for (const auto& [at, position] : m_due) {
        const Clock::Steady::time_point free =
            std::max(m_pacing->freeAt(m_items[position].targetUrl), steadyNow);
        if (free < bestFree) {
            best = position;
            bestFree = free;
            if (free == steadyNow) {
                break;
            }
        }
    }
    return best;
}

bool CWatchList::isBusy() const {
    return m_checker.isBusy();
}

void CWatchList::replace(int position, const WatchSettings& item) {
    if (position >= 0 && position < count()) {
        replaceById(m_ids[position], item);
    }
}

void CWatchList::remove(int position) {
    if (position >= 0 && position < count()) {
        removeById(m_ids[position]);
    }
}

CWatchList::ItemId CWatchList::add(const WatchSettings& item) {
    if (isBusy()) {
        // The id is handed out now, so that the caller can edit the item before it arrives.
        const ItemId id = m_nextId++;
        m_pendingEdits.push_back({EditKind::Add, id, item});
        return id;
    }
    const ItemId id = append(item);
    notify([&](WatchListObserver& o) { o.itemAdded(id); });
    reschedule();
    return id;
}

bool CWatchList::replaceById(ItemId id, const WatchSettings& item) {
    if (!knownId(id)) {
        return false;
    }
    if (isBusy()) {
        m_pendingEdits.push_back({EditKind::Replace, id, item});
        return true;
    }
    const int position = positionOf(id);
    if (position == m_current && stopChecker()) {
        m_pendingEdits.push_back({EditKind::Replace, id, item});
        return true;
    }
    putEdit(position, item);
    notify([&](WatchListObserver& o) { o.itemReplaced(id); });
    reschedule();
    return true;
}

CWatchList::ItemId CWatchList::define(const WatchSettings& item, ItemId id) {
    if (id == 0) {
        return add(item);
    }
    if (isBusy()) {
        // Applied with the others once the check is done, which adds it anew if its item is
        // gone by then.
        m_pendingEdits.push_back({EditKind::Replace, id, item});
        return id;
    }
    if (positionOf(id) >= 0) {
        replaceById(id, item);
        return id;
    }
    const ItemId added = append(item);
    notify([&](WatchListObserver& o) {
        o.itemAdded(added);
        o.editedItemWasGone(id, added);
    });
    reschedule();
    return added;
}

bool CWatchList::removeById(ItemId id) {
    if (!knownId(id)) {
        return false;
    }
    if (isBusy()) {
        m_pendingEdits.push_back({EditKind::Remove, id, WatchSettings()});
        return true;
    }
    const int position = positionOf(id);
    if (position == m_current) {
        if (stopChecker()) {
            m_pendingEdits.push_back({EditKind::Remove, id, WatchSettings()});
            return true;
        }
        m_current = -1;
        m_currentId = 0;
    }
    erase(position);
    if (position < m_current) {
        --m_current;
    }
    notify([&](WatchListObserver& o) { o.itemRemoved(id, position); });
    reschedule();
    return true;
}

std::vector<std::pair<CWatchList::ItemId, WatchSettings>> CWatchList::itemsAfterEdits() const {
    std::vector<std::pair<ItemId, WatchSettings>> items;
    items.reserve(m_items.size() + m_pendingEdits.size());
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        items.emplace_back(m_ids[i], m_items[i]);
    }
    // As applyEdit() will apply them; a replace whose item is gone adds under a new id, which
    // is not known yet: 0 names it.
    for (const PendingEdit& edit : m_pendingEdits) {
        const auto found = std::find_if(items.begin(), items.end(),
                                        [&](const auto& entry) { return entry.first == edit.id; });
        switch (edit.kind) {
        case EditKind::Add:
            items.emplace_back(edit.id, edit.item);
            break;
        case EditKind::Replace:
            if (found != items.end()) {
                found->second = edit.item;
            } else {
                items.emplace_back(0, edit.item);
            }
            break;
        case EditKind::Remove:
            if (found != items.end()) {
                items.erase(found);
            }
            break;
        }
    }
    return items;
}

void CWatchList::applyEdit(PendingEdit& edit) {
    const int position = positionOf(edit.id);
    switch (edit.kind) {
    case EditKind::Add:
        append(edit.item, edit.id);
        notify([&](WatchListObserver& o) { o.itemAdded(edit.id); });
        break;
    case EditKind::Replace:
        if (position >= 0) {
            putEdit(position, std::move(edit.item));
            notify([&](WatchListObserver& o) { o.itemReplaced(edit.id); });
        } else {
            // Deleted by an edit queued before this one: the user's settings are not dropped.
            const ItemId added = append(edit.item);
            notify([&](WatchListObserver& o) {
                o.itemAdded(added);
                o.editedItemWasGone(edit.id, added);
            });
        }
        break;
    case EditKind::Remove:
        if (position >= 0) {
            erase(position);
            notify([&](WatchListObserver& o) { o.itemRemoved(edit.id, position); });
        }
        break;
    }
}

void CWatchList::checkFinished(WatchSettings finishedCopy, std::time_t dueAgainAt) {
    // By id: the position armed may name another item once queued edits are applied.
    const int position = positionOf(m_currentId);
    if (position >= 0) {
        m_items[position] = std::move(finishedCopy);
        m_items[position].nextCheck = WatchSettings::kNotToday;
        m_retries.erase(m_currentId);
        if (dueAgainAt != 0) {
            m_dueAgain[m_currentId] = dueAgainAt;
        } else {
            m_dueAgain.erase(m_currentId);
        }
        notify([&](WatchListObserver& o) { o.itemChecked(m_currentId); });
    }
    moveOn();
}

void CWatchList::retryLater(std::time_t at) {
    if (positionOf(m_currentId) >= 0) {
        m_retries[m_currentId] = at;
    }
    moveOn();
}

void CWatchList::moveOn() {
    while (!m_pendingEdits.empty()) {
        PendingEdit edit = std::move(m_pendingEdits.front());
        m_pendingEdits.pop_front();
        applyEdit(edit);
    }
    const ScheduleZoneScope zone;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        WatchSettings& item = m_items[i];
        computeNextCheck(item, true, m_clock, m_prompter);
        // A retry is due when it is, whatever the schedule: its item has not been checked.
        if (const auto retry = m_retries.find(m_ids[i]); retry != m_retries.end()) {
            item.nextCheck = retry->second;
        } else if (const auto again = m_dueAgain.find(m_ids[i]); again != m_dueAgain.end()) {
            item.nextCheck = again->second;
        }
    }
    m_checker.setIdle();
    // Nothing is armed any more; reschedule must not stop by the old position.
    m_current = -1;
    m_currentId = 0;
    reschedule();
}

void CWatchList::setClosing() {
    m_closing = true;
    m_checker.setClosing();
}

int CWatchList::positionOf(ItemId id) const {
    const auto it = std::find(m_ids.begin(), m_ids.end(), id);
    return it == m_ids.end() ? -1 : static_cast<int>(it - m_ids.begin());
}

CWatchList::ItemId CWatchList::append(const WatchSettings& item, ItemId id) {
    if (id == 0) {
        id = m_nextId++;
    }
    m_items.push_back(item);
    m_ids.push_back(id);
    return id;
}

bool CWatchList::knownId(ItemId id) const {
    if (positionOf(id) >= 0) {
        return true;
    }
    return std::any_of(m_pendingEdits.begin(), m_pendingEdits.end(), [id](const PendingEdit& e) {
        return e.kind == EditKind::Add && e.id == id;
    });
}

void CWatchList::putEdit(int position, WatchSettings edited) {
    // The user's edit decides when the item is checked next.
    m_retries.erase(m_ids[position]);
    m_dueAgain.erase(m_ids[position]);
    WatchSettings& current = m_items[position];
    if (m_history) {
        // The sheet may have been opened before the item's first check named its stored copy:
        // the name stays, and with it the item's history.
        if (edited.compareFile.empty()) {
            edited.compareFile = current.compareFile;
        }
        const std::string from = HistoryStore::keyOf(current.compareFile);
        const std::string to = HistoryStore::keyOf(edited.compareFile);
        if (!from.empty() && !to.empty() && from != to) {
            m_history->rename(from, to);
            if (m_failures) {
                m_failures->rename(from, to);
            }
            ValidatorStore(m_folder).rename(from, to);
        }
    }
    current = std::move(edited);
}

void CWatchList::erase(int position) {
    if (m_history) {
        const std::string key = HistoryStore::keyOf(m_items[position].compareFile);
        const bool shared =
            std::count_if(m_items.begin(), m_items.end(), [&](const WatchSettings& item) {
                return HistoryStore::keyOf(item.compareFile) == key;
            }) > 1;
        if (!key.empty() && !shared) {
            m_history->remove(key);
            if (m_failures) {
                m_failures->remove(key);
            }
            ValidatorStore(m_folder).remove(key);
        }
    }
    m_retries.erase(m_ids[position]);
    m_dueAgain.erase(m_ids[position]);
    m_items.erase(m_items.begin() + position);
    m_ids.erase(m_ids.begin() + position);
}

} // namespace tw

namespace tw {

void CWatchList::addObserver(WatchListObserver* observer) {
    if (observer &&
        std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end()) {
        m_observers.push_back(observer);
    }
}

void CWatchList::removeObserver(WatchListObserver* observer) {
    std::erase(m_observers, observer);
}

void CWatchList::notify(const std::function<void(WatchListObserver&)>& call) {
    // A copy: an observer may come or go while it hears of a change.
    const std::vector<WatchListObserver*> observers = m_observers;
    for (WatchListObserver* observer : observers) {
        if (std::find(m_observers.begin(), m_observers.end(), observer) != m_observers.end()) {
            call(*observer);
        }
    }
}

} // namespace tw
