#pragma once

#include "records/WatchSettings.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace tw {

class Clock;
class ItemChecker;
class CheckReceiver;
class Prompter;

/// All watch items in list order, kept in WatchList.twl, driving the one item checker.
/// Every operation runs on the main thread.
class CWatchList {
public:
    /// Identity of a stored item that survives edits of other items; 0 is never used.
    using ItemId = std::uint64_t;

    CWatchList(ItemChecker& checker, const Clock& clock, Prompter* prompter, std::string folder);
    CWatchList(const CWatchList&) = delete;
    CWatchList& operator=(const CWatchList&) = delete;
    /// A save still owed is made here.
    ~CWatchList();

    void start(CheckReceiver* receiver);
    bool load();
    /// Writes the file at once (crash-safe: the old or the new file is whole on disk).
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

    void replace(int position, const WatchSettings& item);
    void add(const WatchSettings& item);
    void remove(int position);
    void checkFinished(const WatchSettings& finishedCopy);
    void setClosing();

    int count() const { return static_cast<int>(m_items.size()); }
    WatchSettings itemAt(int position) const { return m_items.at(position); }
    ItemId idAt(int position) const { return m_ids.at(position); }
    int positionOf(ItemId id) const;
    int current() const { return m_current; }
    std::size_t pendingEditCount() const { return m_pendingEdits.size(); }

    std::string filePath() const { return m_folder + "/WatchList.twl"; }
    /// Where the unread part of a damaged file was kept, empty when the load was clean.
    const std::string& damagedCopy() const { return m_damagedCopy; }

private:
    struct PendingEdit {
        WatchSettings item;
        int position;
        std::string operation;
    };

    void append(const WatchSettings& item);
    void erase(int position);
    bool keepDamagedFile();
    bool writeFile();
    void saveOrDefer();

    ItemChecker& m_checker;
    const Clock& m_clock;
    Prompter* m_prompter;
    std::string m_folder;
    int m_current = -1;
    std::vector<WatchSettings> m_items;
    std::vector<ItemId> m_ids;
    ItemId m_nextId = 1;
    std::vector<int> m_sorted;
    std::deque<PendingEdit> m_pendingEdits;
    bool m_loadedDamaged = false;
    std::string m_damagedCopy;
    std::chrono::milliseconds m_saveDelay{0};
    FlushRequest m_requestFlush;
    std::chrono::steady_clock::time_point m_lastSave{};
    bool m_savePending = false;
    bool m_flushRequested = false;
};

} // namespace tw
