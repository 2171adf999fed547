#pragma once

#include "editor/sheet/CDefineSheet.h"
#include "records/WatchSettings.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QInputMethodEvent>
#include <QPushButton>
#include <QStringList>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <deque>
#include <memory>
#include <vector>

namespace tw::test {

/// Types `text` into `widget`: ASCII as key presses, anything else as an input method
/// commits it.
inline void typeText(QWidget* widget, const QString& text) {
    for (const QChar character : text) {
        if (character.unicode() < 0x80) {
            QTest::keyClick(widget, character.toLatin1());
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(QString(character));
            QApplication::sendEvent(widget, &commit);
        }
    }
}

/// A real sheet shown on screen, its messages recorded and its questions answered in advance,
/// driven with clicks and keys as a user would.
class SheetDriver {
public:
    SheetDriver() {
        QObject::connect(&sheet, &gui::CDefineSheet::siteDefined,
                         [this](const WatchSettings& item, WatchItemId) {
                             m_defined.push_back(std::make_unique<WatchSettings>(item));
                         });
        sheet.setMessenger([this](gui::CDefineSheet::Message kind, const QString& text) {
            if (kind == gui::CDefineSheet::Message::Tell) {
                told.append(text);
                return true;
            }
            asked.append(text);
            if (answers.empty()) {
                return false;
            }
            const bool answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }

    void open(const WatchSettings& item, WatchItemId id = 0) {
        sheet.loadItem(item, id);
        sheet.show();
        QVERIFY(QTest::qWaitForWindowActive(&sheet));
    }

    template <typename Widget>
    Widget* find(const char* name) const {
        return sheet.findChild<Widget*>(QString::fromLatin1(name));
    }

    void clickTab(int tab) {
        QTabBar* bar = sheet.findChild<QTabWidget*>()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
    }
    int currentTab() const { return sheet.findChild<QTabWidget*>()->currentIndex(); }

    void clickOk() {
        auto* box = sheet.findChild<QDialogButtonBox*>(QString(), Qt::FindDirectChildrenOnly);
        QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
    }

    /// The item handed over on closing, or nothing when none was.
    const WatchSettings* handedOver() const {
        return m_defined.empty() ? nullptr : m_defined.back().get();
    }
    int handOvers() const { return static_cast<int>(m_defined.size()); }

    gui::CDefineSheet sheet;
    QStringList told;
    QStringList asked;
    std::deque<bool> answers;

private:
    std::vector<std::unique_ptr<WatchSettings>> m_defined;
};

} // namespace tw::test
