#include "gui/editor/pages/SourceDownload.h"

#include <algorithm>
#include <atomic>

namespace tw::gui {

struct SourceDownload::Job {
    Job(FetchRequest r, PageDownload d) : request(std::move(r)), download(std::move(d)) {
        request.cancelRequested = &cancel;
    }
    std::atomic<bool> cancel{false};
    FetchRequest request;
    PageDownload download;
};

SourceDownload::SourceDownload(QObject* parent) : QObject(parent) {}

SourceDownload::~SourceDownload() {
    for (const auto& job : m_jobs) {
        job->cancel = true;
    }
    m_work.close();
    // Their ends were never handled: nothing of them may stay on disk.
    for (const auto& job : m_jobs) {
        job->download.discard();
    }
}

void SourceDownload::start(FetchRequest request, PageDownload download, Prompter* prompter) {
    cancel();
    auto job = std::make_shared<Job>(std::move(request), std::move(download));
    m_work.setPrompter(prompter);
    // The worker shares nothing with this object but its job, which lives until the end is
    // handled, and it asks for credentials only through the work's executor.
    const bool started = m_work.start(
        [job, relay = &m_work.prompter()] { job->download.fetch(job->request, relay); },
        [this, job] { jobDone(job); });
    if (started) {
        m_job = job;
        m_jobs.push_back(std::move(job));
    }
}

void SourceDownload::cancel() {
    if (m_job) {
        m_job->cancel = true;
    }
}

void SourceDownload::jobDone(const std::shared_ptr<Job>& job) {
    m_jobs.erase(std::remove(m_jobs.begin(), m_jobs.end(), job), m_jobs.end());
    const bool cancelled = job->cancel.load();
    if (cancelled) {
        job->download.discard();
    }
    if (job != m_job) {
        return;
    }
    m_job.reset();
    emit finished(job->request, job->download, cancelled);
    // What the receiver did not keep is not kept.
    job->download.discard();
}

} // namespace tw::gui
