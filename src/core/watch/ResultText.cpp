#include "core/watch/ResultText.h"

#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"

#include <cstdio>
#include <ctime>

namespace tw {

ResultRow resultRow(const WatchSettings& finished) {
    ResultRow row;
    std::tm local{};
    const std::time_t when = finished.lastCheck;
    localtime_r(&when, &local);
    char time[16];
    std::strftime(time, sizeof time, "%H:%M", &local);
    row.time = time;
    row.page = finished.name.empty() ? finished.targetUrl : finished.name;
    switch (finished.outcome()) {
    case CheckOutcome::Updated:
        row.result = jp("更新されています");
        break;
    case CheckOutcome::NotUpdated:
        row.result = jp("更新されていません");
        break;
    case CheckOutcome::Failed:
    case CheckOutcome::NeverChecked:
        if (finished.errorKind == WatchSettings::kErrorWithText) {
            row.result = finished.errorText;
        } else {
            char text[64];
            std::snprintf(text, sizeof text, "%s%d)", jp("エラー(status=").c_str(),
                          finished.errorKind);
            row.result = text;
        }
        break;
    }
    return row;
}

} // namespace tw
