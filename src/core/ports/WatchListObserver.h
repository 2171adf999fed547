#pragma once

#include <cstdint>

namespace tw {

/// Identity of a watch list item that survives edits of other items; 0 is never used.
using WatchItemId = std::uint64_t;

/// Hears what changed in the watch list, by item id, after the change, on the list's thread.
/// A model over the list looks the position up with CWatchList::positionOf(). Every call has
/// an empty default, so an observer overrides only what it shows.
class WatchListObserver {
public:
    virtual ~WatchListObserver() = default;

    /// The whole list was (re)loaded: every earlier id is gone.
    virtual void listReset() {}
    /// Appended at the end of the list.
    virtual void itemAdded(WatchItemId /*id*/) {}
    /// An edit replaced the item's settings; it keeps its id and position.
    virtual void itemReplaced(WatchItemId /*id*/) {}
    /// Removed; `formerPosition` is where it was until this change.
    virtual void itemRemoved(WatchItemId /*id*/, int /*formerPosition*/) {}
    /// The checker's finished copy was stored over the item.
    virtual void itemChecked(WatchItemId /*id*/) {}
    /// An edit queued during a check found its item deleted meanwhile: the edited settings
    /// were added as the new item `addedId` (itemAdded() came just before).
    virtual void editedItemWasGone(WatchItemId /*goneId*/, WatchItemId /*addedId*/) {}
    /// Due moments were recomputed and the next check armed.
    virtual void scheduleChanged() {}
};

} // namespace tw
