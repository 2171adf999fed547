#pragma once

#include <QString>

#include <utility>
#include <vector>

class QWidget;

namespace tw::gui {

/// Lays out label and value pairs as read-only fields on `page` (a page whose fields cannot
/// be edited here yet still shows what the item holds).
void showReadOnlyFields(QWidget* page, const std::vector<std::pair<QString, QString>>& fields);

} // namespace tw::gui
