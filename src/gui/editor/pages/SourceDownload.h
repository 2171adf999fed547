#pragma once

#include "core/net/FetchRequest.h"
#include "core/watch/PageDownload.h"
#include "gui/common/BackgroundWork.h"

#include <QObject>

#include <memory>
#include <vector>

namespace tw {
class Prompter;
}

namespace tw::gui {

/// Downloads an item's page for the source view on a worker, one at a time: starting another
/// cancels the one in flight, whose result is never delivered and whose file is removed. The
/// outcome arrives on the GUI thread through finished().
class SourceDownload : public QObject {
    Q_OBJECT
public:
    explicit SourceDownload(QObject* parent = nullptr);
    /// Downloads still running are cancelled and waited for (a transfer ends at once when
    /// cancelled, a credentials prompt not yet shown is refused); files they wrote are removed.
    ~SourceDownload() override;

    /// Fetches `request` (set up by `download`) with `prompter` answering credentials prompts on
    /// the GUI thread (null refuses them).
    void start(FetchRequest request, PageDownload download, Prompter* prompter);
    /// Stops the download in flight; finished() then comes with `cancelled` set.
    void cancel();
    bool busy() const { return m_job != nullptr; }
    /// Downloads, superseded ones included, whose end has not been handled yet (their files not
    /// yet removed or handed over).
    int pending() const { return m_work.running(); }

    struct Job;

signals:
    /// The outcome of the latest download: `download.path()` names the page when it was fetched
    /// (the receiver keeps or discards it), empty after a failure, which `request` describes.
    /// `cancelled` when cancel() stopped it (nothing is left of it then).
    void finished(const tw::FetchRequest& request, tw::PageDownload& download, bool cancelled);

private:
    void jobDone(const std::shared_ptr<Job>& job);

    /// The latest download, while it runs.
    std::shared_ptr<Job> m_job;
    /// Every download whose end has not been handled.
    std::vector<std::shared_ptr<Job>> m_jobs;
    BackgroundWork m_work;
};

} // namespace tw::gui
