#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "stack/base/ParseError.h"
#include "stack/message/HeaderType.h"
#include "stack/message/MessageArena.h"
#include "stack/message/MessageLimits.h"
#include "stack/message/Mime.h"
#include "stack/message/Uri.h"
#include "stack/message/ValueKindOf.h"

namespace zel::sip::stack {

/// A SIP request or response (RFC 3261 section 7).
///
/// Storage: a parsed message owns one buffer with the bytes received. Header values are kept as
/// slices of it, in message order, one slot per value (a comma-separated line of a List header is
/// split at its top-level commas; the slots remember their line). Nothing is allocated per header
/// on the parse path beyond the slot vector. A value is parsed into its typed class on the first
/// typed access (`Peek`, `Edit`, `Get`) and kept in place.
///
/// Encoding: a line whose values were not edited, added or removed is written back byte for byte;
/// edited values are written from their typed value. Content-Length is computed from the body.
///
/// Lifetimes: views and pointers returned by accessors stay valid while the message lives and the
/// header value they refer to is not removed (a Remove or Set of that header ends them). Pointers to
/// typed values (`Peek`, `Edit`) never move: the C interface hands them to the host.
///
/// Errors: parsing what a peer sent reports failures as values (`TryParse`, `Peek`, `Edit` with an
/// optional ParseFailure); a malformed value fails only its own typed access. The throwing
/// conveniences (`Parse`, `Get`) raise ParseError; misuse (an Extension type where a standard one
/// is needed, a typed access with the wrong class for a standard header, CR or LF in a value) raises
/// std::invalid_argument or std::logic_error.
///
/// Thread rules: not thread-safe, not even for const access (typed access parses lazily).
class SipMessage {
public:
    /// An empty request ("" method); use MakeRequest/MakeResponse or TryParse.
    SipMessage();
    ~SipMessage();
    SipMessage(SipMessage&&) noexcept;
    SipMessage& operator=(SipMessage&&) noexcept;
    /// Copies by encoding and re-parsing: typed values come back unparsed, edits are kept.
    SipMessage(const SipMessage& other);
    SipMessage& operator=(const SipMessage& other);

    /// A request with the given method and Request-URI and no headers.
    static SipMessage MakeRequest(std::string_view method, const Uri& requestUri);
    /// A response with the given status code (100-699) and reason phrase and no headers.
    /// Raises std::invalid_argument for a code out of range.
    static SipMessage MakeResponse(int statusCode, std::string_view reasonPhrase);

    /// Parses one datagram (RFC 3261 section 18.3): a body shorter than Content-Length is an
    /// error; bytes beyond Content-Length are dropped; without Content-Length the rest is the body.
    /// `out` is replaced. Failure positions are offsets into `buffer`.
    static ParseStatus TryParse(std::string buffer, SipMessage& out, const MessageLimits& limits = {});
    /// Throwing form of TryParse. Raises ParseError.
    static SipMessage Parse(std::string buffer, const MessageLimits& limits = {});

    // ---- start line -------------------------------------------------------------------------

    bool IsRequest() const noexcept { return isRequest_; }
    bool IsResponse() const noexcept { return !isRequest_; }
    /// "SIP/2.0" as received.
    std::string_view Version() const noexcept { return version_; }

    /// The method of a request (case-sensitive, RFC 3261 section 7.1); empty for a response.
    std::string_view Method() const noexcept { return method_; }
    void SetMethod(std::string_view method);
    /// The Request-URI text as received or last set.
    std::string_view RawRequestUri() const noexcept { return requestUriRaw_; }
    /// The Request-URI, parsed on first use; null (with `failure` set) when malformed or for a response.
    const Uri* RequestUri(ParseFailure* failure = nullptr) const;
    /// The Request-URI for change; marks the start line as edited.
    Uri* EditRequestUri(ParseFailure* failure = nullptr);
    void SetRequestUri(const Uri& uri);

    /// Status code of a response; 0 for a request.
    int StatusCode() const noexcept { return statusCode_; }
    std::string_view ReasonPhrase() const noexcept { return reason_; }
    /// Sets status code and reason of a response. Raises std::invalid_argument out of 100-699.
    void SetStatus(int statusCode, std::string_view reasonPhrase);

    // ---- headers ----------------------------------------------------------------------------

