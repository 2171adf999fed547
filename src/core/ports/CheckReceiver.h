#pragma once

namespace tw {

class WatchSettings;

/// Receives the checker's finished item copy. Called on the checker's worker thread; the copy
/// stays valid and unchanged until the checker is armed again, which happens only after the
/// receiver's owner has handed it back to the watch list on the main thread. The GUI turns the
/// call into a queued call to the result list; the headless mode posts it to its main loop.
class CheckReceiver {
public:
    virtual ~CheckReceiver() = default;
    virtual void checkDone(const WatchSettings& finishedCopy) = 0;
};

} // namespace tw
