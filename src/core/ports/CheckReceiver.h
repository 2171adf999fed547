#pragma once

#include "records/WatchSettings.h"

namespace tw {

/// Receives the checker's finished item copy, by value: the receiver owns it, whatever the
/// checker does next. Called on the checker's worker thread; the receiver hands the copy to its
/// owner's thread (CheckSession posts it through the executor), where the watch list takes it
/// back.
class CheckReceiver {
public:
    virtual ~CheckReceiver() = default;
    virtual void checkDone(WatchSettings finishedCopy) = 0;
};

} // namespace tw
