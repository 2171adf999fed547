#pragma once

#include "core/ports/WatchListObserver.h"
#include "core/records/WatchSettings.h"
#include "core/util/ProgramFile.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tw {

class Clock;
class FailureAlerts;
class HistoryStore;
class HostPacing;
class ItemChecker;
class CheckReceiver;
class Prompter;

/// All watch items in list order, kept in WatchList.twl, driving the one item checker.
/// Every operation runs on the main thread. Items are named by id: positions shift with every
/// add and delete, ids never do.
class CWatchList {
public:
    /// Identity of a stored item that survives edits of other items; 0 is never used.
    using ItemId = WatchItemId;

    CWatchList(ItemChecker& checker, const Clock& clock, Prompter* prompter, std::string folder);
    CWatchList(const CWatchList&) = delete;
    CWatchList& operator=(const CWatchList&) = delete;
    /// A save still owed is made here.
    ~CWatchList();

    /// Loads the list and arms the checker. False when the file exists but could not be read:
    /// the user is told, nothing is armed and the list never saves over the file.
    bool start(CheckReceiver* receiver);
    /// True when a file was read (whole or damaged); false when there is none or it could not
    /// be read (then loadError() says why).
    bool load();
    /// Why the file could not be read (code page 932); empty when the load was fine.
    const std::string& loadError() const { return m_loadError; }
    /// Writes the file at once (crash-safe: the old or the new file is whole on disk). False
    /// when it failed, or when the file could not be read at load and must not be replaced; a
    /// failed save stays owed, and the user hears of it once until a save succeeds again, and
    /// once more at the first failed save after setClosing(), without the promise of a retry.
    bool save();

    /// Asks the owner to call flushSave() after the given time, on the list's thread.
    using FlushRequest = std::function<void(std::chrono::milliseconds)>;
    /// Saves by reschedule that come within `delay` of the last save are made once that time
    /// has passed, through `requestFlush`, instead of one after another: each result still
    /// reaches the disk, at most `delay` later. A zero delay (the default) saves every time.
    void setSaveCoalescing(std::chrono::milliseconds delay, FlushRequest requestFlush);
    /// Makes the save still owed, if any.
    void flushSave();
    bool savePending() const { return m_savePending; }
    void reschedule();
    int pickNext();
    bool isBusy() const;

    /// The items' kept versions: a deleted item's go with it, and an edit that gives an item's
    /// stored copy another name takes them along. Not owned; null (the default) leaves them.
    void setHistory(HistoryStore* history) { m_history = history; }
    /// The hosts' turns: among the items due, one whose host may be asked now goes first, else
    /// the one whose host is free first. Not owned; null (the default) keeps the list's order.
    void setPacing(const HostPacing* pacing) { m_pacing = pacing; }
    /// The items' failure counts, which follow an item's key and go with the item.
    void setFailureAlerts(FailureAlerts* failures) { m_failures = failures; }

    /// Told of every change after it is made, in the order they were added. Not owned: an
    /// observer removes itself before it goes.
    void addObserver(WatchListObserver* observer);
    void removeObserver(WatchListObserver* observer);

    // Edits. While the checker holds an item (isBusy()) they are queued by id and applied, in
    // the order made, when the check comes back; the list stays as it is until then.

    /// Appends the item; returns its id, which names it at once even while queued.
    ItemId add(const WatchSettings& item);
    /// False when no such item is in the list (or queued to be added). A queued replace whose
    /// item was deleted meanwhile adds the settings as a new item instead of losing them.
    bool replaceById(ItemId id, const WatchSettings& item);
    /// An edit of item `id` (0: a new item): replaces it, or, when it has been deleted, adds the
    /// settings as a new item and tells the observers editedItemWasGone(), as for a queued
    /// replace. Returns the id the settings went to (while queued: `id`, or the new item's).
    ItemId define(const WatchSettings& item, ItemId id);
    /// False when no such item is in the list (or queued to be added).
    bool removeById(ItemId id);
    /// The same by position in the list as it is now; out of range does nothing.
    void replace(int position, const WatchSettings& item);
    void remove(int position);

