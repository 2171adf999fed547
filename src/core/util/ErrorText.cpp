#include "core/util/ErrorText.h"

#include "core/util/Cp932.h"

#include <cerrno>
#include <cstring>

namespace tw {

std::string systemErrorText(int error) {
    switch (error) {
    case ENOENT:
        return jp("ファイルまたはフォルダがありません");
    case EACCES:
    case EPERM:
        return jp("アクセスが許可されていません");
    case ENOSPC:
    case EDQUOT:
        return jp("ディスクの空きがありません");
    case EROFS:
        return jp("読み取り専用のファイルシステムです");
    case ENAMETOOLONG:
        return jp("ファイル名が長すぎます");
    case EISDIR:
        return jp("通常のファイルではありません");
    case ENOTDIR:
        return jp("フォルダではありません");
    case EEXIST:
        return jp("同じ名前のファイルがあります");
    case ELOOP:
        return jp("シンボリックリンクは使えません");
    case EFBIG:
        return jp("ファイルが大きすぎます");
    case EMFILE:
    case ENFILE:
        return jp("開いているファイルが多すぎます");
    case EIO:
        return jp("入出力エラーが発生しました");
    case ENOTEMPTY:
        return jp("フォルダが空ではありません");
    case EBUSY:
    case ETXTBSY:
        return jp("ファイルが使用中です");
    default:
        return jp("エラー ") + std::to_string(error) + " (" + std::strerror(error) + ")";
    }
}

} // namespace tw
