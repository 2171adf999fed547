#pragma once

class QHeaderView;

namespace tw::gui {

/// Lets the last column of a list take the width the others leave, so that rows which fit show
/// no horizontal scroll bar, while the user may still widen any column beyond the window. Qt
/// keeps the width a stretched last column had as its least: it is set to the least width a
/// column may have, since a larger one would bring the scroll bar back in a narrow window.
void stretchLastColumn(QHeaderView& header);

} // namespace tw::gui
