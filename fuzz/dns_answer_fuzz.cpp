// libFuzzer target: the reader of DNS answers. The first byte chooses the record type asked for,
// the rest is the answer as it came off the wire (through c-ares' parsers and our TTL walker).
// Whatever it reads must be of the type asked for, and an answer is either records or an error.
#include <cstddef>
#include <cstdint>

#include "stack/dns/detail/AnswerParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zel::sip::stack;
    if (size < 1) {
        return 0;
    }
    const RecordType types[] = {RecordType::NAPTR, RecordType::SRV, RecordType::A, RecordType::AAAA};
    const RecordType type = types[data[0] % 4];
    const unsigned char* message = data + 1;
    const std::size_t length = size - 1;

    const detail::ParsedAnswer parsed = detail::ParseAnswer(type, message, length);
    const RecordSet& records = parsed.records;
    const bool any = !records.naptr.empty() || !records.srv.empty() || !records.addresses.empty();
    if (any == static_cast<bool>(records.error)) {
        __builtin_trap(); // records and an error, or neither
    }
    if ((type != RecordType::NAPTR && !records.naptr.empty()) || (type != RecordType::SRV && !records.srv.empty())) {
        __builtin_trap();
    }
    for (const auto& address : records.addresses) {
        if ((type == RecordType::A) != address.is_v4() || (type != RecordType::A && type != RecordType::AAAA)) {
            __builtin_trap();
        }
    }
    (void)detail::AnswerTtl(message, length, detail::DnsTypeCode(type));
    (void)detail::NegativeTtl(message, length);
    return 0;
}
