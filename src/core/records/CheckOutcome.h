#pragma once

namespace tw {

/// What the last check of an item found. The values are the ones the watch list file stores
/// ("Resu:"), so a cast to int is the stored number.
enum class CheckOutcome : int {
    Failed = -1,
    NeverChecked = 0,
    NotUpdated = 1,
    Updated = 2,
};

/// The outcome a stored number stands for; a number no check writes counts as a failure.
constexpr CheckOutcome checkOutcomeFrom(int stored) {
    switch (stored) {
    case 0:
        return CheckOutcome::NeverChecked;
    case 1:
        return CheckOutcome::NotUpdated;
    case 2:
        return CheckOutcome::Updated;
    default:
        return CheckOutcome::Failed;
    }
}

} // namespace tw
