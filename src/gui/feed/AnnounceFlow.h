#pragma once

#include "core/feed/CAnnounceFeed.h"
#include "gui/feed/CAnnounceDlg.h"

#include <QPointer>

#include <memory>
#include <string>

class QWidget;

namespace tw {
class CHLPCall;
class Executor;
class Prompter;
} // namespace tw

namespace tw::gui {

/// The announcement feed of one start: the feed fetches the announcement file after a delay,
/// asks the user on the owner's thread with CAnnounceDlg, and an announcement the user chose to
/// read is shown through the display bridge, tagged "__Watch_Ann". The feed goes as soon as
/// its result has been handled, or when the owner ends. Lives on the executor's thread.
class AnnounceFlow {
public:
    static constexpr const char* kItemTag = "__Watch_Ann";

    struct Services {
        Executor& executor;
        /// Where announce.dat is written.
        std::string dataFolder;
        /// Root of the registry store; empty for the user's own.
        std::string configRoot;
        /// Reports a registry key that cannot be created; may be null.
        Prompter* prompter = nullptr;
        /// Shows the announced page.
        CHLPCall& bridge;
        /// The parent of the question; may be null.
        QWidget* parent = nullptr;
    };

    explicit AnnounceFlow(Services services);
    /// end().
    ~AnnounceFlow();
    AnnounceFlow(const AnnounceFlow&) = delete;
    AnnounceFlow& operator=(const AnnounceFlow&) = delete;

    /// Starts the feed for program `name`: after `delayMs` it fetches the file that the
    /// settings store names, or `defaultLocation`; nothing happens when neither names one.
    void start(const std::string& name, const std::string& defaultLocation, int delayMs,
               int programVersion, const std::string& category);
    /// The owner begins to end: an open question is closed as "another time", and none is
    /// asked any more.
    void closeQuestion();
    /// Drops the feed. Called once the executor has closed, so that a worker waiting on its
    /// question is let go at once.
    void end();

    /// The feed until its result has been handled or the owner ended.
    bool running() const { return m_feed != nullptr; }
    /// The question while it is open, else null.
    CAnnounceDlg* question() const { return m_question; }

private:
    CAnnounceFeed::Answer ask();
    void announced(const std::string* announcedUrl);

    Services m_services;
    std::unique_ptr<CAnnounceFeed> m_feed;
    QPointer<CAnnounceDlg> m_question;
    bool m_closing = false;
    /// The feed's calls hold a weak reference: they do nothing once we are gone.
    std::shared_ptr<AnnounceFlow*> m_alive;
};

} // namespace tw::gui