    /// Whether the standard header is present (an empty List header line counts as present).
    bool Has(HeaderType type) const noexcept;
    /// Whether the extension header called `name` (compared without regard to case) is present.
    /// A standard name is never an extension header: HasExtension("Via") is false.
    bool HasExtension(std::string_view name) const noexcept;
    /// Number of values: across lines, then within comma-separated lines.
    std::size_t Count(HeaderType type) const noexcept;
    std::size_t CountExtension(std::string_view name) const noexcept;
    /// The value as received or added, without surrounding white space (it may hold line folds);
    /// empty when absent.
    std::string_view Raw(HeaderType type, std::size_t index = 0) const noexcept;
    std::string_view RawExtension(std::string_view name, std::size_t index = 0) const noexcept;
    /// The value as it would be encoded now (edited values written from their typed value), with
    /// each line fold written as one space: the text can always be added to another message.
    std::string ValueText(HeaderType type, std::size_t index = 0) const;

    /// The typed value at `index`, parsed on first use; null when absent or malformed (`failure`
    /// then says which). The value is not marked edited: the received text is still what is encoded.
    /// `T` must be the class of the header's ValueKind (std::logic_error otherwise).
    template <class T>
    const T* Peek(HeaderType type, std::size_t index = 0, ParseFailure* failure = nullptr) const {
        CheckKind(type, ValueKindOf<T>::value);
        return ValueOf<T>(Access(FindSlot(type, {}, index), ValueKindOf<T>::value, &ParseInto<T>, false, failure));
    }
    /// Typed access to an extension header value; the first typed access fixes its class.
    template <class T>
    const T* PeekExtension(std::string_view name, std::size_t index = 0, ParseFailure* failure = nullptr) const {
        return ValueOf<T>(
            Access(FindSlot(HeaderType::Extension, name, index), ValueKindOf<T>::value, &ParseInto<T>, false, failure));
    }
    /// As Peek, for change: the value is marked edited and encoded from the typed value from now on.
    template <class T>
    T* Edit(HeaderType type, std::size_t index = 0, ParseFailure* failure = nullptr) {
        CheckKind(type, ValueKindOf<T>::value);
        return ValueOf<T>(Access(FindSlot(type, {}, index), ValueKindOf<T>::value, &ParseInto<T>, true, failure));
    }
    template <class T>
    T* EditExtension(std::string_view name, std::size_t index = 0, ParseFailure* failure = nullptr) {
        return ValueOf<T>(
            Access(FindSlot(HeaderType::Extension, name, index), ValueKindOf<T>::value, &ParseInto<T>, true, failure));
    }
    /// Throwing read: std::out_of_range when absent, ParseError when malformed.
    template <class T>
    const T& Get(HeaderType type, std::size_t index = 0) const {
        ParseFailure failure;
        const T* value = Peek<T>(type, index, &failure);
        if (value == nullptr) {
            ThrowAccessFailure(type, index, failure);
        }
        return *value;
    }

    /// Appends a value given as text (after the last value of that header, or at the end).
    /// Raises std::invalid_argument for Extension or a value holding CR or LF.
    void Add(HeaderType type, std::string_view value);
    /// Appends a typed value; returns it (stable while the value is not removed).
    template <TypedValue T>
    T& Add(HeaderType type, T value) {
        CheckKind(type, ValueKindOf<T>::value);
        auto* holder = new detail::ValueHolder<T>(std::move(value));
        detail::HolderPtr owned(holder);
        AddHolder(type, {}, std::move(owned));
        return holder->Value();
    }
    /// Appends a value to the extension header `name` (created when absent).
    /// Raises std::invalid_argument when `name` is a standard header name or not a token, or the
    /// value holds CR or LF.
    void AddExtension(std::string_view name, std::string_view value);
    /// Replaces every value of the header by one value.
    void Set(HeaderType type, std::string_view value);
    template <TypedValue T>
    T& Set(HeaderType type, T value) {
        Remove(type);
        return Add(type, std::move(value));
    }
    /// Moves every line of the header, in their order, before all other header lines (the order
    /// of values within the header is unchanged). Never raises.
    void MoveToTop(HeaderType type);
    /// Removes every value of the header; returns how many were removed.
    std::size_t Remove(HeaderType type);
    std::size_t RemoveExtension(std::string_view name);
    /// Removes the value at `index`; returns whether there was one.
    bool RemoveAt(HeaderType type, std::size_t index);

