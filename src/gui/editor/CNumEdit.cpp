#include "gui/editor/CNumEdit.h"

#include <QKeyEvent>

namespace tw::gui {

CNumEdit::CNumEdit(QWidget* parent) : QLineEdit(parent) {}

bool CNumEdit::isDigits(const QString& text) {
    for (const QChar ch : text) {
        if (ch < u'0' || ch > u'9') {
            return false;
        }
    }
    return true;
}

int CNumEdit::compare(const QString& a, const QString& b) {
    const bool aLonger = a.size() >= b.size();
    const QString& longer = aLonger ? a : b;
    const QString& shorter = aLonger ? b : a;
    const qsizetype surplus = longer.size() - shorter.size();
    for (qsizetype i = 0; i < surplus; ++i) {
        if (longer[i] != u'0') {
            return aLonger ? 1 : -1;
        }
    }
    for (qsizetype i = 0; i < shorter.size(); ++i) {
        const QChar l = longer[surplus + i];
        const QChar s = shorter[i];
        if (l != s) {
            return (l > s) == aLonger ? 1 : -1;
        }
    }
    return 0;
}

QString CNumEdit::plusOne(const QString& digits) {
    QString out = digits;
    for (qsizetype i = out.size() - 1; i >= 0; --i) {
        if (out[i] != u'9') {
            out[i] = QChar(out[i].unicode() + 1);
            return out;
        }
        out[i] = u'0';
    }
    return out.isEmpty() ? out : QStringLiteral("1") + out;
}

QString CNumEdit::minusOne(const QString& digits) {
    QString out = digits;
    for (qsizetype i = out.size() - 1; i >= 0; --i) {
        if (out[i] != u'0') {
            out[i] = QChar(out[i].unicode() - 1);
            return out;
        }
        out[i] = u'9';
    }
    // All zeros has no predecessor; callers refuse it before getting here.
    return digits;
}

void CNumEdit::increment() {
    const QString current = text();
    if (current.isEmpty() || !isDigits(current)) {
        return;
    }
    if (!m_upper.isEmpty() && compare(current, m_upper) >= 0) {
        return;
    }
    setText(plusOne(current));
}

void CNumEdit::decrement() {
    const QString current = text();
    if (!isDigits(current) || compare(current, QString()) == 0) {
        return;
    }
    if (compare(current, m_lower) <= 0) {
        return;
    }
    setText(minusOne(current));
}

int CNumEdit::setUpper(const QString& text) {
    if (!isDigits(text) || (!text.isEmpty() && compare(text, m_lower) < 0)) {
        return 1;
    }
    m_upper = text;
    return 0;
}

int CNumEdit::setLower(const QString& text) {
    if (text.isEmpty() || !isDigits(text) || (!m_upper.isEmpty() && compare(text, m_upper) > 0)) {
        return 1;
    }
    m_lower = text;
    return 0;
}

void CNumEdit::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (event->key() == Qt::Key_Up) {
            increment();
            return;
        }
        if (event->key() == Qt::Key_Down) {
            decrement();
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

} // namespace tw::gui
