#include "gui/editor/pages/CPGDetail.h"

#include "core/records/WatchSettings.h"
#include "gui/editor/pages/CFormDataDlg.h"
#include "gui/editor/pages/PageText.h"
#include "gui/editor/sheet/CDefineSheet.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <vector>

namespace tw::gui {

namespace {

constexpr int kBytesRole = Qt::UserRole;

QByteArray bytes(const std::string& text) {
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

/// The multi-line edit gives its lines with LF alone.
QString withLineFeeds(QString text) {
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

} // namespace

CPGDetail::CPGDetail(QWidget* parent)
    : SheetPage(tr("フォーム送信データ"), parent), m_list(new QTreeWidget(this)) {
    auto* edit = new QPushButton(tr("編集"), this);
    auto* remove = new QPushButton(tr("削除"), this);
    auto* insert = new QPushButton(tr("挿入"), this);
    edit->setObjectName(QStringLiteral("editButton"));
    remove->setObjectName(QStringLiteral("deleteButton"));
    insert->setObjectName(QStringLiteral("insertButton"));
    // The list comes after the buttons in the tab order, as it does on the page.
    setTabOrder(insert, m_list);

    m_list->setObjectName(QStringLiteral("formList"));
    m_list->setColumnCount(2);
    m_list->setHeaderLabels({QStringLiteral("name"), QStringLiteral("value")});
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setAllColumnsShowFocus(true);
    m_list->header()->setStretchLastSection(false);
    m_list->setColumnWidth(0, 200);
    m_list->setColumnWidth(1, 200);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(edit);
    buttons->addWidget(remove);
    buttons->addWidget(insert);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_list, 1);

    connect(edit, &QPushButton::clicked, this, &CPGDetail::editRow);
    connect(remove, &QPushButton::clicked, this, &CPGDetail::deleteRows);
    connect(insert, &QPushButton::clicked, this, &CPGDetail::insertRow);
}

FormField CPGDetail::rowField(const QTreeWidgetItem* row) {
    const QByteArray name = row->data(0, kBytesRole).toByteArray();
    const QByteArray value = row->data(1, kBytesRole).toByteArray();
    return {name.toStdString(), value.toStdString()};
}

void CPGDetail::setRowField(QTreeWidgetItem* row, const FormField& field) {
    row->setData(0, kBytesRole, bytes(field.name));
    row->setData(1, kBytesRole, bytes(field.value));
    row->setText(0, shownText(field.name));
    row->setText(1, shownText(field.value));
}

void CPGDetail::showItem() {
    m_list->clear();
    for (const FormField& field : parseFormData(item().formData)) {
        auto* row = new QTreeWidgetItem(m_list);
        setRowField(row, field);
    }
}

bool CPGDetail::onOK() {
    std::vector<FormField> fields;
    fields.reserve(static_cast<std::size_t>(m_list->topLevelItemCount()));
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        fields.push_back(rowField(m_list->topLevelItem(i)));
    }
    item().formData = joinFormData(fields);
    return true;
}

std::optional<FormField> CPGDetail::askPair(const FormField* shown) {
    CFormDataDlg dialog(this);
    if (shown) {
        dialog.setName(shownText(shown->name));
        dialog.setValue(shownText(shown->value));
    }
    FormField result;
    dialog.setAcceptCheck([&] {
        // What the user left as shown keeps its bytes; the rest must fit code page 932.
        std::optional<std::string> name;
        if (shown && shownUnchanged(dialog.name(), shown->name)) {
            name = shown->name;
        } else {
            name = recordText(dialog.name(), tr("名前"), dialog.nameEdit());
        }
        if (!name) {
            return false;
        }
        std::optional<std::string> value;
        if (shown && dialog.value() == withLineFeeds(shownText(shown->value))) {
            value = shown->value;
        } else {
            value = recordText(dialog.value(), tr("値"), dialog.valueEdit());
        }
        if (!value) {
            return false;
        }
        result = {std::move(*name), std::move(*value)};
        return true;
    });
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return result;
}

void CPGDetail::editRow() {
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    if (selected.size() != 1) {
        return;
    }
    QTreeWidgetItem* row = selected.front();
    const FormField shown = rowField(row);
    const std::optional<FormField> edited = askPair(&shown);
    if (!edited) {
        return;
    }
    if (edited->name.empty()) {
        if (sheet().ask(
                tr("フォームデータのデータ名が空白です。\nこのページを正常に呼び出せなくなる"
                   "かもしれません。\n削除しますか？"))) {
            delete row;
        }
        return;
    }
    setRowField(row, *edited);
}

void CPGDetail::deleteRows() {
    qDeleteAll(m_list->selectedItems());
}

void CPGDetail::insertRow() {
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    if (selected.size() > 1) {
        return;
    }
    const int at = selected.isEmpty() ? m_list->topLevelItemCount()
                                      : m_list->indexOfTopLevelItem(selected.front());
    const std::optional<FormField> typed = askPair(nullptr);
    if (!typed) {
        return;
    }
    if (typed->name.empty() &&
        sheet().ask(tr("フォームデータのデータ名が空白です。\nこのページを正常に呼び出せなくなる"
                       "かもしれません。\n挿入を取り消しますか？"))) {
        return;
    }
    auto* row = new QTreeWidgetItem;
    setRowField(row, *typed);
    m_list->insertTopLevelItem(at, row);
}

} // namespace tw::gui
