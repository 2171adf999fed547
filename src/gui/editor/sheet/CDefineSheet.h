#pragma once

#include "core/ports/WatchListObserver.h"
#include "core/records/WatchSettings.h"
#include "core/watch/UpdateActions.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <vector>

class QDialogButtonBox;
class QTabWidget;

namespace tw {
class CodeConverter;
class Prompter;
} // namespace tw

namespace tw::gui {

class SheetPage;

/// "サイトの定義": the six pages that edit one watch item, over a private working copy. The
/// sheet is made once and shown modally for each opening; when it closes with a confirmed
/// result, siteDefined() hands the working copy over (before exec() returns), addressed by
/// the id of the list item it was taken from, or 0 for a new item.
class CDefineSheet : public QDialog {
    Q_OBJECT
public:
    enum Tab { PageTab, TimingTab, UpdateOptionTab, CheckOptionTab, FormDataTab, ConnectionTab };

    /// What pages need from the program around them; every member may be left empty.
    struct Context {
        /// The stored mail server settings (the test mail of the update option page).
        std::function<MailServerSettings()> mailServer;
        /// Credentials prompts of a fetch made from a page.
        Prompter* prompter = nullptr;
        CodeConverter* converter = nullptr;
        /// The data folder, where relative file names of an item are found.
        std::string programFolder;
    };

    explicit CDefineSheet(QWidget* parent = nullptr);
    ~CDefineSheet() override;

    /// Starts an opening: the working item becomes a copy of `item`, every page forgets what it
    /// showed before, the first tab is current and the result is not confirmed.
    void loadItem(const WatchSettings& item, WatchItemId id);

    WatchSettings& workingItem() { return m_item; }
    WatchItemId itemId() const { return m_itemId; }
    bool confirmed() const { return m_confirmed; }
    void setConfirmed() { m_confirmed = true; }

    int pageCount() const { return static_cast<int>(m_pages.size()); }
    SheetPage* page(int tab) const { return m_pages.at(tab); }
    void setContext(Context context) { m_context = std::move(context); }
    const Context& context() const { return m_context; }

    template <typename Page>
    Page* page() const {
        for (SheetPage* candidate : m_pages) {
            if (auto* found = qobject_cast<Page*>(candidate)) {
                return found;
            }
        }
        return nullptr;
    }
    SheetPage* currentPage() const;
    /// Makes `page` the current tab when the current one lets the user go.
    bool showPage(SheetPage* page);
    /// Brings a page that refuses a field back into view as it stands, without the leave and
    /// show steps: what the user typed there stays for them to fix.
    void bringBack(SheetPage* page);

    /// A message box over the sheet (GuiPrompter), and a Yes/No question, true for Yes.
    void tell(const QString& text);
    bool ask(const QString& text);

    /// OK: the current page must let the user go, then every page shown in this opening
    /// stores its controls; a page that cannot store a field keeps the sheet open on itself.
    void accept() override;
    void done(int result) override;

signals:
    /// The confirmed working item, on closing; `id` 0 means a new item.
    void siteDefined(const tw::WatchSettings& item, tw::WatchItemId id);
    /// A page asks the window to show a page the way the item fetches it.
    void displayRecordRequested(const tw::FetchSettings& record);
    /// A page asks the window to show an address with default fetch settings.
    void displayAddressRequested(const QString& address);

private:
    void tabChanged(int index);

    QTabWidget* m_tabs;
    QDialogButtonBox* m_buttons;
    std::vector<SheetPage*> m_pages;
    WatchSettings m_item;
    WatchItemId m_itemId = 0;
    bool m_confirmed = false;
    bool m_open = false;
    int m_current = -1;
    bool m_switchingBack = false;
    Context m_context;
};

} // namespace tw::gui
