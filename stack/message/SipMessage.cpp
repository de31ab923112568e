#include "stack/message/SipMessage.h"

#include <algorithm>
#include <iterator>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/CharClass.h"
#include "stack/base/Scanner.h"
#include "stack/message/HeaderSplit.h"

namespace zel::sip::stack {

// One header value. Views point into the message's buffer or its owned strings, both of which keep
// their addresses for the message's lifetime (including moves).
struct SipMessage::Slot {
    HeaderType type = HeaderType::Extension;
    std::uint32_t line = 0;       // values of one line share it
    std::uint32_t lineValues = 0; // values the line had when received; 0 for added values
    bool placeholder = false;     // an empty line of a List header: present, no value
    mutable bool edited = false;  // encoded from the typed value
    mutable bool failed = false;  // typed parse failed (cached)
    std::string_view name;        // as written
    std::string_view lineText;    // the whole received line, for byte-exact encoding
    std::string_view raw;
    mutable ParseFailure failure;
    mutable detail::HolderPtr holder;
};

namespace {

/// Slots a message built from scratch starts with (a request or response we make).
constexpr std::size_t kBuiltSlots = 16;
/// Slots the parser's scratch vector keeps between messages (a few times a usual header block).
constexpr std::size_t kScratchSlots = 256;

struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;  // content end (before CR LF)
    std::size_t next = 0; // start of the following line
};

// The physical line starting at `from`. A line ends at LF, with an optional CR before it.
[[gnu::always_inline]] inline Line NextLine(std::string_view text, std::size_t from) noexcept {
    Line line{from, text.size(), text.size()};
    const std::size_t lf = text.find('\n', from);
    if (lf != std::string_view::npos) {
        line.end = (lf > from && text[lf - 1] == '\r') ? lf - 1 : lf;
        line.next = lf + 1;
    }
    return line;
}

bool IsSipVersion(std::string_view text) noexcept {
    if (!IStartsWith(text, "SIP/")) {
        return false;
    }
    Scanner s(text.substr(4));
    if (s.TakeWhile(chars::IsDigit).empty() || !s.Consume('.') || s.TakeWhile(chars::IsDigit).empty()) {
        return false;
    }
    return s.AtEnd();
}

bool HasLineBreak(std::string_view text) noexcept { return text.find_first_of("\r\n") != std::string_view::npos; }

// Values edited through their typed class may hold line ends set by the application; written
// as they are they would end the header line and inject text. They become spaces.
void NeutraliseLineBreaks(std::string& out, std::size_t from) noexcept {
    for (std::size_t i = from; i < out.size(); ++i) {
        if (out[i] == '\r' || out[i] == '\n') {
            out[i] = ' ';
        }
    }
}

} // namespace

SipMessage::SipMessage() = default;
SipMessage::~SipMessage() {
    slots_.clear(); // the values made in the arena go before the arena (declared after the slots)
}
SipMessage::SipMessage(SipMessage&&) noexcept = default;

SipMessage& SipMessage::operator=(SipMessage&&) noexcept = default;

SipMessage::SipMessage(const SipMessage& other) : SipMessage() { *this = other; }

SipMessage& SipMessage::operator=(const SipMessage& other) {
    if (this == &other) {
        return *this;
    }
    std::string wire = other.Encode();
    // A message still without a method (default-constructed) has no start line to re-parse: give
    // it a stand-in for the parse and take it away again afterwards.
    const bool noStartLine = other.isRequest_ && other.method_.empty();
    if (noStartLine) {
        wire.replace(0, wire.find("\r\n"), "X sip:x SIP/2.0");
    }
    SipMessage copy;
    MessageLimits unlimited;
    unlimited.maxMessageBytes = wire.size() + 1;
    unlimited.maxBodyBytes = wire.size() + 1;
    unlimited.maxLineLength = wire.size() + 1;
    unlimited.maxHeaderCount = other.slots_.size() + 2;
    unlimited.maxValueCount = other.slots_.size() + 2;
    if (auto status = ParseImpl(std::move(wire), copy, unlimited, false); !status) {
        throw std::logic_error("SIP message copy does not re-parse: " + status.Describe());
    }
    if (noStartLine) {
        copy.method_ = {};
        copy.requestUriRaw_ = {};
        copy.startLine_ = {};
        copy.startLineEdited_ = true;
    }
    *this = std::move(copy);
    return *this;
}

