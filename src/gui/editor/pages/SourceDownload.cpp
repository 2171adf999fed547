#include "editor/pages/SourceDownload.h"

#include "net/CFetch.h"

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
        std::remove(request.savedPath.c_str());
    }
}

} // namespace

SourceDownload::SourceDownload(QObject* parent) : QObject(parent) {}

int SourceDownload::pending() {
    return g_pending.load();
}

SourceDownload::~SourceDownload() {
    if (m_job) {
        m_job->cancel = true;
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
    // Not joined: a credentials prompt may hold the worker while this object goes away; the
    // job owns everything it touches, and the application object receives its end.
    std::thread([job, prompter, self = std::move(self)]() mutable {
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
    }).detach();
}

void SourceDownload::cancel() {
    if (m_job) {
        m_job->cancel = true;
    }
}

void SourceDownload::jobDone(const std::shared_ptr<Job>& job) {
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
