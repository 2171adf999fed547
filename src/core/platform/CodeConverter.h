#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace tw {

/// Converts page text between Windows code page numbers: 932 (windows-31j), 50220 (JIS,
/// ISO-2022-JP), 51932 (EUC-JP) and 65001 (UTF-8). Bytes that cannot be decoded or encoded are
/// substituted; a whole page never fails for them.
class CodeConverter {
public:
    virtual ~CodeConverter() = default;
    /// False only when the pair of code pages is not supported.
    virtual bool convert(int fromCodePage, int toCodePage, std::string_view in,
                         std::string& out) = 0;
};

/// The converter over ICU; null when ICU cannot open its converters.
std::unique_ptr<CodeConverter> createCodeConverter();

} // namespace tw
