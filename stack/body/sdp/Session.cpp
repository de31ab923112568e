#include "stack/body/sdp/Session.h"

namespace zel::sip::stack::sdp {

namespace {

void AppendLine(std::string& out, char type, std::string_view value) {
    out.append(1, type).append(1, '=').append(value).append("\r\n");
}

} // namespace

// RFC 8866 section 5: v o s i u e p c b (t r)* z k a, then each media description.
std::string Session::Encode() const {
    std::string out;
    out.reserve(256 + media_.size() * 256);
    AppendLine(out, 'v', std::to_string(version_));
    AppendLine(out, 'o', origin_.Encode());
    AppendLine(out, 's', name_.empty() ? std::string_view(" ") : std::string_view(name_));
    if (!information_.empty()) {
        AppendLine(out, 'i', information_);
    }
    if (!uri_.empty()) {
        AppendLine(out, 'u', uri_);
    }
    for (const auto& e : emails_) {
        AppendLine(out, 'e', e);
    }
    for (const auto& p : phones_) {
        AppendLine(out, 'p', p);
    }
    if (connection_) {
        AppendLine(out, 'c', connection_->Encode());
    }
    for (const auto& b : bandwidths_) {
        AppendLine(out, 'b', b.Encode());
    }
    if (times_.empty()) {
        AppendLine(out, 't', "0 0");
    }
    for (const auto& t : times_) {
        AppendLine(out, 't', std::to_string(t.start) + ' ' + std::to_string(t.stop));
        for (const auto& r : t.repeats) {
            AppendLine(out, 'r', r);
        }
    }
    if (!zones_.empty()) {
        AppendLine(out, 'z', zones_);
    }
    if (!key_.empty()) {
        AppendLine(out, 'k', key_);
    }
    for (const auto& a : attributes_.All()) {
        AppendLine(out, 'a', a.Encode());
    }
    for (const auto& m : media_) {
        m.Encode(out);
    }
    return out;
}

} // namespace zel::sip::stack::sdp