SipMessage SipMessage::MakeRequest(std::string_view method, const Uri& requestUri) {
    SipMessage message;
    message.slots_.reserve(kBuiltSlots);
    message.isRequest_ = true;
    message.SetMethod(method);
    message.SetRequestUri(requestUri);
    return message;
}

SipMessage SipMessage::MakeResponse(int statusCode, std::string_view reasonPhrase) {
    SipMessage message;
    message.slots_.reserve(kBuiltSlots);
    message.isRequest_ = false;
    message.method_ = {};
    message.SetStatus(statusCode, reasonPhrase);
    return message;
}

ParseStatus SipMessage::TryParse(std::string buffer, SipMessage& out, const MessageLimits& limits) {
    return ParseImpl(std::move(buffer), out, limits, false);
}

ParseStatus SipMessage::TryParseFramed(std::string buffer, SipMessage& out, const MessageLimits& limits) {
    return ParseImpl(std::move(buffer), out, limits, true);
}

SipMessage SipMessage::Parse(std::string buffer, const MessageLimits& limits) {
    SipMessage message;
    ThrowIfFailed(TryParse(std::move(buffer), message, limits), "SIP message");
    return message;
}

ParseStatus SipMessage::ParseImpl(std::string buffer, SipMessage& out, const MessageLimits& limits, bool framed) {
    if (buffer.size() > limits.maxMessageBytes) {
        return ParseFailure{limits.maxMessageBytes, "message larger than the size limit"};
    }
    out = SipMessage();
    out.buffer_ = std::move(buffer);
    // Views into the buffer must survive moves of the message: keep the bytes out of the string's
    // small-string storage.
    if (out.buffer_.capacity() < 64) {
        out.buffer_.reserve(64);
    }
    const std::string_view text = out.buffer_;

    // RFC 3261 section 7.5: CRLFs before the start line are ignored.
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) {
        ++pos;
    }
    if (pos >= text.size()) {
        return ParseFailure{pos, "empty message"};
    }

    // Start line.
    const Line start = NextLine(text, pos);
    if (start.end - start.begin > limits.maxLineLength) {
        return ParseFailure{start.begin, "start line longer than the line limit"};
    }
    const std::string_view startText = text.substr(start.begin, start.end - start.begin);
    out.startLine_ = startText;
    if (IStartsWith(startText, "SIP/")) {
        out.isRequest_ = false;
        const std::size_t sp1 = startText.find(' ');
        if (sp1 == std::string_view::npos || !IsSipVersion(startText.substr(0, sp1))) {
            return ParseFailure{start.begin, "malformed SIP version in status line"};
        }
        out.version_ = startText.substr(0, sp1);
        const std::string_view rest = startText.substr(sp1 + 1);
        if (rest.size() < 3 || !chars::IsDigit(rest[0]) || !chars::IsDigit(rest[1]) || !chars::IsDigit(rest[2]) ||
            (rest.size() > 3 && rest[3] != ' ')) {
            return ParseFailure{start.begin + sp1 + 1, "malformed status code"};
        }
        out.statusCode_ = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
        if (out.statusCode_ < 100 || out.statusCode_ > 699) {
            return ParseFailure{start.begin + sp1 + 1, "status code out of range"};
        }
        out.reason_ = rest.size() > 4 ? rest.substr(4) : std::string_view();
    } else {
        out.isRequest_ = true;
        Scanner s(startText, start.begin);
        const std::string_view method = s.TakeToken();
        if (method.empty()) {
            return s.Fail("malformed request line: expected a method");
        }
        if (!s.Consume(' ')) {
            return s.Fail("malformed request line: expected one SP after the method");
        }
        const std::string_view uri = s.TakeWhile([](char c) { return c != ' ' && c != '\t'; });
        if (uri.empty()) {
            return s.Fail("malformed request line: expected a Request-URI");
        }
        if (!s.Consume(' ')) {
            return s.Fail("malformed request line: expected one SP after the Request-URI");
        }
        const std::string_view version = s.Rest();
        if (!IsSipVersion(version)) {
            return s.Fail("malformed request line: bad SIP version");
        }
        out.method_ = method;
        out.requestUriRaw_ = uri;
        out.version_ = version;
    }

    // Header lines. The slots are gathered in this thread's scratch vector (it keeps its
    // capacity from message to message) and then moved into the message in one allocation of
    // the exact size: no growth by doubling and no spare slots kept for the message's life.
    static thread_local std::vector<Slot> scratch;
    std::vector<Slot>& slots = scratch;
    slots.clear();
    pos = start.next;
    std::size_t bodyStart = text.size();
    std::size_t headerCount = 0;
    while (pos < text.size()) {
        Line line = NextLine(text, pos);
        if (line.end == line.begin) {
            bodyStart = line.next;
            break;
        }
        // Unfold: continuation lines start with SP or HTAB.
        while (line.next < text.size() && chars::IsWsp(text[line.next])) {
            const Line more = NextLine(text, line.next);
            line.end = more.end;
            line.next = more.next;
        }
        if (line.end - line.begin > limits.maxLineLength) {
            return ParseFailure{line.begin, "header line longer than the line limit"};
        }
        if (++headerCount > limits.maxHeaderCount) {
            return ParseFailure{line.begin, "more header lines than the header limit"};
        }
        const std::string_view lineText = text.substr(line.begin, line.end - line.begin);
        Scanner s(lineText, line.begin);
        const std::string_view name = s.TakeToken();
        if (name.empty()) {
            return s.Fail("malformed header line: expected a header name");
        }
        s.TakeWhile(chars::IsWsp);
        if (!s.Consume(':')) {
            return s.Fail("malformed header line: expected ':'");
        }
        const std::string_view value = TrimLws(s.Rest());
        const HeaderType type = LookupHeader(name);
        const std::uint32_t lineId = out.nextLine_++;
        // Slots are made in place: a Slot is large enough that building one and moving it in
        // showed in profiles.
        auto addSlot = [&](std::string_view raw) -> Slot& {
            Slot& slot = slots.emplace_back();
            slot.type = type;
            slot.line = lineId;
            slot.name = name;
            slot.lineText = lineText;
            slot.raw = raw;
            return slot;
        };
        if (type != HeaderType::Extension && GetHeaderInfo(type).multiplicity == Multiplicity::List) {
            const std::size_t first = slots.size();
            SplitList(value, [&](std::string_view item) { addSlot(item); });
            const auto added = static_cast<std::uint32_t>(slots.size() - first);
            if (added == 0) {
                Slot& slot = addSlot({});
                slot.placeholder = true;
                slot.lineValues = 1;
            } else {
                for (std::size_t i = first; i < slots.size(); ++i) {
                    slots[i].lineValues = added;
                }
            }
        } else {
            addSlot(value).lineValues = 1;
        }
        if (slots.size() > limits.maxValueCount) {
            return ParseFailure{line.begin, "more header values than the value limit"};
        }
        pos = line.next;
    }
    out.slots_.assign(std::make_move_iterator(slots.begin()), std::make_move_iterator(slots.end()));
    if (slots.capacity() > kScratchSlots) {
        std::vector<Slot>().swap(slots); // a header block far above the usual: give it back
    } else {
        slots.clear();
    }

    // Body.
    std::string_view body = bodyStart < text.size() ? text.substr(bodyStart) : std::string_view();
    if (!framed) {
        if (const Slot* cl = out.FindSlot(HeaderType::ContentLength, {}, 0); cl != nullptr && !cl->placeholder) {
            Number length;
            if (auto status = Number::TryParse(cl->raw, length); !status) {
                return ParseFailure{static_cast<std::size_t>(cl->raw.data() - text.data()) + status.Failure().position,
                                    "malformed Content-Length"};
            }
            if (length.Value() > body.size()) {
                return ParseFailure{bodyStart, "Content-Length larger than the body received"};
            }
            body = body.substr(0, length.Value());
        }
    }
    if (body.size() > limits.maxBodyBytes) {
        return ParseFailure{bodyStart, "body larger than the body limit"};
    }
    out.body_ = body;
    return {};
}

