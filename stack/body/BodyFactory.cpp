#include "stack/body/BodyFactory.h"

#include "stack/body/GenericBody.h"
#include "stack/body/MultipartBody.h"
#include "stack/body/SdpBody.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace zel::sip::stack {

namespace {

// RFC 2045 section 6.2: these leave the content as it is.
bool IsIdentityEncoding(const MimeHeaders& headers) {
    if (!headers.transferEncoding) {
        return true;
    }
    const auto encoding = boost::algorithm::trim_copy(*headers.transferEncoding);
    return encoding.empty() || boost::algorithm::iequals(encoding, "7bit") ||
           boost::algorithm::iequals(encoding, "8bit") || boost::algorithm::iequals(encoding, "binary");
}

} // namespace

namespace detail {

ParseResult<std::unique_ptr<Body>> ParseBodyAtDepth(const ContentType& type, std::string_view content,
                                                    const MimeHeaders& headers, const BodyLimits& limits,
                                                    std::size_t depth) {
    if (content.size() > limits.maxBytes) {
        return BodyError{0, "body of " + std::to_string(content.size()) + " bytes exceeds the limit of " +
                                std::to_string(limits.maxBytes) + " bytes"};
    }
    std::unique_ptr<Body> body;
    const auto& mime = type.mime;
    if (!IsIdentityEncoding(headers)) {
        body = std::make_unique<GenericBody>(type, std::string(content));
    } else if (mime.Matches("application", "sdp")) {
        auto sdp = SdpBody::Parse(type, content, limits.sdp);
        if (!sdp) {
            return BodyError{sdp.Error().line, "invalid SDP: " + sdp.Error().message};
        }
        body = std::move(sdp).Value();
    } else if (boost::algorithm::iequals(mime.Type(), "multipart")) {
        auto multipart = MultipartBody::Parse(type, content, limits, depth);
        if (!multipart) {
            return multipart.Error();
        }
        body = std::move(multipart).Value();
    } else if (mime.Matches("text", "plain")) {
        body = std::make_unique<TextBody>(type, std::string(content));
    } else {
        body = std::make_unique<GenericBody>(type, std::string(content));
    }
    if (headers != MimeHeaders{}) {
        body->Headers() = headers;
    }
    return body;
}

} // namespace detail

ParseResult<std::unique_ptr<Body>> ParseBody(const ContentType& type, std::string_view content,
                                             const MimeHeaders& headers, const BodyLimits& limits) {
    return detail::ParseBodyAtDepth(type, content, headers, limits, 0);
}

ParseResult<std::unique_ptr<Body>> ParseBody(std::string_view contentType, std::string_view content,
                                             const MimeHeaders& headers, const BodyLimits& limits) {
    auto type = ContentType::Parse(contentType);
    if (!type) {
        return type.Error();
    }
    return ParseBody(type.Value(), content, headers, limits);
}

ParseResult<std::unique_ptr<Body>> ParseBody(const Mime& mime, std::string_view content,
                                             const MimeHeaders& headers, const BodyLimits& limits) {
    return ParseBody(ContentType::FromMime(mime), content, headers, limits);
}

const SdpBody* FindSdp(const Body& body) noexcept {
    if (const auto* sdp = dynamic_cast<const SdpBody*>(&body)) {
        return sdp;
    }
    if (const auto* multipart = dynamic_cast<const MultipartBody*>(&body)) {
        for (const auto& part : multipart->Parts()) {
            if (const auto* found = FindSdp(*part)) {
                return found;
            }
        }
    }
    return nullptr;
}

} // namespace zel::sip::stack