    /// Takes the checker's finished copy back (by value: the checker may be armed again).
    /// A nonzero `dueAgainAt` makes the item due again at that wall-clock moment whatever its
    /// schedule says (its server asked to be left alone until then); an edit cancels it.
    void checkFinished(WatchSettings finishedCopy, std::time_t dueAgainAt = 0);
    /// The armed item's check is to be made again at the wall-clock moment `at` instead of
    /// counting: its copy is dropped (the item keeps its last completed state, and nobody hears
    /// of the check), and it is due at `at` whatever its schedule says. The outcome of that
    /// next check is taken back as any. An edit or the removal of the item cancels the retry.
    void retryLater(std::time_t at);
    /// True while item `id` waits for such a retry (or is being checked for it).
    bool retryPending(ItemId id) const { return m_retries.contains(id); }
    bool anyRetryPending() const { return !m_retries.empty(); }
    void setClosing();

    int count() const { return static_cast<int>(m_items.size()); }
    WatchSettings itemAt(int position) const { return m_items.at(position); }
    ItemId idAt(int position) const { return m_ids.at(position); }
    /// -1 when the id is not (or not yet) in the list.
    int positionOf(ItemId id) const;
    /// The position of the item armed in the checker, -1 when none (the midnight wait).
    int current() const { return m_current; }
    /// The id of the item armed in the checker, 0 when none.
    ItemId currentId() const { return m_currentId; }
    std::size_t pendingEditCount() const { return m_pendingEdits.size(); }
    /// The items with their ids as they will be once the queued edits are applied, in list
    /// order: what a reader from outside (a list command) is to see while a check runs.
    std::vector<std::pair<ItemId, WatchSettings>> itemsAfterEdits() const;

    std::string filePath() const { return m_folder + "/WatchList.twl"; }
    /// Where the unread part of a damaged file was kept, empty when the load was clean.
    const std::string& damagedCopy() const { return m_file.damagedCopy(); }

private:
    enum class EditKind { Add, Replace, Remove };
    struct PendingEdit {
        EditKind kind;
        ItemId id;
        WatchSettings item;
    };

    ItemId append(const WatchSettings& item, ItemId id = 0);
    void erase(int position);
    /// Puts `edited` in place of the item at `position`, its history following the item.
    void putEdit(int position, WatchSettings edited);
    bool knownId(ItemId id) const;
    void applyEdit(PendingEdit& edit);
    bool loadFile();
    bool writeFile();
    void saveOrDefer();
    void notify(const std::function<void(WatchListObserver&)>& call);
    /// Queued edits applied, every item's next moment computed, the checker armed anew.
    void moveOn();
    /// Stops the armed check; true when it had already finished and its result is on its way.
    bool stopChecker();

    ItemChecker& m_checker;
    const Clock& m_clock;
    Prompter* m_prompter;
    std::string m_folder;
    std::vector<WatchListObserver*> m_observers;
    HistoryStore* m_history = nullptr;
    FailureAlerts* m_failures = nullptr;
    int m_current = -1;
    ItemId m_currentId = 0;
    std::vector<WatchSettings> m_items;
    std::vector<ItemId> m_ids;
    ItemId m_nextId = 1;
    /// The due items of the last pick, with their due moments (kept to save allocations).
    std::vector<std::pair<std::time_t, int>> m_due;
    std::deque<PendingEdit> m_pendingEdits;
    /// Items whose failed check is to be made once more, with the moment it is due.
    std::map<ItemId, std::time_t> m_retries;
    /// Items checked while their host was waiting, with the moment the wait ends.
    std::map<ItemId, std::time_t> m_dueAgain;
    const HostPacing* m_pacing = nullptr;
    /// WatchList.twl: refused when unreadable, its bytes kept aside when damaged.
    ProgramFile m_file;
    std::string m_loadError;
    bool m_saveFailing = false;
    bool m_closing = false;
    bool m_closingTold = false;
    std::chrono::milliseconds m_saveDelay{0};
    FlushRequest m_requestFlush;
    std::chrono::steady_clock::time_point m_lastSave{};
    bool m_savePending = false;
    bool m_flushRequested = false;
};

} // namespace tw
