#pragma once

#include "net/FetchRequest.h"

#include <QObject>

#include <map>
#include <memory>
#include <thread>

namespace tw {
class Prompter;
}

namespace tw::gui {

/// Fetches a page into a file on a worker thread, one download at a time: starting another
/// cancels the one in flight, whose result is never delivered (a file it wrote is removed).
/// The outcome arrives on the owner's thread through finished().
class SourceDownload : public QObject {
    Q_OBJECT
public:
    explicit SourceDownload(QObject* parent = nullptr);
    /// Downloads still running are cancelled and waited for (a transfer ends at once when
    /// cancelled; the owner closes its executor first, so no credentials prompt can hold
    /// one); a file one wrote is removed.
    ~SourceDownload() override;

    /// Starts fetching `request` (destFile names the file to write) with `prompter` answering
    /// credentials prompts (it must outlive the download; null refuses them).
    void start(FetchRequest request, Prompter* prompter);
    /// Stops the download in flight; finished() then comes with the request marked cancelled.
    void cancel();
    bool busy() const { return m_job != nullptr; }
    /// Downloads of every SourceDownload, superseded ones included, whose end has not yet been
    /// handled on the owner's thread (their files not yet removed or handed over).
    static int pending();

    struct Job;

signals:
    /// The outcome of the latest download: request.errorKind 0 and request.savedPath naming
    /// the file on success. `cancelled` when cancel() stopped it.
    void finished(const tw::FetchRequest& request, bool cancelled);

private:
    void jobDone(const std::shared_ptr<Job>& job);

    std::shared_ptr<Job> m_job;
    /// Every worker not yet joined, by its job.
    std::map<Job*, std::thread> m_workers;
};

} // namespace tw::gui
