#include "gui/feed/AnnounceFlow.h"

#include "core/app/CHLPCall.h"
#include "core/records/FetchSettings.h"
#include "gui/feed/AnnounceSettings.h"
#include "gui/feed/CAnnounceDlg.h"

#include <QPushButton>
#include <QTimer>

namespace tw::gui {

AnnounceFlow::AnnounceFlow(Services services)
    : m_services(std::move(services)), m_alive(std::make_shared<AnnounceFlow*>(this)) {}

AnnounceFlow::~AnnounceFlow() {
    closeQuestion();
    end();
}

void AnnounceFlow::start(const std::string& name, const std::string& defaultLocation, int delayMs,
                         int programVersion, const std::string& category) {
    const std::weak_ptr<AnnounceFlow*> alive = m_alive;
    m_feed = std::make_unique<CAnnounceFeed>(CAnnounceFeed::Services{
        m_services.executor,
        m_services.dataFolder,
        m_services.configRoot,
        m_services.prompter,
        [alive] {
            const auto flow = alive.lock();
            return flow ? (*flow)->ask() : CAnnounceFeed::Answer::Later;
        },
        [alive](const std::string* announcedUrl) {
            if (const auto flow = alive.lock()) {
                (*flow)->announced(announcedUrl);
            }
        },
    });
    m_feed->create(name, defaultLocation);
    m_feed->start(delayMs, programVersion, category);
}

CAnnounceFeed::Answer AnnounceFlow::ask() {
    if (m_closing) {
        return CAnnounceFeed::Answer::Later;
    }
    auto* dialog = new CAnnounceDlg(m_services.parent);
    m_question = dialog;
    if (announceAnswersItself()) {
        QTimer::singleShot(0, dialog, [dialog] { dialog->yesButton()->click(); });
    }
    const std::weak_ptr<AnnounceFlow*> alive = m_alive;
    const int result = dialog->exec();
    if (alive.expired()) {
        return CAnnounceFeed::Answer::Later;
    }
    // The owner may have ended while the dialog was open: it then counts as another time.
    const bool closed = m_closing || !m_question;
    delete m_question;
    return closed ? CAnnounceFeed::Answer::Later : CAnnounceDlg::answerFor(result);
}

void AnnounceFlow::announced(const std::string* announcedUrl) {
    if (announcedUrl) {
        FetchSettings record;
        record.targetUrl = *announcedUrl;
        record.itemTag = kItemTag;
        m_services.bridge.display(record);
    }
    // The address lives in the feed: it goes only after the display bridge has its copy.
    m_feed.reset();
}

void AnnounceFlow::closeQuestion() {
    m_closing = true;
    if (m_question) {
        m_question->done(CAnnounceDlg::kLater);
    }
}

void AnnounceFlow::end() {
    m_feed.reset();
}

} // namespace tw::gui
