#include "stack/message/Mime.h"

#include "stack/base/CaseInsensitive.h"
#include "stack/base/Scanner.h"

namespace zel::sip::stack {

ParseStatus Mime::TryParse(std::string_view text, Mime& out, std::size_t base) {
    out = Mime();
    Scanner s(text, base);
    s.SkipLws();
    const std::string_view type = s.TakeToken();
    if (type.empty()) {
        return s.Fail("expected a media type");
    }
    if (!s.ConsumeSeparator('/')) {
        return s.Fail("expected '/' in media type");
    }
    const std::string_view subtype = s.TakeToken();
    if (subtype.empty()) {
        return s.Fail("expected a media subtype");
    }
    out.type_.assign(type);
    out.subtype_.assign(subtype);
    if (auto st = ParseHeaderParams(s, out.params_); !st) {
        return st;
    }
    return ExpectEnd(s);
}

Mime Mime::Parse(std::string_view text) {
    Mime value;
    ThrowIfFailed(TryParse(text, value), "media type");
    return value;
}

std::string Mime::ToString() const {
    std::string text;
    text.reserve(type_.size() + 1 + subtype_.size());
    text.append(type_).append(1, '/').append(subtype_);
    return text;
}

void Mime::Encode(std::string& out) const {
    out.append(type_).append(1, '/').append(subtype_);
    params_.EncodeHeaderParams(out);
}

bool Mime::Matches(std::string_view type, std::string_view subtype) const noexcept {
    return IEquals(type_, type) && IEquals(subtype_, subtype);
}

} // namespace zel::sip::stack
