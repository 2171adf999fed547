#include "platform/SystemPath.h"

#include "util/Cp932.h"

#include <unistd.h>

namespace tw {

std::string systemPath(const std::string& text) {
    bool ascii = true;
    for (const char ch : text) {
        if (static_cast<unsigned char>(ch) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii || ::access(text.c_str(), F_OK) == 0) {
        return text;
    }
    return fromCp932(text);
}

} // namespace tw
