#include "stack/body/MultipartBody.h"

#include "stack/body/BodyFactory.h"
#include "stack/body/detail/PartHeaders.h"

#include <openssl/rand.h>

#include <array>
#include <stdexcept>

namespace zel::sip::stack {

namespace {

constexpr std::string_view kBoundary = "boundary";
constexpr int kBoundaryAttempts = 16;

std::string RandomBoundary() {
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw std::runtime_error("no random data for a multipart boundary");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string boundary = "zel-";
    for (unsigned char b : bytes) {
        boundary.push_back(kHex[b >> 4]);
        boundary.push_back(kHex[b & 0x0f]);
    }
    return boundary;
}

// Whether a line of `text` begins with `dashBoundary`.
bool HasLineStartingWith(std::string_view text, std::string_view dashBoundary) noexcept {
    if (text.starts_with(dashBoundary)) {
        return true;
    }
    for (auto pos = text.find(dashBoundary, 1); pos != std::string_view::npos; pos = text.find(dashBoundary, pos + 1)) {
        if (text[pos - 1] == '\n') {
            return true;
        }
    }
    return false;
}

// The next position at or after `from` where a line begins with `dashBoundary`.
std::size_t FindDelimiter(std::string_view text, std::string_view dashBoundary, std::size_t from) noexcept {
    for (auto pos = text.find(dashBoundary, from); pos != std::string_view::npos; pos = text.find(dashBoundary, pos + 1)) {
        if (pos == 0 || text[pos - 1] == '\n') {
            return pos;
        }
    }
    return std::string_view::npos;
}

} // namespace

MultipartBody::MultipartBody(std::string subtype) : Body(stack::ContentType("multipart", std::move(subtype))) {
    ContentType().SetParameter(kBoundary, RandomBoundary());
}

MultipartBody::MultipartBody(stack::ContentType type, Unchecked) : Body(std::move(type)) {}

MultipartBody::MultipartBody(const MultipartBody& other) : Body(other) {
    parts_.reserve(other.parts_.size());
    for (const auto& part : other.parts_) {
        parts_.push_back(part->Clone());
    }
}

MultipartBody& MultipartBody::operator=(const MultipartBody& other) {
    if (this != &other) {
        MultipartBody copy(other);
        *this = std::move(copy);
    }
    return *this;
}

std::string_view MultipartBody::Boundary() const noexcept {
    return ContentType().Parameter(kBoundary).value_or(std::string_view());
}

void MultipartBody::SetBoundary(std::string boundary) { ContentType().SetParameter(kBoundary, std::move(boundary)); }

bool MultipartBody::IsValidBoundary(std::string_view boundary) noexcept {
    if (boundary.empty() || boundary.size() > 70 || boundary.back() == ' ') {
        return false;
    }
    for (char c : boundary) {
        if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

bool MultipartBody::IsBoundarySafe(std::string_view boundary, const std::vector<std::string>& encodedParts) const noexcept {
    if (!IsValidBoundary(boundary)) {
        return false;
    }
    const std::string dash = "--" + std::string(boundary);
    for (const auto& part : encodedParts) {
        if (HasLineStartingWith(part, dash)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> MultipartBody::EncodeParts() const {
    std::vector<std::string> encoded;
    encoded.reserve(parts_.size());
    for (const auto& part : parts_) {
        encoded.push_back(part->EncodeAsPart());
    }
    return encoded;
}

void MultipartBody::AddPart(std::unique_ptr<Body> part) {
    if (!part) {
        return;
    }
    const std::string encoded = part->EncodeAsPart();
    parts_.push_back(std::move(part));
    if (!IsBoundarySafe(Boundary(), {encoded})) {
        PrepareToEncode();
    }
}

void MultipartBody::PrepareToEncode() {
    for (auto& part : parts_) {
        part->PrepareToEncode();
    }
    const auto encoded = EncodeParts();
    if (IsBoundarySafe(Boundary(), encoded)) {
        return;
    }
    for (int attempt = 0; attempt < kBoundaryAttempts; ++attempt) {
        std::string candidate = RandomBoundary();
        if (IsBoundarySafe(candidate, encoded)) {
            SetBoundary(std::move(candidate));
            return;
        }
    }
    throw std::runtime_error("no safe multipart boundary found");
}

std::string MultipartBody::Encode() const {
    const auto encoded = EncodeParts();
    const std::string_view boundary = Boundary();
    if (!IsBoundarySafe(boundary, encoded)) {
        throw std::logic_error("multipart boundary is invalid or occurs in a part; PrepareToEncode was not called");
    }
    std::size_t size = 0;
    for (const auto& part : encoded) {
        size += part.size() + boundary.size() + 8;
    }
    std::string out;
    out.reserve(size + boundary.size() + 8);
    for (const auto& part : encoded) {
        out.append("--").append(boundary).append("\r\n").append(part).append("\r\n");
    }
    out.append("--").append(boundary).append("--\r\n");
    return out;
}

ParseResult<std::unique_ptr<MultipartBody>> MultipartBody::Parse(const stack::ContentType& type, std::string_view content,
                                                                 const BodyLimits& limits, std::size_t depth) {
    if (depth >= limits.maxDepth) {
        return BodyError{0, "multipart nested deeper than " + std::to_string(limits.maxDepth) + " levels"};
    }
    const auto boundaryParameter = type.Parameter(kBoundary);
    if (!boundaryParameter) {
        return BodyError{0, "multipart body without boundary parameter"};
    }
    const std::string_view boundary = *boundaryParameter;
    if (!IsValidBoundary(boundary)) {
        return BodyError{0, "invalid multipart boundary"};
    }
    const std::string dash = "--" + std::string(boundary);
    auto body = std::unique_ptr<MultipartBody>(new MultipartBody(type, Unchecked{}));

    std::size_t delimiter = FindDelimiter(content, dash, 0);
    if (delimiter == std::string_view::npos) {
        return BodyError{0, "multipart body without boundary delimiter"};
    }
    for (;;) {
        // At a delimiter line: "--boundary" then "--" (close) or transport padding and a line end.
        std::size_t i = delimiter + dash.size();
        if (content.substr(i, 2) == "--") {
            break; // close delimiter; the epilogue is ignored
        }
        while (i < content.size() && (content[i] == ' ' || content[i] == '\t')) {
            ++i;
        }
        if (i < content.size() && content[i] == '\r') {
            ++i;
        }
        if (i < content.size()) {
            if (content[i] != '\n') {
                return BodyError{0, "text after multipart boundary delimiter"};
            }
            ++i;
        }
        if (body->parts_.size() >= limits.maxParts) {
            return BodyError{0, "more than " + std::to_string(limits.maxParts) + " parts in multipart body"};
        }
        const std::size_t start = i;
        const std::size_t next = FindDelimiter(content, dash, start);
        std::size_t end = next == std::string_view::npos ? content.size() : next;
        if (next != std::string_view::npos) {
            // The line break before the next delimiter belongs to the delimiter (RFC 2046 5.1.1).
            if (end > start && content[end - 1] == '\n') {
                --end;
            }
            if (end > start && content[end - 1] == '\r') {
                --end;
            }
        }
        const std::size_t partNumber = body->parts_.size() + 1;
        auto part = detail::ParsePart(content.substr(start, end - start), limits, depth + 1);
        if (!part) {
            return BodyError{0, "part " + std::to_string(partNumber) + ": " + part.Error().ToString()};
        }
        body->parts_.push_back(std::move(part).Value());
        if (next == std::string_view::npos) {
            break; // no close delimiter: tolerated
        }
        delimiter = next;
    }
    // The lenient framing above (bare LF line ends, a missing close delimiter) can accept parts whose
    // re-encoded form has a line starting with the boundary. Choose a safe boundary now, so that
    // encoding a received body never fails.
    if (!body->IsBoundarySafe(body->Boundary(), body->EncodeParts())) {
        try {
            body->PrepareToEncode();
        } catch (const std::exception& error) {
            return BodyError{0, error.what()};
        }
    }
    return body;
}

} // namespace zel::sip::stack
