#pragma once

#include "gui/editor/sheet/SheetPage.h"

#include <string>

class QLineEdit;
class QPushButton;

namespace tw::gui {

/// "ページデータ": which page the item fetches (name, URL, referer) and the credentials for
/// the web server. The five fields are taken into the page's own texts when the item is loaded;
/// the controls show them on the first activation.
class CPagePage : public SheetPage {
    Q_OBJECT
public:
    explicit CPagePage(QWidget* parent = nullptr);

    void loadItem(CDefineSheet* sheet, WatchSettings* item) override;
    /// The URL typed goes into the item at once: a page that fetches it (the source view of
    /// the check options) must see it.
    bool onKillActive() override;
    bool onOK() override;

protected:
    void showItem() override;

private:
    /// One text of the page with the record bytes it was loaded from.
    struct Field {
        QString text;
        std::string stored;
        QLineEdit* edit = nullptr;
        QString label;
    };

    void checkUrl();
    void checkReferer();
    std::optional<std::string> recordField(const Field& field);

    Field m_name;
    Field m_url;
    Field m_referer;
    Field m_user;
    Field m_password;
};

} // namespace tw::gui
