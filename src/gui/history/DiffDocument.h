#pragma once

#include "core/history/TextDiff.h"

#include <vector>

class QTextDocument;

namespace tw::gui {

/// Writes `diff` into `document` as the change view shows it: added text on green, removed
/// text struck through on red, folded stretches as "（N 行省略）". Returns the block number where
/// each change (a run of changed lines) begins, in order.
std::vector<int> fillDiffDocument(QTextDocument& document, const TextDiff& diff);

} // namespace tw::gui
