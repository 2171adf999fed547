#pragma once

#include "core/links/LinkReceiver.h"
#include "core/platform/Event.h"

#include <atomic>
#include <string>
#include <thread>

namespace tw {

class Executor;
class FetchRequest;
class LinkCollection;
class LinkListFile;
class Prompter;

/// Refreshes the links of a list: asks each link's server whether its page changed and downloads
/// it into the list's folder when it did, one link on the calling thread (checkLink) or all of
/// them on a worker thread of its own.
///
/// While the worker runs, the owner only reads the links and the folder and may stop the worker;
/// the worker reads the folder and replaces the link it refreshed. Messages of the fetch engine
/// (logins, above all) go to the prompter given at construction, from whichever thread works.
class LinkRefresher {
public:
    /// Works on `links`, whose files lie in `file`'s folder; both outlive this object.
    LinkRefresher(const LinkListFile& file, LinkCollection& links, Prompter* prompter = nullptr);
    /// Stops the worker (aborting its transfer) and joins it. A worker waits in Executor::send()
    /// for its owner, so the owner closes the executor (or lets the worker become idle) before
    /// destroying a refresher whose worker runs.
    ~LinkRefresher();
    LinkRefresher(const LinkRefresher&) = delete;
    LinkRefresher& operator=(const LinkRefresher&) = delete;

    /// The program's link download option: not 0 overwrites a link's file when the content
    /// changed, 0 keeps older copies under numbered names.
    void setDownloadOption(int option) { m_downloadOption = option; }
    /// Refreshes link `index` on the calling thread: asks the server for its Last-Modified time
    /// when the file exists, downloads it when that changed or is unknown. kLinkUpdated,
    /// kLinkUnchanged, kLinkError, or kLinkOutOfRange. Sends nothing: the worker reports.
    int checkLink(int index);
    /// Downloads link `index` into a free temp.tmp variant and puts it in place: with `flags`
    /// 0 under the first free variant of its counter-stripped name, otherwise over its file
    /// unless the content is the same. 0 downloaded (the link records the file and the time),
    /// 1 the same content (nothing changed), -1 failed (the temporary file removed). `asked`,
    /// the request of the Last-Modified query just made, lends the download the logins the user
    /// typed for it, so that nobody is asked twice.
    int downloadLink(int index, int flags, const FetchRequest* asked = nullptr);

    /// Starts the worker on the links from first to last, or on link `onlyIndex` alone (a
    /// double-click), reporting each result and the end to `receiver` through `executor`'s
    /// send(). A send refused because the owner is closing ends the worker without further
    /// reports. False, starting nothing, while a worker runs.
    bool startWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex = -1);
    /// Asks the worker to stop before the next link; with `abortTransfer` the link in hand is
    /// given up as well, its transfer ended within moments (its result is an error). Returns at
    /// once.
    void stopWorker(bool abortTransfer = false);
    /// True while no worker runs; it becomes true right after the receiver's linkDone().
    bool isIdle() const { return m_idle.isSet(); }
    /// Waits until the worker has ended (the owner must not be the one it waits on in send()).
    void waitIdle();

private:
    /// The link's file in the folder; "" out of range or for a name that cannot be used.
    std::string localPath(int index) const;
    std::string placeUnderFreeName(const std::string& tempFile, const std::string& name) const;
    void runWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex);

    const LinkListFile& m_file;
    LinkCollection& m_links;
    Prompter* m_prompter;
    std::atomic<int> m_downloadOption{0};

    std::thread m_worker;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_abort{false};
    Event m_idle{true, true};
};

} // namespace tw
