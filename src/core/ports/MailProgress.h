#pragma once

#include <memory>
#include <string>

namespace tw {

class CancelSignal;

/// Receives the steps of one mail dialogue: the GUI shows them in its "sending mail" dialog,
/// headless runs and tests collect them. Called on the thread that sends the mail; an
/// implementation that shows widgets hops to its own thread. Texts are code page 932.
class MailProgress {
public:
    virtual ~MailProgress() = default;
    /// A dialogue begins; `text` is the status line to show ("connecting..."). Raising `cancel`,
    /// from any thread and at any time, ends this dialogue at its next step, also while it waits
    /// for the server; its result is then the cancel text (CSmtpClient::cancelledText()). The
    /// implementation may keep `cancel` as long as it likes.
    virtual void started(const std::string& text, const std::shared_ptr<CancelSignal>& cancel) = 0;
    /// One step notification. `finished` is true for the last one of the dialogue (delivered
    /// or failed), false when a step is done. A non-empty `text` replaces the status line.
    virtual void step(bool finished, const std::string& text) = 0;
};

} // namespace tw