void SipMessage::SetMethod(std::string_view method) {
    if (method.empty() || std::any_of(method.begin(), method.end(), [](char c) { return !chars::IsToken(c); })) {
        throw std::invalid_argument("SIP method must be a token");
    }
    method_ = Store(method);
    startLineEdited_ = true;
}

const Uri* SipMessage::RequestUri(ParseFailure* failure) const {
    if (!isRequest_) {
        if (failure != nullptr) {
            *failure = ParseFailure{0, "a response has no Request-URI"};
        }
        return nullptr;
    }
    if (!requestUri_ && !requestUriFailed_) {
        auto uri = std::make_unique<Uri>();
        if (auto status = Uri::TryParse(requestUriRaw_, *uri); status) {
            requestUri_ = std::move(uri);
        } else {
            requestUriFailed_ = true;
            requestUriFailure_ = status.Failure();
        }
    }
    if (requestUriFailed_ && failure != nullptr) {
        *failure = requestUriFailure_;
    }
    return requestUri_.get();
}

Uri* SipMessage::EditRequestUri(ParseFailure* failure) {
    const Uri* uri = RequestUri(failure);
    if (uri != nullptr) {
        startLineEdited_ = true;
    }
    return requestUri_.get();
}

void SipMessage::SetRequestUri(const Uri& uri) {
    requestUri_ = std::make_unique<Uri>(uri);
    requestUriFailed_ = false;
    requestUriRaw_ = Store(uri.ToString());
    startLineEdited_ = true;
}

