// libFuzzer target: the name-address parser (From, To, Contact, Route ...). A parsed value must
// encode into text that parses again to the same encoding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "stack/message/NameAddr.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zel::sip::stack::NameAddr;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    NameAddr value;
    if (!NameAddr::TryParse(text, value)) {
        return 0;
    }
    const std::string encoded = value.ToString();
    NameAddr again;
    if (!NameAddr::TryParse(encoded, again)) {
        __builtin_trap();
    }
    if (again.ToString() != encoded) {
        __builtin_trap();
    }
    return 0;
}
