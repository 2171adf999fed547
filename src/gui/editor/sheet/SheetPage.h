#pragma once

#include <QString>
#include <QWidget>

#include <optional>
#include <string>

namespace tw {
class WatchSettings;
}

namespace tw::gui {

class CDefineSheet;

/// One tab of the site definition sheet. A page edits a group of fields of the sheet's working
/// item: it fills its controls from the item the first time it is shown in an opening of the
/// sheet (so what the user typed survives switching tabs), and copies them back on OK, but
/// only when it has been shown in this opening; a page never shown leaves its fields as loaded.
class SheetPage : public QWidget {
    Q_OBJECT
public:
    explicit SheetPage(const QString& caption, QWidget* parent = nullptr);

    const QString& caption() const { return m_caption; }

    /// A new opening of the sheet: the page edits `item` and has not been shown yet. Pages that
    /// take fields into their own variables at once override it (and call this one).
    virtual void loadItem(CDefineSheet* sheet, WatchSettings* item);
    /// The page becomes the current tab: on the first activation of an opening it shows the
    /// item (showItem()), then counts the activation.
    virtual void onSetActive();
    /// The user leaves the page for another tab or presses OK: false keeps them on the page.
    virtual bool onKillActive() { return true; }
    /// OK: copy the controls back into the item. False when a field cannot be stored (the page
    /// has told the user why and put the focus there): the sheet stays open on this page.
    virtual bool onOK() = 0;

    /// Shown at least once in this opening, and so taking part in OK.
    bool created() const { return m_activations > 0; }
    int activations() const { return m_activations; }

protected:
    /// Fills the controls from the item (first activation of an opening).
    virtual void showItem() = 0;

    WatchSettings& item() const { return *m_item; }
    CDefineSheet& sheet() const { return *m_sheet; }
    /// Marks the sheet's result to be handed over when it closes.
    void setConfirmed();

    /// The typed text as the code page 932 text that records hold. When a character has no
    /// place in code page 932, the user is told which one and in which field, `control` gets
    /// the focus, and nothing is returned: the text is never stored with a "?" in its place.
    std::optional<std::string> recordText(const QString& text, const QString& fieldName,
                                          QWidget* control);
    /// Shows a record's code page 932 text.
    static QString shownText(const std::string& cp932);
    /// Tells the user why a field cannot be stored and puts the focus on it.
    void refuseField(const QString& message, QWidget* control);

private:
    QString m_caption;
    CDefineSheet* m_sheet = nullptr;
    WatchSettings* m_item = nullptr;
    int m_activations = 0;
};

} // namespace tw::gui
