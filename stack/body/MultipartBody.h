#pragma once

#include "stack/body/Body.h"
#include "stack/body/BodyLimits.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip::stack {

/// A multipart body (RFC 2046 section 5.1), multipart/mixed unless parsed with another subtype:
/// parts in order, each a Body of its own (nested multiparts included).
///
/// The boundary is the Content-Type's "boundary" parameter. A new body starts with a random one;
/// AddPart and PrepareToEncode keep it safe, that is, no encoded part holds a line that begins
/// with "--" and the boundary (RFC 2046 section 5.1.1). A parsed body keeps the peer's boundary.
///
/// Encoding writes "--boundary" CRLF, the part's headers, an empty line and its content for each
/// part, each part followed by CRLF, and "--boundary--" CRLF at the end; no preamble or epilogue.
class MultipartBody : public Body {
public:
    /// An empty multipart/<subtype> body with a fresh random boundary. Raises std::runtime_error
    /// when no random data is available.
    explicit MultipartBody(std::string subtype = "mixed");

    MultipartBody(const MultipartBody& other);
    MultipartBody& operator=(const MultipartBody& other);
    MultipartBody(MultipartBody&&) noexcept = default;
    MultipartBody& operator=(MultipartBody&&) noexcept = default;
    ~MultipartBody() override = default;

    /// Parses the content of a multipart body whose Content-Type is `type` (it must carry a
    /// valid boundary parameter). The preamble and epilogue are ignored; delimiters may end in
    /// CRLF or LF; a missing close delimiter is tolerated. Each part is parsed by its own
    /// Content-Type (text/plain when it has none). `depth` is this body's nesting level.
    static ParseResult<std::unique_ptr<MultipartBody>> Parse(const stack::ContentType& type, std::string_view content,
                                                             const BodyLimits& limits = {}, std::size_t depth = 0);

    /// The parts in order. Edits through the modifiable form may make the boundary unsafe:
    /// call PrepareToEncode afterwards.
    const std::vector<std::unique_ptr<Body>>& Parts() const noexcept { return parts_; }
    std::vector<std::unique_ptr<Body>>& Parts() noexcept { return parts_; }

    /// Appends a part (a null pointer is ignored) and re-checks the boundary.
    void AddPart(std::unique_ptr<Body> part);
    /// Appends a copy of a part and re-checks the boundary.
    void AddPart(const Body& part) { AddPart(part.Clone()); }

    /// The boundary (empty only if a parsed Content-Type was edited to drop it).
    std::string_view Boundary() const noexcept;
    /// Sets the boundary as given; PrepareToEncode replaces it if it is unsafe.
    void SetBoundary(std::string boundary);

    std::unique_ptr<Body> Clone() const override { return std::make_unique<MultipartBody>(*this); }
    std::string Encode() const override;
    void PrepareToEncode() override;

    /// Whether `boundary` is a valid RFC 2046 boundary (1 to 70 bchars, not ending in a space).
    static bool IsValidBoundary(std::string_view boundary) noexcept;

private:
    struct Unchecked {};
    MultipartBody(stack::ContentType type, Unchecked);

    bool IsBoundarySafe(std::string_view boundary, const std::vector<std::string>& encodedParts) const noexcept;
    std::vector<std::string> EncodeParts() const;

    std::vector<std::unique_ptr<Body>> parts_;
};

} // namespace zel::sip::stack
