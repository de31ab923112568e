#pragma once

#include "stack/body/Body.h"

#include <string>

namespace zel::sip::stack {

/// A body of any type whose content is kept as opaque bytes and written back unchanged
/// (application/json, application/xml, application/pidf+xml, ... and anything unknown).
class GenericBody : public Body {
public:
    GenericBody(stack::ContentType type, std::string content) : Body(std::move(type)), content_(std::move(content)) {}

    /// The content bytes.
    const std::string& Content() const noexcept { return content_; }
    void SetContent(std::string content) { content_ = std::move(content); }

    std::unique_ptr<Body> Clone() const override { return std::make_unique<GenericBody>(*this); }
    std::string Encode() const override { return content_; }

private:
    std::string content_;
};

/// A text/plain body (RFC 2046 section 4.1.3); the charset, if any, is the Content-Type's
/// "charset" parameter. The text is kept as bytes: no conversion of charset or line ends.
class TextBody : public GenericBody {
public:
    explicit TextBody(std::string text) : GenericBody(stack::ContentType("text", "plain"), std::move(text)) {}
    TextBody(stack::ContentType type, std::string text) : GenericBody(std::move(type), std::move(text)) {}

    const std::string& Text() const noexcept { return Content(); }

    std::unique_ptr<Body> Clone() const override { return std::make_unique<TextBody>(*this); }
};

} // namespace zel::sip::stack