void SipMessage::SetStatus(int statusCode, std::string_view reasonPhrase) {
    if (statusCode < 100 || statusCode > 699) {
        throw std::invalid_argument("SIP status code must be within 100-699");
    }
    if (HasLineBreak(reasonPhrase)) {
        throw std::invalid_argument("SIP reason phrase must not contain CR or LF");
    }
    statusCode_ = statusCode;
    reason_ = Store(reasonPhrase);
    startLineEdited_ = true;
}

SipMessage::Slot* SipMessage::FindSlot(HeaderType type, std::string_view name, std::size_t index) const noexcept {
    std::size_t seen = 0;
    for (const Slot& slot : slots_) {
        if (slot.type != type || slot.placeholder) {
            continue;
        }
        if (type == HeaderType::Extension && !IEquals(slot.name, name)) {
            continue;
        }
        if (seen++ == index) {
            return const_cast<Slot*>(&slot);
        }
    }
    return nullptr;
}

bool SipMessage::Has(HeaderType type) const noexcept {
    return type != HeaderType::Extension &&
           std::any_of(slots_.begin(), slots_.end(), [type](const Slot& s) { return s.type == type; });
}

bool SipMessage::HasExtension(std::string_view name) const noexcept {
    return std::any_of(slots_.begin(), slots_.end(),
                       [name](const Slot& s) { return s.type == HeaderType::Extension && IEquals(s.name, name); });
}

std::size_t SipMessage::Count(HeaderType type) const noexcept {
    if (type == HeaderType::Extension) {
        return 0;
    }
    return static_cast<std::size_t>(
        std::count_if(slots_.begin(), slots_.end(), [type](const Slot& s) { return s.type == type && !s.placeholder; }));
}

std::size_t SipMessage::CountExtension(std::string_view name) const noexcept {
    return static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), [name](const Slot& s) {
        return s.type == HeaderType::Extension && IEquals(s.name, name);
    }));
}

std::string_view SipMessage::Raw(HeaderType type, std::size_t index) const noexcept {
    if (type == HeaderType::Extension) {
        return {};
    }
    const Slot* slot = FindSlot(type, {}, index);
    return slot != nullptr ? slot->raw : std::string_view();
}

std::string_view SipMessage::RawExtension(std::string_view name, std::size_t index) const noexcept {
    const Slot* slot = FindSlot(HeaderType::Extension, name, index);
    return slot != nullptr ? slot->raw : std::string_view();
}

