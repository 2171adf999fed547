#pragma once

#include "core/ports/Prompter.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

namespace tw {
class Executor;
}

namespace tw::gui {

/// Every message box and file chooser of the program goes through here.
///
/// The static calls are the window's own boxes and choosers, for code on the GUI thread: each
/// is modal over `parent` and returns the user's answer. A test answers them in advance through
/// setAnswerer() instead of driving the dialogs.
///
/// An instance is the core's prompter. Messages are queued and shown as modal boxes from the
/// GUI thread's own loop, so that core code never runs a nested loop by showing one. Questions
/// and the authentication dialog need their answer: on the GUI thread they are modal at once,
/// from a worker they go through the executor's send, and a send refused because the window is
/// closing counts as "no".
class GuiPrompter : public Prompter {
public:
    enum class Buttons { Ok, YesNo, YesNoCancel };
    enum class Answer { Ok, Yes, No, Cancel };
    /// A message box as the user would see it.
    struct Box {
        Icon icon = Icon::Information;
        QString caption;
        QString text;
        Buttons buttons = Buttons::Ok;
    };
    enum class ChooserKind { OpenFile, SaveFile, Folder };
    /// A file or folder chooser as the user would see it.
    struct Chooser {
        ChooserKind kind = ChooserKind::OpenFile;
        QString title;
        /// Name filters, ";;" between them; none for a folder.
        QString filter;
        /// The file or folder the chooser starts at, as the caller has it; may be empty.
        QString start;
        QString defaultSuffix;
        /// The folder the chooser opens in: startFolder() of `kind` and `start`.
        QString folder;
        /// Saving: the suffix each filter adds to a name typed without one, in the filters'
        /// order (empty: defaultSuffix whatever the filter).
        QStringList filterSuffixes;
    };

    /// Answers boxes and choosers in place of the user (tests).
    class Answerer {
    public:
        virtual ~Answerer() = default;
        /// One of the box's buttons.
        virtual Answer answer(const Box& box) = 0;
        /// The chosen file or folder; empty when the chooser is cancelled.
        virtual QString choose(const Chooser& chooser) = 0;
    };
    /// From now on every box and chooser goes to `answerer` and none is shown; null shows them
    /// again.
    static void setAnswerer(Answerer* answerer);
    static Answerer* answerer();

    /// The folder a chooser opens in: the folder of `start` (for a folder chooser `start`
    /// itself) when `start` is an absolute path and that folder exists, else the user's home;
    /// never the folder the program was started from.
    static QString startFolder(ChooserKind kind, const QString& start);

    /// A message with an OK button. An empty caption is the program's name.
    static void tell(QWidget* parent, const QString& text, Icon icon = Icon::Warning,
                     const QString& caption = {});
    /// A question with Yes and No; true for Yes.
    static bool askYesNo(QWidget* parent, const QString& text, const QString& caption = {});
    /// A question with Yes, No and Cancel (Escape and the close box give Cancel).
    static Answer askYesNoCancel(QWidget* parent, const QString& text, const QString& caption = {});
    /// An existing file to open; empty when cancelled. `start` is the file shown at first; the
    /// chooser opens in its folder (see startFolder()).
    static QString openFileName(QWidget* parent, const QString& title, const QString& filter,
                                const QString& start, const QString& defaultSuffix = {});
    /// A file to write, new or existing (the chooser asks before an existing one is taken).
    static QString saveFileName(QWidget* parent, const QString& title, const QString& filter,
                                const QString& start);
    /// The same with a suffix for each filter, added to a name typed without one.
    static QString saveFileName(QWidget* parent, const QString& title, const QStringList& filters,
                                const QStringList& suffixes, const QString& start);
    /// A folder; the chooser can make a sub-folder. Empty when cancelled.
    static QString folderName(QWidget* parent, const QString& title, const QString& start);

    explicit GuiPrompter(Executor& executor);

    /// The window that owns the boxes; may be null.
    void setParentWindow(QWidget* parent) { m_parent = parent; }
    /// Before the window runs there is no loop to queue into: messages are shown at once.
    void setQueued(bool queued) { m_queued = queued; }

    void showMessage(const std::string& text, Icon icon = Icon::Information) override;
    bool ask(const std::string& text) override;
    bool authenticate(std::string& userName, std::string& password, const AuthChallenge& challenge,
                      int autoCloseSeconds) override;

private:
    static Answer showBox(QWidget* parent, const Box& box);
    static QString showChooser(QWidget* parent, const Chooser& chooser);
    bool onGuiThread() const;

    Executor& m_executor;
    QPointer<QWidget> m_parent;
    bool m_queued = false;
};

} // namespace tw::gui
