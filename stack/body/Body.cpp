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

std::string Body::EncodeAsPart() const {
    std::string out;
    AppendHeader(out, "Content-Type", contentType_.Encode());
    if (headers_.disposition) {
        AppendHeader(out, "Content-Disposition", *headers_.disposition);
    }
    if (headers_.transferEncoding) {
        AppendHeader(out, "Content-Transfer-Encoding", *headers_.transferEncoding);
    }
    if (!headers_.languages.empty()) {
        std::string joined;
        for (const auto& l : headers_.languages) {
            if (!joined.empty()) {
                joined.append(", ");
            }
            joined.append(l);
        }
        AppendHeader(out, "Content-Language", joined);
    }
    if (headers_.id) {
        AppendHeader(out, "Content-ID", *headers_.id);
    }
    if (headers_.description) {
        AppendHeader(out, "Content-Description", *headers_.description);
    }
    for (const auto& [name, value] : headers_.others) {
        AppendHeader(out, name, value);
    }
    out.append("\r\n");
    out.append(Encode());
    return out;
}

} // namespace zel::sip::stack
