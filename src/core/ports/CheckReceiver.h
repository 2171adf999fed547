#pragma once

#include "core/ports/WatchListObserver.h"
#include "core/records/WatchSettings.h"

namespace tw {

/// Receives finished checks, by value: the receiver owns the copy, whatever the checker does
/// next. `itemId` names the watch list item the copy belongs to; results are shown by id, never
/// by position, since positions shift while rows stay.
///
/// Two hops use it. The checker calls its receiver on its worker thread; it checks a copy and
/// does not know the item's id, so it passes kArmedItem ("the item the list armed me with").
/// CheckSession takes that report to its owner's thread, names the item with the list's own
/// id, and hands it to the front end's receiver there, before the watch list takes the copy
/// back. A front end (the window's result list, the headless mode's printer, a test) implements
/// only that second hop.
class CheckReceiver {
public:
    /// The id a checker reports with: the item the watch list armed it with.
    static constexpr WatchItemId kArmedItem = 0;

    virtual ~CheckReceiver() = default;
    /// At the front end, `itemId` is 0 only for the placeholder the list arms when nothing is
    /// due before midnight (its copy has no address).
    virtual void checkDone(WatchSettings finishedCopy, WatchItemId itemId) = 0;
};

} // namespace tw
