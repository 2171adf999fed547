#pragma once

#include "gui/common/CutTextDelegate.h"

#include <functional>

namespace tw::gui {

/// Label editing of a link's file name: the edit ends in `commit`, which decides whether the
/// new name is taken (it updates the row itself); the model is never written by the delegate. A
/// name cut short shows whole in its tooltip, as in the other columns.
class FileNameDelegate : public CutTextDelegate {
    Q_OBJECT
public:
    using Commit = std::function<void(int row, const QString& text)>;
    using CanEdit = std::function<bool()>;

    FileNameDelegate(Commit commit, CanEdit canEdit, QObject* parent = nullptr);

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override;

private:
    Commit m_commit;
    CanEdit m_canEdit;
};

} // namespace tw::gui
