#pragma once

#include <QLineEdit>

namespace tw::gui {

/// An edit for a decimal number of any length, kept as digit text so that its leading zeros
/// survive stepping ("09" steps to "10" and "08"). Any text may be typed; only stepping does
/// arithmetic, and it leaves text that is not all digits alone for the page to report.
/// The Up and Down keys step as the spin arrows beside it do.
class CNumEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit CNumEdit(QWidget* parent = nullptr);

    /// Adds one, unless the text is at or above the upper bound.
    void increment();
    /// Subtracts one, unless the text is at or below the lower bound or all zeros (or empty).
    void decrement();

    /// Refused (1) when `text` is not empty and below the lower bound; empty means no bound.
    int setUpper(const QString& text);
    /// Refused (1) when `text` is empty or above the upper bound.
    int setLower(const QString& text);
    const QString& upper() const { return m_upper; }
    const QString& lower() const { return m_lower; }

    /// Numeric order of two digit texts of any length (-1, 0, 1); leading zeros do not count.
    static int compare(const QString& a, const QString& b);
    /// The digit text plus or minus one, padded with zeros to its former length; it grows
    /// only when the value needs another digit. Empty text stays empty.
    static QString plusOne(const QString& digits);
    static QString minusOne(const QString& digits);
    static bool isDigits(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString m_upper;
    QString m_lower = QStringLiteral("0");
};

} // namespace tw::gui
