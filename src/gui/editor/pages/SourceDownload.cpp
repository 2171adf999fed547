#include "editor/pages/SourceDownload.h"

#include "net/CFetch.h"
#include "util/SystemPath.h"

#include <QCoreApplication>
#include <QPointer>

#include <atomic>
#include <cstdio>
#include <thread>

namespace tw::gui {

struct SourceDownload::Job {
    explicit Job(FetchRequest r) : request(std::move(r)) { request.cancelRequested = &cancel; }
    std::atomic<bool> cancel{false};
    FetchRequest request;
};

namespace {

std::atomic<int> g_pending{0};

void removeWritten(const FetchRequest& request) {
    if (request.errorKind == 0 && !request.savedPath.empty()) {
        std::remove(systemPath(request.savedPath).c_str());
    }
}

} // namespace

SourceDownload::SourceDownload(QObject* parent) : QObject(parent) {}

int SourceDownload::pending() {
    return g_pending.load();
}

SourceDownload::~SourceDownload() {
    // The workers hold their jobs; cancelling them is enough to make each end soon.
    for (auto& [job, worker] : m_workers) {
        job->cancel = true;
    }
    for (auto& [job, worker] : m_workers) {
        worker.join();
    }
}

void SourceDownload::start(FetchRequest request, Prompter* prompter) {
    if (m_job) {
        m_job->cancel = true;
    }
    auto job = std::make_shared<Job>(std::move(request));
    m_job = job;
    ++g_pending;
    QPointer<SourceDownload> self(this);
    // The application object receives the end, so that it is handled (the file removed) even
    // when this object has gone meanwhile.
    m_workers[job.get()] = std::thread([job, prompter, self = std::move(self)]() mutable {
        CFetch fetch(prompter);
        fetch.fetchToFile(job->request);
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) {
            removeWritten(job->request);
            --g_pending;
            return;
        }
        QMetaObject::invokeMethod(
            app,
            [job, self = std::move(self)] {
                if (self) {
                    self->jobDone(job);
                } else {
                    removeWritten(job->request);
                }
                --g_pending;
            },
            Qt::QueuedConnection);
    });
}

void SourceDownload::cancel() {
    if (m_job) {
        m_job->cancel = true;
    }
}

void SourceDownload::jobDone(const std::shared_ptr<Job>& job) {
    // Its last step was to post this: the join is immediate.
    if (auto worker = m_workers.find(job.get()); worker != m_workers.end()) {
        worker->second.join();
        m_workers.erase(worker);
    }
    if (job != m_job) {
        removeWritten(job->request);
        return;
    }
    m_job.reset();
    const bool cancelled = job->cancel.load();
    if (cancelled) {
        removeWritten(job->request);
    }
    emit finished(job->request, cancelled);
}

} // namespace tw::gui
