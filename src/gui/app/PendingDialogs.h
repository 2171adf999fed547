#pragma once

// Stand-ins for the dialogs that are built beside the window; this file goes when they land.

#include "ports/MailProgress.h"

#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <string>

namespace tw::gui {

class AuthDialog {
public:
    explicit AuthDialog(QWidget*) {}
    bool run(std::string&, std::string&, const std::string&, int) { return false; }
};

class MailSendDialog : public MailProgress {
public:
    explicit MailSendDialog(QWidget*) {}
    void started(const std::string&) override {}
    void step(bool, const std::string&) override {}
};

class AboutDialog {
public:
    explicit AboutDialog(QWidget* parent) : m_parent(parent) {}
    int exec() {
        QMessageBox::about(m_parent, QStringLiteral("Tarnwick"), QStringLiteral("Tarnwick 1.20"));
        return 0;
    }

private:
    QWidget* m_parent;
};

inline QString helpPagePath() {
    return {};
}

} // namespace tw::gui
