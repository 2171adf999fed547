#pragma once

#include "records/WatchSettings.h"

#include <cstdint>
#include <deque>
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

    void start(CheckReceiver* receiver);
    bool load();
    bool save();
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
};

} // namespace tw
