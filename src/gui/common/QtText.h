#pragma once

#include <QString>

#include <string>

namespace tw::gui {

/// Code page 932 bytes of the core as a QString.
QString fromCp932(const std::string& cp932);
/// A QString as code page 932 bytes; characters 932 cannot hold clear *lossless.
std::string toCp932(const QString& text, bool* lossless = nullptr);

} // namespace tw::gui
