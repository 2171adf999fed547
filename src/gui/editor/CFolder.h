#pragma once

#include <QLineEdit>

namespace tw::gui {

/// An edit for the name of a save folder, with a button at its end that opens a folder
/// chooser. `commit()` takes the typed name once it has been checked as a usable folder.
class CFolder : public QLineEdit {
    Q_OBJECT

public:
    explicit CFolder(QWidget* parent = nullptr);

    /// Opens the chooser at the edit's text; a chosen folder replaces the text (0), none
    /// leaves it as it was (-1).
    int browse();

    /// The text without trailing blanks and "/": unchanged from the last accepted folder gives
    /// 0 with `changed` false; otherwise `changed` is true and the text is checked as a save
    /// folder (a failure is shown to the user and its code returned), becoming the accepted
    /// folder when it passes (0).
    int commit(bool& changed);

    const QString& folder() const { return m_folder; }
    void setFolder(const QString& folder);

    QAction* browseAction() const { return m_browse; }

private:
    QString m_folder;
    QAction* m_browse;
};

} // namespace tw::gui
