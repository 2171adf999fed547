#pragma once

#include "core/ports/WatchListObserver.h"
#include "core/records/WatchSettings.h"

#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace tw {
class Executor;
}

namespace tw::gui {

/// Openings of the one site definition sheet, one at a time. A request made while the sheet is
/// open (a sibling's hand-over, an edit from the result list) is held: opening it then would
/// throw away what the user is typing. Once an opening has fully ended, the held requests are
/// taken in the order made, from the owner's loop; an edit is looked up only then, so it opens
/// on the item as it is by that time, and one whose item has gone opens nothing and lets the
/// next request go at once.
class SheetQueue {
public:
    /// The item `id` as it is now; nothing once it has gone.
    using Lookup = std::function<std::optional<WatchSettings>(WatchItemId id)>;
    /// Shows the sheet modally on `item`, addressed to `id` (0 for a new item); returns once
    /// the sheet has closed.
    using Open = std::function<void(const WatchSettings& item, WatchItemId id)>;

    /// Held requests are taken up through `executor`, whose owner's thread runs every call.
    SheetQueue(Executor& executor, Lookup lookup, Open open);
    ~SheetQueue();
    SheetQueue(const SheetQueue&) = delete;
    SheetQueue& operator=(const SheetQueue&) = delete;

    /// Opens the sheet on a new item built from `item`, or holds the request.
    void openNew(const WatchSettings& item);
    /// Opens the sheet on the list's item `id`, or holds the request.
    void openItem(WatchItemId id);
    /// The owner is ending: nothing opens any more and held requests are dropped.
    void close();

    bool isOpen() const { return m_sheetOpen; }
    std::size_t heldCount() const { return m_held.size(); }

private:
    struct Request {
        WatchSettings item; ///< the new item; unused for an edit
        WatchItemId id = 0; ///< the item to edit; 0 for a new one
    };

    void request(Request request);
    void run(const Request& request);
    void takeHeld();

    Executor& m_executor;
    Lookup m_lookup;
    Open m_openSheet;
    std::deque<Request> m_held;
    bool m_sheetOpen = false;
    bool m_closed = false;
    int m_openings = 0;
    /// Tasks posted to the executor hold a weak reference: they do nothing once we are gone.
    std::shared_ptr<SheetQueue*> m_alive;
};

} // namespace tw::gui
