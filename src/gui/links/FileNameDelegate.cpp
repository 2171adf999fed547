#include "gui/links/FileNameDelegate.h"

#include <QLineEdit>

namespace tw::gui {

FileNameDelegate::FileNameDelegate(Commit commit, CanEdit canEdit, QObject* parent)
    : CutTextDelegate(parent), m_commit(std::move(commit)), m_canEdit(std::move(canEdit)) {}

QWidget* FileNameDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const {
    if (m_canEdit && !m_canEdit()) {
        return nullptr;
    }
    return CutTextDelegate::createEditor(parent, option, index);
}

void FileNameDelegate::setModelData(QWidget* editor, QAbstractItemModel*,
                                    const QModelIndex& index) const {
    auto* line = qobject_cast<QLineEdit*>(editor);
    if (line && m_commit) {
        m_commit(index.row(), line->text());
    }
}

} // namespace tw::gui
