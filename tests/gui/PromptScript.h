#pragma once

#include "gui/common/GuiPrompter.h"

#include <QStringList>

#include <deque>
#include <vector>

namespace tw::test {

/// While it exists, the window's message boxes and file choosers are answered from what the test
/// set in advance, and recorded, instead of being shown. A box without an answer set is answered
/// as if closed: OK, No where it offers Yes and No, Cancel where it offers Cancel. A chooser
/// without a name set is cancelled. The script made last answers.
class PromptScript : public gui::GuiPrompter::Answerer {
public:
    using Answer = gui::GuiPrompter::Answer;
    using Box = gui::GuiPrompter::Box;
    using Chooser = gui::GuiPrompter::Chooser;

    PromptScript() { gui::GuiPrompter::setAnswerer(this); }
    ~PromptScript() override {
        if (gui::GuiPrompter::answerer() == this) {
            gui::GuiPrompter::setAnswerer(nullptr);
        }
    }
    PromptScript(const PromptScript&) = delete;
    PromptScript& operator=(const PromptScript&) = delete;

    void setNextAnswer(Answer answer) { m_answers.push_back(answer); }
    /// The next file or folder chooser returns `name`; an empty name cancels it.
    void setNextFileName(const QString& name) { m_names.push_back(name); }

    /// The texts of the boxes shown, in order.
    QStringList texts;
    std::vector<Box> boxes;
    std::vector<Chooser> choosers;

    /// The texts of the messages (boxes with only OK), and of the questions.
    QStringList told() const { return textsWhere(false); }
    QStringList asked() const { return textsWhere(true); }

    Answer answer(const Box& box) override {
        texts.append(box.text);
        boxes.push_back(box);
        if (m_answers.empty()) {
            switch (box.buttons) {
            case gui::GuiPrompter::Buttons::YesNo:
                return Answer::No;
            case gui::GuiPrompter::Buttons::YesNoCancel:
                return Answer::Cancel;
            case gui::GuiPrompter::Buttons::Ok:
                break;
            }
            return Answer::Ok;
        }
        const Answer next = m_answers.front();
        m_answers.pop_front();
        return next;
    }

    QString choose(const Chooser& chooser) override {
        choosers.push_back(chooser);
        if (m_names.empty()) {
            return {};
        }
        const QString next = m_names.front();
        m_names.pop_front();
        return next;
    }

private:
    QStringList textsWhere(bool questions) const {
        QStringList found;
        for (const Box& box : boxes) {
            if ((box.buttons != gui::GuiPrompter::Buttons::Ok) == questions) {
                found.append(box.text);
            }
        }
        return found;
    }

    std::deque<Answer> m_answers;
    std::deque<QString> m_names;
};

} // namespace tw::test
