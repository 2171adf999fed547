#pragma once

#include "core/platform/CodeConverter.h"

namespace tw {

/// The converter behind createCodeConverter(). JIS (50220) and EUC-JP (51932) are mapped to and
/// from code page 932 arithmetically through JIS X 0208 row and cell, so that every row of 932,
/// the NEC special characters of row 13 included, survives exactly; UTF-8 and JIS X 0212 go
/// through ICU. Towards 50220, half-width katakana become full-width, as mail text needs.
///
/// It keeps no state between calls: one object may serve several threads at once.
class IcuCodeConverter : public CodeConverter {
public:
    bool convert(int fromCodePage, int toCodePage, std::string_view in, std::string& out) override;

    /// True for 932, 50220, 51932 and 65001.
    static bool isSupported(int codePage);
};

} // namespace tw
