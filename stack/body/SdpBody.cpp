#include "stack/body/SdpBody.h"

namespace zel::sip::stack {

SdpBody::SdpBody(sdp::Session session)
    : Body(stack::ContentType("application", "sdp")), session_(std::move(session)) {}

ParseResult<std::unique_ptr<SdpBody>> SdpBody::Parse(stack::ContentType type, std::string_view text,
                                                     const sdp::ParseLimits& limits) {
    auto parsed = sdp::Session::Parse(text, limits);
    if (!parsed) {
        return parsed.Error();
    }
    auto body = std::make_unique<SdpBody>(std::move(parsed).Value());
    body->ContentType() = std::move(type);
    body->original_ = std::string(text);
    return body;
}

} // namespace zel::sip::stack
