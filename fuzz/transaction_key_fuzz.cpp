// libFuzzer target: transaction matching on whatever a peer sends. Computing a key never raises,
// and the key of a message does not change when the message is encoded and parsed again (a
// retransmission that went through a proxy's re-encoding must still match its transaction).
// Bytes the parser refuses go the way the layer takes them: salvaged headers, then a stateless
// answer that must be a message we can parse back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "stack/transaction/TransactionKey.h"
#include "stack/transaction/TransactionMessages.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace {

using namespace zel::sip::stack;

struct Keys {
    std::optional<TransactionKey> server;
    std::optional<TransactionKey> cancelled;
    std::optional<TransactionKey> client;
};

Keys KeysOf(const SipMessage& message) {
    Keys keys;
    if (message.IsRequest()) {
        keys.server = ServerTransactionKey(message);
        keys.cancelled = CancelledInviteKey(message);
    }
    keys.client = ClientTransactionKey(message);
    for (const auto* key : {&keys.server, &keys.cancelled, &keys.client}) {
        if (*key) {
            (void)(*key)->ToString();
            (void)TransactionKeyHash{}(**key);
        }
    }
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SipMessage message;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (auto status = SipMessage::TryParse(std::string(bytes), message); !status) {
        if (auto salvaged = detail::SalvageHeaders(bytes)) {
            const detail::Rejection rejection = detail::RejectionFor(*salvaged, status.Failure());
            if (auto response = detail::MakeResponseTo(*salvaged, rejection.statusCode, rejection.reasonPhrase, "t")) {
                SipMessage parsed;
                if (!SipMessage::TryParse(response->Encode(), parsed) || parsed.StatusCode() != rejection.statusCode) {
                    __builtin_trap(); // what we answer must parse
                }
            }
        }
        return 0;
    }
    const Keys keys = KeysOf(message);
    SipMessage again;
    if (!SipMessage::TryParse(message.Encode(), again)) {
        return 0; // the message parser's own target checks that re-encoding parses
    }
    const Keys reparsed = KeysOf(again);
    if (keys.server != reparsed.server || keys.cancelled != reparsed.cancelled || keys.client != reparsed.client) {
        __builtin_trap();
    }
    if (message.IsRequest() && message.Method() != "ACK" && keys.server) {
        (void)MakeTrying(message);
    }
    return 0;
}
