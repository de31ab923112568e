// libFuzzer target: the URI parser. A parsed URI must encode into text that parses to an
// equivalent URI with the same encoding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "stack/message/Uri.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zel::sip::stack::Uri;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Uri uri;
    if (!Uri::TryParse(text, uri)) {
        return 0;
    }
    const std::string encoded = uri.ToString();
    Uri again;
    if (!Uri::TryParse(encoded, again)) {
        __builtin_trap();
    }
    if (again.ToString() != encoded || (uri.IsSip() && !uri.Equivalent(again))) {
        __builtin_trap();
    }
    return 0;
}
