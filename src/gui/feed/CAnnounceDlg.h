#pragma once

#include "core/feed/CAnnounceFeed.h"

#include <QDialog>

class QPushButton;

namespace tw::gui {

/// Asks whether to read a new announcement: the program icon, two lines and three buttons.
/// "はい" is the default; Escape counts as "拒否します". Lives on the GUI thread.
class CAnnounceDlg : public QDialog {
    Q_OBJECT
public:
    /// The result of "次の機会にします", beside Accepted ("はい") and Rejected ("拒否します").
    static constexpr int kLater = 2;

    explicit CAnnounceDlg(QWidget* parent = nullptr);

    /// Shows the dialog modally and gives the user's answer.
    CAnnounceFeed::Answer ask();
    /// The answer a finished dialog's result stands for.
    static CAnnounceFeed::Answer answerFor(int result);

    QPushButton* yesButton() const { return m_yes; }
    QPushButton* declineButton() const { return m_decline; }
    QPushButton* laterButton() const { return m_later; }

private:
    QPushButton* m_yes = nullptr;
    QPushButton* m_decline = nullptr;
    QPushButton* m_later = nullptr;
};

} // namespace tw::gui
