#include "stack/body/Body.h"

namespace zel::sip::stack {

namespace {

void AppendHeader(std::string& out, std::string_view name, std::string_view value) {
    out.append(name).append(": ");
    for (char c : value) {
        out.push_back(c == '\r' || c == '\n' ? ' ' : c);
    }
    out.append("\r\n");
}

} // namespace

const MimeHeaders& Body::NoHeaders() noexcept {
    static const MimeHeaders none;
    return none;
}

std::string Body::EncodeAsPart() const {
    const MimeHeaders& headers = Headers();
    std::string out;
    AppendHeader(out, "Content-Type", contentType_.Encode());
    if (headers.disposition) {
        AppendHeader(out, "Content-Disposition", *headers.disposition);
    }
    if (headers.transferEncoding) {
        AppendHeader(out, "Content-Transfer-Encoding", *headers.transferEncoding);
    }
    if (!headers.languages.empty()) {
        std::string joined;
        for (const auto& l : headers.languages) {
            if (!joined.empty()) {
                joined.append(", ");
            }
            joined.append(l);
        }
        AppendHeader(out, "Content-Language", joined);
    }
    if (headers.id) {
        AppendHeader(out, "Content-ID", *headers.id);
    }
    if (headers.description) {
        AppendHeader(out, "Content-Description", *headers.description);
    }
    for (const auto& [name, value] : headers.others) {
        AppendHeader(out, name, value);
    }
    out.append("\r\n");
    out.append(Encode());
    return out;
}

} // namespace zel::sip::stack
