#pragma once

#include <ctime>

namespace tw {

class WatchSettings;
class CheckReceiver;

/// What the watch list needs of the one item checker; CReNew implements it, tests fake it.
class ItemChecker {
public:
    virtual ~ItemChecker() = default;
    virtual void setReceiver(CheckReceiver* receiver) = 0;
    /// Takes a copy of the item and starts waiting for its due moment.
    virtual void arm(const WatchSettings& item) = 0;
    /// Ends a pending wait without a check; returns once the worker has ended.
    virtual void stop() = 0;
    /// True while a check runs or its result has not been taken back, and in the last second
    /// before a due check.
    virtual bool isBusy() const = 0;
    /// No further results are reported and no update actions run.
    virtual void setClosing() = 0;
    /// The watch list has taken the result back; a new check may begin.
    virtual void setIdle() = 0;
};

} // namespace tw
