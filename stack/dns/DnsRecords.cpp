#include "stack/dns/DnsRecords.h"

namespace zel::sip::stack {

std::string_view ToString(RecordType type) noexcept {
    switch (type) {
    case RecordType::NAPTR: return "NAPTR";
    case RecordType::SRV: return "SRV";
    case RecordType::A: return "A";
    case RecordType::AAAA: return "AAAA";
    }
    return "UNKNOWN";
}

} // namespace zel::sip::stack
