#pragma once

#include <QWidget>

class QToolButton;

namespace tw::gui {

class CNumEdit;

/// Up and down arrows placed beside a CNumEdit; each click steps the edit by exactly one.
/// Holds no value of its own, so the edit's digit text (of any length) is the only state.
class CNumSpin : public QWidget {
    Q_OBJECT

public:
    explicit CNumSpin(CNumEdit* buddy, QWidget* parent = nullptr);

    CNumEdit* buddy() const { return m_buddy; }
    QToolButton* upButton() const { return m_up; }
    QToolButton* downButton() const { return m_down; }

private:
    CNumEdit* m_buddy;
    QToolButton* m_up;
    QToolButton* m_down;
};

} // namespace tw::gui
