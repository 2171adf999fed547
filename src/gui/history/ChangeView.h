#pragma once

#include "core/history/HistoryStore.h"
#include "core/history/TextDiff.h"
#include "gui/common/BackgroundWork.h"

#include <QDialog>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTextEdit;

namespace tw {
class CodeConverter;
}

namespace tw::gui {

/// "変更内容 - <item>": the kept versions of one item, newest first, and the chosen one against
/// the version before it, as text a reader sees or as source. The diff runs on a thread of its
/// own, one at a time (a choice made meanwhile waits for it); a closing window stops it.
class ChangeView : public QDialog {
    Q_OBJECT
public:
    /// Reads the history of `key` in `dataFolder`; `itemName` goes into the title.
    ChangeView(const std::string& dataFolder, const std::string& key, const QString& itemName,
               QWidget* parent = nullptr);
    ~ChangeView() override;

    /// The versions as listed, newest first.
    const std::vector<HistoryVersion>& versions() const { return m_versions; }
    QListWidget* versionList() const { return m_list; }
    QTextEdit* diffView() const { return m_text; }
    QLabel* messageLabel() const { return m_message; }
    QCheckBox* sourceSwitch() const { return m_source; }
    /// A diff is running or waiting to run.
    bool busy() const { return m_running || m_pending; }
    /// Block numbers in diffView() where the shown changes begin.
    const std::vector<int>& changeBlocks() const { return m_changes; }
    /// The shown change as a unified diff ("" when none is shown): what Copy puts on the
    /// clipboard.
    QString diffText() const;

    void nextChange();
    void previousChange();

signals:
    /// A chosen version's change (or why there is none) is on screen.
    void changeShown();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Outcome;

    void buildWidgets();
    void loadVersions();
    /// Compares the chosen version now, or once the running diff is done.
    void compare();
    void showOutcome(const Outcome& outcome);
    void moveToChange(int block);
    QString versionName(const HistoryVersion& version) const;

    HistoryStore m_store;
    std::string m_key;
    std::unique_ptr<CodeConverter> m_converter;
    std::vector<HistoryVersion> m_versions;
    QStringList m_skipped;

    QWidget* m_listBox = nullptr;
    QListWidget* m_list = nullptr;
    QTextEdit* m_text = nullptr;
    QLabel* m_message = nullptr;
    QCheckBox* m_source = nullptr;
    QPushButton* m_previous = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_copy = nullptr;

    std::vector<int> m_changes;
    TextDiff m_shown;
    QString m_shownOld;
    QString m_shownNew;

    std::atomic<bool> m_stop{false};
    bool m_running = false;
    bool m_pending = false;
    /// Last: its threads end before the members they use go.
    BackgroundWork m_work;
};

} // namespace tw::gui
