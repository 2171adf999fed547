#pragma once

#include "core/ports/WatchListObserver.h"

#include <functional>
#include <string>

namespace tw {

/// One message for the desktop's notification service about one watch item.
struct Notice {
    enum class Kind {
        Change,   ///< the page changed
        Failing,  ///< the item's checks have failed a number of times in a row
        Recovered ///< a check succeeded after a Failing notice
    };
    Kind kind = Kind::Change;
    /// The item it is about: an action invoked on the notice names it.
    WatchItemId item = 0;
    /// Plain UTF-8 texts (what the bus carries); the notifier escapes them for the service.
    std::string summary;
    std::string body;
};

/// Where notices go: the desktop's notification service, or nowhere. Implemented outside the
/// core (QtDBus); calls come from the front end's thread and must return at once: the service
/// is asked without waiting for its answer.
class Notifier {
public:
    /// What the user chose on a notice.
    enum class Action {
        Show,   ///< show the item's page, as its show-in-browser action does
        Changes ///< open the item's change view
    };
    /// Runs on the notifier's own thread; the item may have been deleted since.
    using ActionHandler = std::function<void(WatchItemId, Action)>;

    virtual ~Notifier() = default;
    virtual void notify(const Notice& notice) = 0;
    /// Replaces the handler; once this returns, the old one is no longer running nor called.
    virtual void setActionHandler(ActionHandler handler) = 0;
};

} // namespace tw