std::string SipMessage::ValueText(HeaderType type, std::size_t index) const {
    const Slot* slot = type == HeaderType::Extension ? nullptr : FindSlot(type, {}, index);
    if (slot == nullptr) {
        return {};
    }
    if (slot->edited && slot->holder) {
        std::string text;
        slot->holder->Encode(text);
        return text;
    }
    const std::string_view raw = slot->raw;
    if (raw.find_first_of("\r\n") == std::string_view::npos) {
        return std::string(raw);
    }
    // A fold is equivalent to one space (RFC 3261 section 7.3.1); a stray CR or LF a peer left in
    // the line is treated the same, so the text can always be added to another message.
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\r' && raw[i] != '\n') {
            text.push_back(raw[i]);
            continue;
        }
        while (text.size() > 0 && (text.back() == ' ' || text.back() == '\t')) {
            text.pop_back();
        }
        while (i + 1 < raw.size() && (raw[i + 1] == '\r' || raw[i + 1] == '\n' || raw[i + 1] == ' ' || raw[i + 1] == '\t')) {
            ++i;
        }
        text.push_back(' ');
    }
    return text;
}

void SipMessage::CheckKind(HeaderType type, ValueKind kind) {
    if (type == HeaderType::Extension) {
        throw std::invalid_argument("HeaderType::Extension needs a header name");
    }
    if (GetHeaderInfo(type).kind != kind) {
        throw std::logic_error("typed access with the wrong value class for header " +
                               std::string(HeaderName(type)));
    }
}

void SipMessage::ThrowAccessFailure(HeaderType type, std::size_t index, const ParseFailure& failure) {
    if (failure.reason == std::string_view("header not present")) {
        throw std::out_of_range("no value " + std::to_string(index) + " of header " + std::string(HeaderName(type)));
    }
    throw ParseError(HeaderName(type), failure);
}

detail::ValueHolderBase* SipMessage::Access(Slot* slot, ValueKind kind, ParseFn parse, bool edit,
                                            ParseFailure* failure) const {
    if (slot == nullptr) {
        if (failure != nullptr) {
            *failure = ParseFailure{0, "header not present"};
        }
        return nullptr;
    }
    if (!slot->holder) {
        if (slot->failed) {
            if (failure != nullptr) {
                *failure = slot->failure;
            }
            return nullptr;
        }
        detail::HolderPtr parsed;
        if (auto status = parse(slot->raw, parsed, arena_); !status) {
            slot->failed = true;
            slot->failure = status.Failure();
            if (failure != nullptr) {
                *failure = slot->failure;
            }
            return nullptr;
        }
        slot->holder = std::move(parsed);
    }
    if (slot->holder->Kind() != kind) {
        if (failure != nullptr) {
            *failure = ParseFailure{0, "value already held as another type"};
        }
        return nullptr;
    }
    if (edit) {
        slot->edited = true;
    }
    return slot->holder.get();
}

std::string_view SipMessage::Store(std::string_view text) {
    // A header value of a message we build goes to the arena: a response copies five to ten
    // values from its request, two heap blocks each as strings of their own. Long texts (a body)
    // would fill the first block that the typed values read later want, so they stay apart.
    constexpr std::size_t kArenaTextLimit = 256;
    if (text.empty()) {
        return std::string_view("", 0);
    }
    if (text.size() <= kArenaTextLimit) {
        const std::string_view copy = arena_.Copy(text);
        if (copy.size() == text.size()) {
            return copy;
        }
    }
    owned_.push_back(std::make_unique<std::string>(text));
    return *owned_.back();
}

std::size_t SipMessage::InsertPosition(HeaderType type, std::string_view name) const noexcept {
    std::size_t position = slots_.size();
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const Slot& s = slots_[i];
        if (s.type == type && (type != HeaderType::Extension || IEquals(s.name, name))) {
            position = i + 1;
        }
    }
    return position;
}

std::uint32_t SipMessage::LineFor(HeaderType type, std::size_t at) noexcept {
    // Option tags and methods we add go on one line ("Supported: outbound, path, 100rel"): RFC 3261
    // section 7.3.1 makes that the same as a line each, but peers that read only the first line of
    // a header (SIPp's checks among them) would miss the rest. Received lines stay as they came.
    if (at > 0 && type != HeaderType::Extension) {
        const Slot& previous = slots_[at - 1];
        const HeaderInfo& info = GetHeaderInfo(type);
        if (previous.type == type && previous.lineValues == 0 && !previous.placeholder &&
            info.multiplicity == Multiplicity::List && info.kind == ValueKind::Token) {
            return previous.line;
        }
    }
    return nextLine_++;
}

