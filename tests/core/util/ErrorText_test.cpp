#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tw {
namespace {

/// Looked for in the decoded text: a second byte of 932 may equal a letter.
bool hasLatinLetter(const std::string& text) {
    for (const char ch : text) {
        if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z')) {
            return true;
        }
    }
    return false;
}

TEST(ErrorText, CommonFileErrorsAreShortJapaneseTexts) {
    for (const int error : {ENOENT, EACCES, EPERM, ENOSPC, EDQUOT, EROFS, ENAMETOOLONG, EISDIR,
                            ENOTDIR, EEXIST, ELOOP, EFBIG, EMFILE, EIO, ENOTEMPTY, EBUSY}) {
        const std::string text = systemErrorText(error);
        EXPECT_FALSE(text.empty()) << error;
        EXPECT_FALSE(hasLatinLetter(fromCp932(text))) << error << ": " << fromCp932(text);
    }
    EXPECT_EQ(systemErrorText(ENOSPC), jp("ディスクの空きがありません"));
    EXPECT_EQ(systemErrorText(ENOTEMPTY), jp("フォルダが空ではありません"));
}

TEST(ErrorText, AnUnknownErrorKeepsTheSystemTextAfterAJapaneseLeadIn) {
    const std::string text = systemErrorText(EPROTO);
    EXPECT_EQ(text.rfind(jp("エラー ") + std::to_string(EPROTO) + " (", 0), 0u) << text;
}

} // namespace
} // namespace tw
