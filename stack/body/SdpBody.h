#pragma once

#include "stack/body/Body.h"
#include "stack/body/sdp/Session.h"

#include <optional>
#include <string>

namespace zel::sip::stack {

/// An application/sdp body (RFC 3264 offer or answer) wrapping the SDP model.
///
/// A body made by parsing keeps the received text and writes it back byte for byte until the
/// session is asked for through the modifiable accessor; from then on Encode writes the model.
class SdpBody : public Body {
public:
    /// A body for this session, typed application/sdp.
    explicit SdpBody(sdp::Session session = {});

    /// Parses SDP text (see sdp::Session::Parse). Never throws on bad input.
    static ParseResult<std::unique_ptr<SdpBody>> Parse(stack::ContentType type, std::string_view text,
                                                       const sdp::ParseLimits& limits = {});

    const sdp::Session& Session() const noexcept { return session_; }
    /// The session for changes; the received text, if any, is dropped.
    sdp::Session& Session() noexcept {
        original_.reset();
        return session_;
    }

    std::unique_ptr<Body> Clone() const override { return std::make_unique<SdpBody>(*this); }
    std::string Encode() const override { return original_ ? *original_ : session_.Encode(); }

private:
    sdp::Session session_;
    std::optional<std::string> original_;
};

} // namespace zel::sip::stack
