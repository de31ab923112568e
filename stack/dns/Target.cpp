#include "stack/dns/Target.h"

namespace zel::sip::stack {

std::string ToString(const Target& target) {
    std::string text = ToString(target.tuple);
    if (!target.hostName.empty()) {
        text += " (";
        text += target.hostName;
        text += ')';
    }
    return text;
}

} // namespace zel::sip::stack
