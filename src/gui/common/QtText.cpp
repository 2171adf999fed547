#include "gui/common/QtText.h"

#include "core/util/Cp932.h"

namespace tw::gui {

QString fromCp932(const std::string& cp932) {
    return QString::fromStdString(tw::fromCp932(cp932));
}

std::string toCp932(const QString& text, bool* lossless) {
    return tw::toCp932(text.toStdString(), lossless);
}

} // namespace tw::gui
