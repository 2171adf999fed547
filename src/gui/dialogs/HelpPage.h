#pragma once

#include <QString>
#include <QUrl>

namespace tw::gui {

/// The program's help page: the copy installed beside the running program, else the one at the
/// configured install location, else the one in the source tree (a program run from its build
/// folder).
QString helpPagePath();

/// The help page as a file address, optionally at a section ("tray", "quaylink", "questions").
QUrl helpPageUrl(const QString& section = QString());

} // namespace tw::gui
