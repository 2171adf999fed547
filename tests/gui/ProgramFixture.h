#pragma once

// A whole program with its main window on folders of its own, for window tests.

#include "core/app/CTarnwickApp.h"
#include "core/net/CollectingMailProgress.h"
#include "gui/app/CTarnwickDlg.h"
#include "gui/app/WindowSession.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/QtExecutor.h"
#include "support/FakeDesktop.h"
#include "support/TempFolder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

namespace tw::test {

using gui::CTarnwickDlg;
using gui::GuiPrompter;
using gui::QtExecutor;
using gui::WindowSession;

/// A program with its window on folders of its own; the desktop is faked.
struct Program {
    TempFolder home;
    TempFolder config;
    TempFolder runtime;
    QtExecutor executor;
    GuiPrompter prompter{executor};
    test::FakeShell shell;
    test::FakeSoundPlayer sound;
    CollectingMailProgress mail;
    std::unique_ptr<tw::CTarnwickApp> app;
    std::unique_ptr<WindowSession> session;
    std::unique_ptr<CTarnwickDlg> window;

    AppPaths paths() const { return {home.path(), config.path(), runtime.path() + "/bus"}; }

    bool start() {
        app = std::make_unique<CTarnwickApp>(prompter, paths());
        if (!app->initInstance()) {
            return false;
        }
        session = std::make_unique<WindowSession>(*app, executor, prompter, mail, &shell, &sound);
        window = std::make_unique<CTarnwickDlg>(*app, *session, executor, prompter);
        window->setTrayAvailable([] { return true; });
        // The window shows itself once its loop runs, with the hand-over pick-up.
        return QTest::qWaitFor([this] { return window->isVisible(); });
    }
    ~Program() {
        window.reset();
        session.reset();
        if (app) {
            app->exitInstance();
        }
    }
    std::string state() const { return app->ownKey.readString("State"); }
};

/// Runs `act` on the widget of type W once it is the active modal window (from inside its
/// exec() loop), polling from a timer that lives as long as the returned object.
template <typename W>
std::unique_ptr<QTimer> whenModal(std::function<void(W&)> act) {
    auto timer = std::make_unique<QTimer>();
    QTimer* raw = timer.get();
    QObject::connect(raw, &QTimer::timeout, raw, [raw, act = std::move(act)] {
        if (auto* widget = qobject_cast<W*>(QApplication::activeModalWidget())) {
            raw->stop();
            act(*widget);
        }
    });
    timer->start(10);
    return timer;
}

/// Answers every message box that comes up with `button` and keeps its text.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QMessageBox::StandardButton button) : m_button(button) {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts.append(box->text());
                box->button(m_button)->click();
            }
        });
        m_timer.start(10);
    }
    QStringList texts;

private:
    QMessageBox::StandardButton m_button;
    QTimer m_timer;
};

} // namespace tw::test
