#pragma once

#include "stack/body/ContentType.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zel::sip::stack {

/// The MIME headers that describe a body besides its Content-Type (RFC 3261 sections 7.4, 20;
/// RFC 2045, RFC 2183, RFC 3066). Values are kept as text, unvalidated. An absent header is
/// none; a present header may have an empty value.
struct MimeHeaders {
    std::optional<std::string> disposition;      ///< Content-Disposition, e.g. "session" or "render;handling=optional"
    std::optional<std::string> transferEncoding; ///< Content-Transfer-Encoding
    std::vector<std::string> languages;          ///< Content-Language values, in order
    std::optional<std::string> id;               ///< Content-ID
    std::optional<std::string> description;      ///< Content-Description
    /// Any other header of a multipart part, name and value as received, in order; kept so that
    /// nothing a peer sent is lost.
    std::vector<std::pair<std::string, std::string>> others;

    friend bool operator==(const MimeHeaders&, const MimeHeaders&) = default;
};

/// A SIP message body: its content type, its MIME headers and its content.
///
/// Bodies form a small class tree: GenericBody (any type, opaque bytes) with TextBody
/// (text/plain), SdpBody (application/sdp) and MultipartBody (multipart/*). Tell them apart with
/// dynamic_cast. Bodies are values with one owner; Clone copies one deeply.
///
/// Not thread-safe; concurrent const use is fine.
class Body {
public:
    virtual ~Body() = default;

    /// The content type with its parameters.
    const stack::ContentType& ContentType() const noexcept { return contentType_; }
    stack::ContentType& ContentType() noexcept { return contentType_; }

    /// The MIME type alone.
    const stack::Mime& Mime() const noexcept { return contentType_.mime; }

    /// The MIME headers; all absent for most bodies. The non-const form makes the record on
    /// first use, so read through a const body where nothing is to be set.
    const MimeHeaders& Headers() const noexcept { return headers_ != nullptr ? *headers_ : NoHeaders(); }
    MimeHeaders& Headers() {
        if (headers_ == nullptr) {
            headers_ = std::make_unique<MimeHeaders>();
        }
        return *headers_;
    }

    /// A deep copy of this body, of the same class.
    virtual std::unique_ptr<Body> Clone() const = 0;

    /// The content bytes, without any header. Raises std::logic_error only for a multipart body
    /// whose boundary was made unsafe by edits and not re-chosen with PrepareToEncode.
    virtual std::string Encode() const = 0;

    /// Fixes what Encode depends on, after the last edit: a multipart body makes sure that its
    /// boundary (and those of nested multiparts) occurs in none of its parts, choosing a new
    /// random one when needed, and writes it into its Content-Type. Call before reading
    /// ContentType() for the header when the body was edited. Raises std::runtime_error when
    /// no random data is available.
    virtual void PrepareToEncode() {}

    /// This body as one part of a multipart: its Content-Type and MIME header lines, an empty
    /// line, then Encode(). Line breaks in header values are written as spaces so that a value
    /// can neither add a header nor end the header block.
    std::string EncodeAsPart() const;

protected:
    Body() = default;
    explicit Body(stack::ContentType type) : contentType_(std::move(type)) {}
    Body(const Body& other)
        : contentType_(other.contentType_),
          headers_(other.headers_ != nullptr ? std::make_unique<MimeHeaders>(*other.headers_) : nullptr) {}
    Body& operator=(const Body& other) {
        if (this != &other) {
            contentType_ = other.contentType_;
            headers_ = other.headers_ != nullptr ? std::make_unique<MimeHeaders>(*other.headers_) : nullptr;
        }
        return *this;
    }
    Body(Body&&) = default;
    Body& operator=(Body&&) = default;

private:
    /// The record every body without MIME headers reads: immutable, so shared by all threads.
    static const MimeHeaders& NoHeaders() noexcept;

    stack::ContentType contentType_;
    // Behind a pointer: a call holds several SDP bodies, and these headers (over 200 bytes when
    // empty) come with a body part of a multipart message, almost never with a lone SDP.
    std::unique_ptr<MimeHeaders> headers_;
};

} // namespace zel::sip::stack