    /// Names of the extension headers present, as first written, without duplicates.
    std::vector<std::string_view> ExtensionNames() const;

    // ---- body -------------------------------------------------------------------------------

    std::string_view Body() const noexcept { return body_; }
    /// Sets the body and its Content-Type.
    void SetBody(std::string body, const Mime& type);
    /// Removes the body and Content-Type.
    void ClearBody();

    // ---- checks and encoding ----------------------------------------------------------------

    /// Checks what RFC 3261 section 8.2 and 16.3 ask of every message: To, From, CSeq, Call-ID
    /// and Via present and parsable, Max-Forwards parsable and at most 255 when present (RFC 2543
    /// peers omit it), single-value headers not repeated, the Request-URI parsable and without
    /// headers (RFC 3261 section 19.1.5), every Contact of a REGISTER parsable, the CSeq method
    /// equal to the request method, version SIP/2.0 (checked first, so that a request in another
    /// version can be told apart and answered 505).
    ParseStatus Validate() const;

    /// Appends the wire form: start line, headers, Content-Length, empty line, body.
    void Encode(std::string& out) const;
    std::string Encode() const;

    /// Used by StreamFramer: parses a buffer whose body is exactly `bodyLength` bytes after the
    /// headers.
    static ParseStatus TryParseFramed(std::string buffer, SipMessage& out, const MessageLimits& limits);

private:
    struct Slot;
    using ParseFn = ParseStatus (*)(std::string_view, detail::HolderPtr&, detail::MessageArena&);

    template <class T>
    static ParseStatus ParseInto(std::string_view text, detail::HolderPtr& out, detail::MessageArena& arena) {
        detail::HolderPtr holder = arena.Make<detail::ValueHolder<T>>();
        ParseStatus status = T::TryParse(text, static_cast<detail::ValueHolder<T>&>(*holder).Value(), 0);
        if (status) {
            out = std::move(holder);
        }
        return status;
    }

    static ParseStatus ParseImpl(std::string buffer, SipMessage& out, const MessageLimits& limits, bool framed);
    static void CheckKind(HeaderType type, ValueKind kind);
    [[noreturn]] static void ThrowAccessFailure(HeaderType type, std::size_t index, const ParseFailure& failure);
    Slot* FindSlot(HeaderType type, std::string_view name, std::size_t index) const noexcept;
    detail::ValueHolderBase* Access(Slot* slot, ValueKind kind, ParseFn parse, bool edit, ParseFailure* failure) const;
    template <class T>
    static T* ValueOf(detail::ValueHolderBase* holder) noexcept {
        return holder != nullptr ? &static_cast<detail::ValueHolder<T>*>(holder)->Value() : nullptr;
    }
    void AddHolder(HeaderType type, std::string_view name, detail::HolderPtr holder);
    void AddRaw(HeaderType type, std::string_view name, std::string_view value);
    std::size_t InsertPosition(HeaderType type, std::string_view name) const noexcept;
    /// The line a value added at slot `at` goes on: the previous added value's for token lists.
    std::uint32_t LineFor(HeaderType type, std::size_t at) noexcept;
    std::string_view Store(std::string_view text);
    void EncodeStartLine(std::string& out) const;

    std::string buffer_;
    std::vector<std::unique_ptr<std::string>> owned_; // texts set or added; never move
    bool isRequest_ = true;
    bool startLineEdited_ = false;
    std::string_view startLine_;
    std::string_view method_;
    std::string_view requestUriRaw_;
    std::string_view version_ = "SIP/2.0";
    int statusCode_ = 0;
    std::string_view reason_;
    mutable std::unique_ptr<Uri> requestUri_;
    mutable ParseFailure requestUriFailure_;
    mutable bool requestUriFailed_ = false;
    std::vector<Slot> slots_;
    // Declared after the slots, so a move assignment replaces the slots (destroying the values
    // made in the old arena) before it frees the old arena; the destructor clears the slots first.
    mutable detail::MessageArena arena_;
    std::uint32_t nextLine_ = 0;
    std::string_view body_;
};

} // namespace zel::sip::stack