void SipMessage::MoveToTop(HeaderType type) {
    std::stable_partition(slots_.begin(), slots_.end(), [type](const Slot& slot) { return slot.type == type; });
}

void SipMessage::AddRaw(HeaderType type, std::string_view name, std::string_view value) {
    if (HasLineBreak(value)) {
        throw std::invalid_argument("SIP header value must not contain CR or LF");
    }
    const std::string_view stored = Store(TrimLws(value));
    const std::string_view storedName = type == HeaderType::Extension ? Store(name) : HeaderName(type);
    const std::size_t at = InsertPosition(type, name);
    const std::uint32_t lineId = LineFor(type, at);
    std::vector<Slot> pieces;
    auto make = [&](std::string_view item, bool placeholder) {
        Slot slot;
        slot.type = type;
        slot.line = lineId;
        slot.name = storedName;
        slot.raw = item;
        slot.placeholder = placeholder;
        pieces.push_back(std::move(slot));
    };
    if (type != HeaderType::Extension && GetHeaderInfo(type).multiplicity == Multiplicity::List) {
        SplitList(stored, [&](std::string_view item) { make(item, false); });
        if (pieces.empty()) {
            make({}, true);
        }
    } else {
        make(stored, false);
    }
    slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(at), std::make_move_iterator(pieces.begin()),
                  std::make_move_iterator(pieces.end()));
}

void SipMessage::AddHolder(HeaderType type, std::string_view name, detail::HolderPtr holder) {
    const std::size_t at = InsertPosition(type, name);
    Slot slot;
    slot.type = type;
    slot.line = LineFor(type, at);
    slot.name = type == HeaderType::Extension ? Store(name) : HeaderName(type);
    slot.edited = true;
    slot.holder = std::move(holder);
    slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(at), std::move(slot));
}

void SipMessage::Add(HeaderType type, std::string_view value) {
    if (type == HeaderType::Extension) {
        throw std::invalid_argument("HeaderType::Extension needs a header name");
    }
    AddRaw(type, {}, value);
}

void SipMessage::AddExtension(std::string_view name, std::string_view value) {
    if (name.empty() || std::any_of(name.begin(), name.end(), [](char c) { return !chars::IsToken(c); })) {
        throw std::invalid_argument("SIP header name must be a token");
    }
    if (LookupHeader(name) != HeaderType::Extension) {
        throw std::invalid_argument("'" + std::string(name) + "' is a standard header, not an extension header");
    }
    AddRaw(HeaderType::Extension, name, value);
}

void SipMessage::Set(HeaderType type, std::string_view value) {
    if (HasLineBreak(value)) {
        throw std::invalid_argument("SIP header value must not contain CR or LF");
    }
    Remove(type);
    Add(type, value);
}

std::size_t SipMessage::Remove(HeaderType type) {
    if (type == HeaderType::Extension) {
        return 0;
    }
    const std::size_t before = slots_.size();
    slots_.erase(std::remove_if(slots_.begin(), slots_.end(), [type](const Slot& s) { return s.type == type; }),
                 slots_.end());
    return before - slots_.size();
}

std::size_t SipMessage::RemoveExtension(std::string_view name) {
    const std::size_t before = slots_.size();
    slots_.erase(std::remove_if(slots_.begin(), slots_.end(),
                                [name](const Slot& s) { return s.type == HeaderType::Extension && IEquals(s.name, name); }),
                 slots_.end());
    return before - slots_.size();
}

bool SipMessage::RemoveAt(HeaderType type, std::size_t index) {
    const Slot* slot = type == HeaderType::Extension ? nullptr : FindSlot(type, {}, index);
    if (slot == nullptr) {
        return false;
    }
    slots_.erase(slots_.begin() + (slot - slots_.data()));
    return true;
}

