#include "gui/common/StretchLastColumn.h"

#include <QHeaderView>

namespace tw::gui {

void stretchLastColumn(QHeaderView& header) {
    header.setStretchLastSection(true);
    if (header.count() > 0) {
        header.resizeSection(header.logicalIndex(header.count() - 1), header.minimumSectionSize());
    }
}

} // namespace tw::gui
