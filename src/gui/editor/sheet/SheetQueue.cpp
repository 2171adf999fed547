#include "gui/editor/sheet/SheetQueue.h"

#include "core/ports/Executor.h"

namespace tw::gui {

SheetQueue::SheetQueue(Executor& executor, Lookup lookup, Open open)
    : m_executor(executor), m_lookup(std::move(lookup)), m_openSheet(std::move(open)),
      m_alive(std::make_shared<SheetQueue*>(this)) {}

SheetQueue::~SheetQueue() = default;

void SheetQueue::openNew(const WatchSettings& item) {
    request({item, 0});
}

void SheetQueue::openItem(WatchItemId id) {
    request({WatchSettings(), id});
}

void SheetQueue::close() {
    m_closed = true;
    m_held.clear();
}

void SheetQueue::request(Request request) {
    if (m_closed) {
        return;
    }
    if (m_sheetOpen) {
        m_held.push_back(std::move(request));
        return;
    }
    run(request);
}

void SheetQueue::run(const Request& request) {
    std::optional<WatchSettings> item;
    if (request.id == 0) {
        item = request.item;
    } else {
        // Looked up when it is time: the item may have changed, gone, or (added during a
        // check) arrived since it was asked for.
        item = m_lookup(request.id);
        if (!item) {
            return;
        }
    }
    m_sheetOpen = true;
    ++m_openings;
    m_openSheet(*item, request.id);
    m_sheetOpen = false;
    if (!m_held.empty() && !m_closed) {
        // After this opening has fully ended, from the loop.
        m_executor.post([alive = std::weak_ptr<SheetQueue*>(m_alive)] {
            if (const auto queue = alive.lock()) {
                (*queue)->takeHeld();
            }
        });
    }
}

void SheetQueue::takeHeld() {
    // A request whose item has gone opens nothing: the next one is taken at once. One that
    // opens the sheet takes the rest along when it closes.
    const int openings = m_openings;
    while (!m_closed && !m_sheetOpen && openings == m_openings && !m_held.empty()) {
        const Request request = std::move(m_held.front());
        m_held.pop_front();
        run(request);
    }
}

} // namespace tw::gui