std::vector<std::string_view> SipMessage::ExtensionNames() const {
    std::vector<std::string_view> names;
    for (const Slot& s : slots_) {
        if (s.type == HeaderType::Extension &&
            std::none_of(names.begin(), names.end(), [&s](std::string_view n) { return IEquals(n, s.name); })) {
            names.push_back(s.name);
        }
    }
    return names;
}

void SipMessage::SetBody(std::string body, const Mime& type) {
    body_ = Store(body);
    Set(HeaderType::ContentType, type);
}

void SipMessage::ClearBody() {
    body_ = {};
    Remove(HeaderType::ContentType);
}

ParseStatus SipMessage::Validate() const {
    auto offsetOf = [this](std::string_view view) -> std::size_t {
        const char* begin = buffer_.data();
        if (!view.empty() && view.data() >= begin && view.data() <= begin + buffer_.size()) {
            return static_cast<std::size_t>(view.data() - begin);
        }
        return 0;
    };
    if (!IEquals(version_, "SIP/2.0")) {
        return ParseFailure{offsetOf(version_), "unsupported SIP version"};
    }
    struct Required {
        HeaderType type;
        const char* missing;
        const char* malformed;
    };
    static constexpr Required kRequired[] = {
        {HeaderType::To, "missing To header", "malformed To header"},
        {HeaderType::From, "missing From header", "malformed From header"},
        {HeaderType::CSeq, "missing CSeq header", "malformed CSeq header"},
        {HeaderType::CallId, "missing Call-ID header", "malformed Call-ID header"},
        {HeaderType::Via, "missing Via header", "malformed Via header"},
    };
    for (const Required& r : kRequired) {
        const Slot* slot = FindSlot(r.type, {}, 0);
        if (slot == nullptr) {
            return ParseFailure{0, r.missing};
        }
        ParseFailure failure;
        bool ok = true;
        switch (r.type) {
        case HeaderType::To:
        case HeaderType::From:
            ok = Peek<NameAddr>(r.type, 0, &failure) != nullptr;
            break;
        case HeaderType::CSeq:
            ok = Peek<CSeq>(r.type, 0, &failure) != nullptr;
            break;
        case HeaderType::CallId:
            ok = Peek<CallId>(r.type, 0, &failure) != nullptr;
            break;
        default:
            ok = Peek<Via>(r.type, 0, &failure) != nullptr;
            break;
        }
        if (!ok) {
            return ParseFailure{offsetOf(slot->raw) + failure.position, r.malformed};
        }
    }
    for (std::size_t i = 0; i < kHeaderTypeCount; ++i) {
        const auto type = static_cast<HeaderType>(i);
        if (GetHeaderInfo(type).multiplicity == Multiplicity::Single && Count(type) > 1) {
            return ParseFailure{offsetOf(FindSlot(type, {}, 1)->raw), "header allows one value but has several"};
        }
    }
    if (isRequest_) {
        ParseFailure failure;
        if (RequestUri(&failure) == nullptr) {
            return ParseFailure{offsetOf(requestUriRaw_) + failure.position, "malformed Request-URI"};
        }
        if (!RequestUri()->Headers().Empty()) {
            return ParseFailure{offsetOf(requestUriRaw_), "Request-URI must not carry headers"};
        }
        if (Has(HeaderType::MaxForwards)) {
            const Number* maxForwards = Peek<Number>(HeaderType::MaxForwards, 0, &failure);
            if (maxForwards == nullptr) {
                return ParseFailure{offsetOf(Raw(HeaderType::MaxForwards)), "malformed Max-Forwards header"};
            }
            // RFC 3261 section 20.22: 0-255 in practice; a larger value is a broken or hostile peer.
            if (maxForwards->Value() > 255) {
                return ParseFailure{offsetOf(Raw(HeaderType::MaxForwards)), "Max-Forwards larger than 255"};
            }
        }
        // A registrar acts on every Contact of a REGISTER (RFC 3261 section 10.3): one it cannot
        // read makes the whole request unanswerable but by 400.
        if (method_ == "REGISTER") {
            for (std::size_t i = 0; i < Count(HeaderType::Contact); ++i) {
                if (Peek<NameAddr>(HeaderType::Contact, i, &failure) == nullptr) {
                    return ParseFailure{offsetOf(Raw(HeaderType::Contact, i)) + failure.position,
                                        "malformed Contact header"};
                }
            }
        }
        if (Peek<CSeq>(HeaderType::CSeq)->Method() != method_) {
            return ParseFailure{offsetOf(Raw(HeaderType::CSeq)), "CSeq method does not match the request method"};
        }
    }
    return {};
}

