#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QLineEdit;
class QPlainTextEdit;

namespace tw::gui {

/// "フォームデータ編集": one name and value pair of the form data.
class CFormDataDlg : public QDialog {
    Q_OBJECT
public:
    explicit CFormDataDlg(QWidget* parent = nullptr);

    void setName(const QString& name);
    void setValue(const QString& value);
    QString name() const;
    QString value() const;
    QLineEdit* nameEdit() const { return m_nameEdit; }
    QPlainTextEdit* valueEdit() const { return m_valueEdit; }

    /// Asked on OK; false keeps the dialog open (the check has told the user why).
    void setAcceptCheck(std::function<bool()> check) { m_acceptCheck = std::move(check); }
    void accept() override;

private:
    QLineEdit* m_nameEdit;
    QPlainTextEdit* m_valueEdit;
    std::function<bool()> m_acceptCheck;
};

} // namespace tw::gui
