#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "stack/base/ParseError.h"
#include "stack/message/Parameter.h"

namespace zel::sip::stack {

/// One Via value (RFC 3261 section 20.42): sent-protocol, sent-by and via-params, with the
/// parameters of RFC 3261 (branch, received, maddr, ttl) and RFC 3581 (rport, with or without a
/// value) readable by name. `received` is accepted with or without brackets around an IPv6
/// address (RFC 5118 section 4.5) and kept as received. A value type, not thread-safe.
class Via {
public:
    Via() = default;

    static ParseStatus TryParse(std::string_view text, Via& out, std::size_t base = 0);
    /// Throwing form of TryParse. Raises ParseError.
    static Via Parse(std::string_view text);

    const std::string& ProtocolName() const noexcept { return protocolName_; }
    const std::string& ProtocolVersion() const noexcept { return protocolVersion_; }
    /// "UDP", "TCP", "TLS", "WS", ... as written.
    const std::string& Transport() const noexcept { return transport_; }
    void SetTransport(std::string_view transport) { transport_.assign(transport); }

    /// sent-by host, without brackets for IPv6.
    const std::string& Host() const noexcept { return host_; }
    void SetHost(std::string_view host);
    bool HasPort() const noexcept { return hasPort_; }
    std::uint16_t Port() const noexcept { return hasPort_ ? port_ : 0; }
    void SetPort(std::uint16_t port) noexcept { port_ = port; hasPort_ = true; }
    void ClearPort() noexcept { hasPort_ = false; port_ = 0; }

    ParameterList& Params() noexcept { return params_; }
    const ParameterList& Params() const noexcept { return params_; }

    /// The branch parameter, empty when absent.
    std::string_view Branch() const noexcept;
    /// The received parameter, empty when absent.
    std::string_view Received() const noexcept;
    std::string_view Maddr() const noexcept;
    std::optional<std::uint32_t> Ttl() const noexcept;
    /// rport present (with or without a value).
    bool HasRport() const noexcept { return params_.Has("rport"); }
    /// rport's value when it has a valid one.
    std::optional<std::uint16_t> Rport() const noexcept;

    void Encode(std::string& out) const;
    std::string ToString() const;

private:
    std::string protocolName_ = "SIP";
    std::string protocolVersion_ = "2.0";
    std::string transport_ = "UDP";
    std::string host_;
    std::uint16_t port_ = 0;
    bool hasPort_ = false;
    ParameterList params_;
};

} // namespace zel::sip::stack