void SipMessage::EncodeStartLine(std::string& out) const {
    if (!startLineEdited_ && !startLine_.empty()) {
        out.append(startLine_);
    } else if (isRequest_) {
        out.append(method_).push_back(' ');
        if (requestUri_) {
            const std::size_t start = out.size();
            requestUri_->Encode(out);
            NeutraliseLineBreaks(out, start);
        } else {
            out.append(requestUriRaw_);
        }
        out.push_back(' ');
        out.append(version_);
    } else {
        out.append(version_).push_back(' ');
        const std::string code = std::to_string(statusCode_);
        out.append(code).push_back(' ');
        out.append(reason_);
    }
    out.append("\r\n");
}

void SipMessage::Encode(std::string& out) const {
    EncodeStartLine(out);
    const std::string bodyLength = std::to_string(body_.size());
    // Received lines written unchanged that lie back to back in the buffer, each with the CRLF
    // after it, are copied with one append: an untouched header block is one copy.
    const auto bufferBegin = reinterpret_cast<std::uintptr_t>(buffer_.data());
    const auto bufferEnd = bufferBegin + buffer_.size();
    const char* runBegin = nullptr;
    const char* runEnd = nullptr;
    const auto flushRun = [&] {
        if (runBegin != nullptr) {
            out.append(runBegin, static_cast<std::size_t>(runEnd - runBegin));
            runBegin = nullptr;
        }
    };
    const auto appendReceivedLine = [&](std::string_view line) {
        const auto begin = reinterpret_cast<std::uintptr_t>(line.data());
        const char* end = line.data() + line.size();
        if (begin >= bufferBegin && begin + line.size() + 2 <= bufferEnd && end[0] == '\r' && end[1] == '\n') {
            if (runBegin == nullptr || runEnd != line.data()) {
                flushRun();
                runBegin = line.data();
            }
            runEnd = end + 2;
            return;
        }
        flushRun();
        out.append(line).append("\r\n");
    };
    bool lengthWritten = false;
    std::size_t i = 0;
    while (i < slots_.size()) {
        const Slot& first = slots_[i];
        std::size_t j = i + 1;
        while (j < slots_.size() && slots_[j].line == first.line) {
            ++j;
        }
        if (first.type == HeaderType::ContentLength) {
            if (!lengthWritten) {
                if (!first.lineText.empty() && first.lineValues == 1 && TrimLws(first.raw) == bodyLength) {
                    appendReceivedLine(first.lineText);
                } else {
                    flushRun();
                    out.append("Content-Length: ").append(bodyLength).append("\r\n");
                }
                lengthWritten = true;
            }
            i = j;
            continue;
        }
        bool verbatim = !first.lineText.empty() && first.lineValues == j - i;
        for (std::size_t k = i; k < j && verbatim; ++k) {
            verbatim = !slots_[k].edited;
        }
        if (verbatim) {
            appendReceivedLine(first.lineText);
            i = j;
            continue;
        }
        flushRun();
        out.append(first.name).append(": ");
        for (std::size_t k = i; k < j; ++k) {
            const Slot& slot = slots_[k];
            if (slot.placeholder) {
                continue;
            }
            if (k != i) {
                out.append(", ");
            }
            if (slot.edited && slot.holder) {
                const std::size_t start = out.size();
                slot.holder->Encode(out);
                NeutraliseLineBreaks(out, start);
            } else {
                out.append(slot.raw);
            }
        }
        out.append("\r\n");
        i = j;
    }
    flushRun();
    if (!lengthWritten) {
        out.append("Content-Length: ").append(bodyLength).append("\r\n");
    }
    out.append("\r\n");
    out.append(body_);
}

std::string SipMessage::Encode() const {
    std::string out;
    out.reserve(buffer_.size() + 256);
    Encode(out);
    return out;
}

} // namespace zel::sip::stack
