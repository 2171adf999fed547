#pragma once

namespace tw {

/// Result codes of refreshing one link (CLinkList::checkLink), as the row images show them
/// (image = result + 2).
enum LinkResult : int {
    kLinkOutOfRange = 0,
    kLinkUpdated = 1,
    kLinkUnchanged = 2,
    kLinkError = 4,
};

/// The private messages the link update worker sends to its receiver.
constexpr int UWM_LINKRESULT = 2030;
constexpr int UWM_LINKDONE = 2031;

/// Hears the link update worker. Both calls run on the owner's thread through the executor's
/// send(), so the worker waits until they have returned: the row of a link is updated before the
/// worker refreshes the next one. While the worker runs, the receiver may read the list
/// (CLinkList::link) but must not change it.
class LinkReceiver {
public:
    virtual ~LinkReceiver() = default;
    /// UWM_LINKRESULT: link `index` was refreshed with `result` (kLinkUpdated, kLinkUnchanged
    /// or kLinkError); CLinkList::link(index) already holds the refreshed record. A front end
    /// that answers the message answers CLinkList::resultAnswer(result): 1 for kLinkUpdated.
    virtual void linkResult(int index, int result) = 0;
    /// UWM_LINKDONE: the worker has finished (all links, or stopped); it is idle right after.
    virtual void linkDone() = 0;
};

} // namespace tw
