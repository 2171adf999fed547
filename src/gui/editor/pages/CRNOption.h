#pragma once

#include "gui/editor/sheet/SheetPage.h"

#include <memory>
#include <optional>
#include <string>

namespace Ui {
class CRNOption;
}

namespace tw {
class SoundPlayer;
}

namespace tw::gui {

/// "更新時オプション": what happens when the watched page has changed: keeping the download,
/// showing the page, popping the window up, a sound, a notification mail, and a file or
/// address to open.
class CRNOption : public SheetPage {
    Q_OBJECT
public:
    explicit CRNOption(QWidget* parent = nullptr);
    ~CRNOption() override;

    void loadItem(CDefineSheet* sheet, WatchSettings* item) override;
    bool onOK() override;

    /// Plays "試聴" through `player` instead of the desktop's (tests); null restores it.
    void setSoundPlayer(SoundPlayer* player) { m_soundOverride = player; }

protected:
    void showItem() override;

private:
    void applyMailState();
    void soundChosen(int index);
    void listen();
    void sendTest();
    void browseSaveFile();
    void browseSoundFile();
    void browseRunFile();
    /// The address edit as a record text, refused with a message when it cannot be an address.
    std::optional<std::string> mailAddress();
    std::optional<std::string> bodyText();

    std::unique_ptr<Ui::CRNOption> m_ui;
    // Taken from the item when it is loaded, shown when the page is first shown.
    QString m_saveFile;
    bool m_showInBrowser = false;
    bool m_popUp = false;
    int m_mail = 0;
    /// The body as the record holds it and as the edit showed it: an untouched body goes back
    /// byte for byte, whatever its line ends.
    std::string m_bodyRecord;
    QString m_bodyShown;
    std::unique_ptr<SoundPlayer> m_ownSound;
    SoundPlayer* m_soundOverride = nullptr;
};

} // namespace tw::gui
