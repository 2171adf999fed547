#include "gui/editor/CFolder.h"

#include "core/util/TextUtil.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/QtText.h"

#include <QAction>
#include <QStyle>

namespace tw::gui {

CFolder::CFolder(QWidget* parent)
    : QLineEdit(parent), m_browse(addAction(style()->standardIcon(QStyle::SP_DirOpenIcon),
                                            QLineEdit::TrailingPosition)) {
    m_browse->setToolTip(QStringLiteral("フォルダを選ぶ"));
    connect(m_browse, &QAction::triggered, this, [this] { browse(); });
}

void CFolder::setFolder(const QString& folder) {
    m_folder = folder;
    setText(folder);
}

int CFolder::browse() {
    m_folder = text();
    const QString chosen =
        GuiPrompter::folderName(window(), QStringLiteral("どのフォルダを選びますか？"), m_folder);
    if (chosen.isEmpty()) {
        return -1;
    }
    setText(chosen);
    return 0;
}

int CFolder::commit(bool& changed) {
    QString name = text();
    while (!name.isEmpty() && name.back().isSpace()) {
        name.chop(1);
    }
    // The root folder keeps its only "/".
    while (name.size() > 1 && name.back() == u'/') {
        name.chop(1);
    }
    if (name == m_folder) {
        changed = false;
        return 0;
    }
    changed = true;
    // A Japanese name is stored as code page 932 text; the check finds it on disk itself.
    std::string checked = toCp932(name);
    const int result = validateSaveFolder(checked);
    if (result != 0) {
        GuiPrompter::tell(this, fromCp932(checked));
        return result;
    }
    m_folder = name;
    return 0;
}

} // namespace tw::gui
