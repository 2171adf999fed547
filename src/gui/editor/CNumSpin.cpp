#include "gui/editor/CNumSpin.h"

#include "gui/editor/CNumEdit.h"

#include <QToolButton>
#include <QVBoxLayout>

namespace tw::gui {

namespace {

QToolButton* arrowButton(Qt::ArrowType arrow, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    // The edit keeps the focus; the arrows are reached with the mouse, the edit with Up/Down.
    button->setFocusPolicy(Qt::NoFocus);
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    return button;
}

} // namespace

CNumSpin::CNumSpin(CNumEdit* buddy, QWidget* parent)
    : QWidget(parent), m_buddy(buddy), m_up(arrowButton(Qt::UpArrow, this)),
      m_down(arrowButton(Qt::DownArrow, this)) {
    m_up->setObjectName(QStringLiteral("up"));
    m_down->setObjectName(QStringLiteral("down"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_up);
    layout->addWidget(m_down);
    connect(m_up, &QToolButton::clicked, m_buddy, &CNumEdit::increment);
    connect(m_down, &QToolButton::clicked, m_buddy, &CNumEdit::decrement);
}

} // namespace tw::gui
