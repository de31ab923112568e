#include "stack/dum/UasChecks.h"

#include <string>
#include <vector>

#include "stack/base/CaseInsensitive.h"
#include "stack/base/Log.h"
#include "stack/message/NameAddr.h"
#include "stack/message/Token.h"
#include "stack/transaction/detail/StatelessResponses.h"

namespace zel::sip::stack {

namespace {

constexpr std::string_view kIdentity = "identity";

UasCheckResult Proceed() { return {}; }

// A response to `request`, or a drop when it cannot be answered. `complete` adds the headers
// particular to the check.
template <class Complete>
UasCheckResult Answer(UasCheck check, const SipMessage& request, int code, std::string_view reason,
                      std::string_view toTag, Complete&& complete) {
    UasCheckResult result;
    result.check = check;
    std::optional<SipMessage> response = detail::MakeResponseTo(request, code, reason, toTag);
    if (!response) {
        ZEL_LOG(Debug, "dialog layer: cannot answer {} {} to a request without Via, From, To, Call-ID or CSeq", code,
                reason);
        result.drop = true;
        return result;
    }
    try {
        complete(*response);
    } catch (const std::exception& error) {
        // Only a failed allocation gets here (every value added was checked when configured).
        ZEL_LOG(Err, "dialog layer: building a {} response failed: {}", code, error.what());
        result.drop = true;
        return result;
    }
    result.response = std::move(response);
    return result;
}

UasCheckResult Answer(UasCheck check, const SipMessage& request, int code, std::string_view reason,
                      std::string_view toTag) {
    return Answer(check, request, code, reason, toTag, [](SipMessage&) {});
}

void AddList(SipMessage& response, HeaderType type, const std::vector<std::string>& values) {
    for (const std::string& value : values) {
        response.Add(type, value);
    }
}

void AddAccept(SipMessage& response, const std::vector<Mime>& types) {
    if (types.empty()) {
        // An empty Accept says that no body is acceptable (RFC 3261 section 20.1); no Accept at all
        // would mean application/sdp.
        response.Add(HeaderType::Accept, "");
        return;
    }
    for (const Mime& type : types) {
        response.Add(HeaderType::Accept, type);
    }
}

bool IsBodyOptional(const SipMessage& request) {
    if (!request.Has(HeaderType::ContentDisposition)) {
        return false;
    }
    const Token* disposition = request.Peek<Token>(HeaderType::ContentDisposition);
    if (disposition == nullptr) {
        return false;
    }
    const Parameter* handling = disposition->Params().Find("handling");
    return handling != nullptr && IEquals(handling->value, "optional");
}

// Whether every Content-Encoding is one we can read (identity only: we decode none). An unparsable
// value is one we cannot read.
bool EncodingsReadable(const SipMessage& request) {
    const std::size_t count = request.Count(HeaderType::ContentEncoding);
    for (std::size_t i = 0; i < count; ++i) {
        const Token* coding = request.Peek<Token>(HeaderType::ContentEncoding, i);
        if (coding == nullptr || !coding->Matches(kIdentity)) {
            return false;
        }
    }
    return true;
}

UasCheckResult ScreenImpl(const SipMessage& request, const ProfileSettings& profile, MergedRequests& merged,
                          MergedRequests::TimePoint now, std::string_view toTag) {
    if (request.Method() == "ACK") {
        UasCheckResult result;
        result.check = UasCheck::DialogMatch;
        result.drop = true;
        return result;
    }
    if (request.Method() == "CANCEL") {
        return Proceed();
    }
    for (UasCheck check : kUasCheckOrder) {
        UasCheckResult result;
        switch (check) {
        case UasCheck::Method:
            result = CheckMethod(request, profile, toTag);
            break;
        case UasCheck::RequestUriScheme:
            result = CheckRequestUriScheme(request, profile, toTag);
            break;
        case UasCheck::DialogMatch: {
            const NameAddr* to = request.Peek<NameAddr>(HeaderType::To);
            if (to != nullptr && to->Params().Has("tag")) {
                result = Answer(check, request, 481, "Call/Transaction Does Not Exist", toTag);
            }
            break;
        }
        case UasCheck::MergedRequest:
            if (merged.IsMerged(request, now)) {
                result = Answer(check, request, 482, "Loop Detected", toTag);
            }
            break;
        case UasCheck::Require:
            result = CheckRequire(request, profile, toTag);
            break;
        case UasCheck::Body:
            result = CheckBody(request, profile, toTag);
            break;
        case UasCheck::Options:
            result = AnswerOptions(request, profile, toTag);
            break;
        }
        if (!result.Proceed()) {
            return result;
        }
    }
    return Proceed();
}

} // namespace

std::string_view ToString(UasCheck check) noexcept {
    switch (check) {
    case UasCheck::Method:
        return "Method";
    case UasCheck::RequestUriScheme:
        return "RequestUriScheme";
    case UasCheck::DialogMatch:
        return "DialogMatch";
    case UasCheck::MergedRequest:
        return "MergedRequest";
    case UasCheck::Require:
        return "Require";
    case UasCheck::Body:
        return "Body";
    case UasCheck::Options:
        return "Options";
    }
    return "unknown";
}

UasCheckResult CheckMethod(const SipMessage& request, const ProfileSettings& profile, std::string_view toTag) {
    if (profile.IsMethodSupported(request.Method())) {
        return Proceed();
    }
    // RFC 3261 section 8.2.1: the 405 MUST carry Allow.
    return Answer(UasCheck::Method, request, 405, "Method Not Allowed", toTag,
                  [&profile](SipMessage& response) { AddList(response, HeaderType::Allow, profile.methods); });
}

UasCheckResult CheckRequestUriScheme(const SipMessage& request, const ProfileSettings& profile,
                                     std::string_view toTag) {
    const Uri* uri = request.RequestUri();
    if (uri != nullptr && profile.IsSchemeSupported(uri->Scheme())) {
        return Proceed();
    }
    return Answer(UasCheck::RequestUriScheme, request, 416, "Unsupported URI Scheme", toTag);
}

UasCheckResult CheckRequire(const SipMessage& request, const ProfileSettings& profile, std::string_view toTag) {
    if (request.Method() == "ACK" || request.Method() == "CANCEL") {
        return Proceed();
    }
    std::vector<std::string> unsupported;
    const std::size_t count = request.Count(HeaderType::Require);
    for (std::size_t i = 0; i < count; ++i) {
        const Token* tag = request.Peek<Token>(HeaderType::Require, i);
        if (tag == nullptr) {
            // Not an option tag at all: nothing an Unsupported header could name, so the request is
            // malformed rather than asking for an extension.
            return Answer(UasCheck::Require, request, 400, "Malformed Require", toTag);
        }
        if (!tag->Value().empty() && !profile.IsOptionTagSupported(tag->Value())) {
            unsupported.push_back(tag->Value());
        }
    }
    if (unsupported.empty()) {
        return Proceed();
    }
    return Answer(UasCheck::Require, request, 420, "Bad Extension", toTag, [&unsupported](SipMessage& response) {
        AddList(response, HeaderType::Unsupported, unsupported);
    });
}

UasCheckResult CheckBody(const SipMessage& request, const ProfileSettings& profile, std::string_view toTag) {
    if (request.Body().empty()) {
        return Proceed();
    }
    bool readable = EncodingsReadable(request);
    if (readable) {
        const Mime* type = request.Has(HeaderType::ContentType) ? request.Peek<Mime>(HeaderType::ContentType) : nullptr;
        readable = type != nullptr && profile.IsMimeTypeSupported(request.Method(), *type);
    }
    if (readable || IsBodyOptional(request)) {
        return Proceed();
    }
    const std::vector<Mime> accepted = profile.MimeTypesFor(request.Method());
    return Answer(UasCheck::Body, request, 415, "Unsupported Media Type", toTag, [&accepted](SipMessage& response) {
        AddAccept(response, accepted);
        response.Add(HeaderType::AcceptEncoding, kIdentity);
    });
}

UasCheckResult AnswerOptions(const SipMessage& request, const ProfileSettings& profile, std::string_view toTag) {
    if (request.Method() != "OPTIONS") {
        return Proceed();
    }
    return Answer(UasCheck::Options, request, 200, "OK", toTag, [&profile](SipMessage& response) {
        AddList(response, HeaderType::Allow, profile.methods);
        AddAccept(response, profile.MimeTypesFor("INVITE"));
        response.Add(HeaderType::AcceptEncoding, kIdentity);
        const std::vector<std::string> tags = profile.AdvertisedOptionTags();
        AddList(response, HeaderType::Supported, tags);
    });
}

UasCheckResult ScreenRequestOutsideDialog(const SipMessage& request, const ProfileSettings& profile,
                                          MergedRequests& merged, MergedRequests::TimePoint now,
                                          std::string_view toTag) {
    try {
        return ScreenImpl(request, profile, merged, now, toTag);
    } catch (const std::exception& error) {
        // Only a failed allocation gets here; answering nothing is safer than answering wrongly.
        ZEL_LOG(Err, "dialog layer: screening a request failed: {}", error.what());
        UasCheckResult result;
        result.drop = true;
        return result;
    }
}

} // namespace zel::sip::stack
