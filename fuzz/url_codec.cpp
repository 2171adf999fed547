// urlDecode on arbitrary text (mail bodies and form data are stored encoded), and urlEncode's
// round trip.

#include "FuzzSupport.h"
#include "core/util/TextUtil.h"

#include <cstdint>

using tw::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string decoded = tw::urlDecode(bytes);
    require(decoded.size() <= bytes.size(), "decoding never grows the text");
    require(tw::urlDecode(tw::urlEncode(bytes)) == bytes, "encode then decode gives the text");
    require(tw::urlDecode(tw::urlEncode(decoded)) == decoded, "round trip of decoded text");
    return 0;
}
