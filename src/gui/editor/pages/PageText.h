#pragma once

#include <QString>

#include <string>

namespace tw::gui {

/// True when the user left a field as it was shown from the record's `stored` bytes: the page
/// then keeps those bytes, so that a record holding bytes that code page 932 cannot show (and
/// so never converts back) is not refused for a field nobody touched.
bool shownUnchanged(const QString& text, const std::string& stored);

/// Why a field that becomes a request header line cannot be stored.
QString headerLineRefusal(const QString& fieldName);

} // namespace tw::gui
