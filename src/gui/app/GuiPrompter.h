#pragma once

#include "ports/Prompter.h"

#include <QPointer>
#include <QWidget>

namespace tw {
class Executor;
}

namespace tw::gui {

/// The window's prompter. Messages are queued and shown as modal boxes from the GUI thread's
/// own loop, so that core code never runs a nested loop by showing one. Questions and the
/// authentication dialog need their answer: on the GUI thread they are modal at once, from a
/// worker they go through the executor's send, and a send refused because the window is
/// closing counts as "no".
class GuiPrompter : public Prompter {
public:
    explicit GuiPrompter(Executor& executor);

    /// The window that owns the boxes; may be null.
    void setParentWindow(QWidget* parent) { m_parent = parent; }
    /// Before the window runs there is no loop to queue into: messages are shown at once.
    void setQueued(bool queued) { m_queued = queued; }

    void showMessage(const std::string& text, Icon icon = Icon::Information) override;
    bool ask(const std::string& text) override;
    bool authenticate(std::string& userName, std::string& password, const AuthChallenge& challenge,
                      int autoCloseSeconds) override;

private:
    void showNow(const std::string& text, Icon icon);
    bool askNow(const std::string& text);
    bool onGuiThread() const;

    Executor& m_executor;
    QPointer<QWidget> m_parent;
    bool m_queued = false;
};

} // namespace tw::gui
