#include "stack/base/ParseError.h"

namespace zel::sip::stack {
namespace {

std::string Format(std::string_view what, const ParseFailure& failure) {
    std::string text(what);
    text.append(" parse error: ").append(failure.reason);
    text.append(" (at offset ").append(std::to_string(failure.position)).append(")");
    return text;
}

} // namespace

std::string ParseStatus::Describe() const {
    if (!failed_) {
        return "ok";
    }
    std::string text(failure_.reason);
    text.append(" (at offset ").append(std::to_string(failure_.position)).append(")");
    return text;
}

ParseError::ParseError(std::string_view what, const ParseFailure& failure)
    : std::runtime_error(Format(what, failure)), failure_(failure) {}

void ThrowIfFailed(const ParseStatus& status, std::string_view what) {
    if (!status) {
        throw ParseError(what, status.Failure());
    }
}

} // namespace zel::sip::stack
