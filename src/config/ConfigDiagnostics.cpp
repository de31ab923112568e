#include "config/ConfigDiagnostics.h"

#include "config/RapidJson.h"

namespace zel::sip {

std::string_view ToString(ConfigValueKind kind) {
    switch (kind) {
    case ConfigValueKind::String:
        return "a string";
    case ConfigValueKind::Boolean:
        return "a boolean";
    case ConfigValueKind::Unsigned:
        return "an unsigned number (0 to 4294967295, without fraction or exponent)";
    case ConfigValueKind::Array:
        return "an array";
    case ConfigValueKind::Object:
        return "an object";
    }
    return "a value";
}

std::string QuoteConfigText(std::string_view text) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    return {buffer.GetString(), buffer.GetSize()};
}

namespace {

std::string WithPath(std::string_view path, std::string_view text) {
    std::string line{path.empty() ? std::string_view{"(document)"} : path};
    line += ": ";
    line += text;
    return line;
}

} // namespace

void ConfigDiagnosticLog::OnInvalidDocument(std::string_view reason) {
    std::string text{reason};
    text += "; every setting keeps its default";
    entries_.push_back({ConfigDiagnosticKind::InvalidDocument, {}, WithPath({}, text)});
}

void ConfigDiagnosticLog::OnUnknownKey(std::string_view path) {
    entries_.push_back({ConfigDiagnosticKind::UnknownKey, std::string{path}, WithPath(path, "unknown key, ignored")});
}

void ConfigDiagnosticLog::OnDuplicateKey(std::string_view path) {
    entries_.push_back({ConfigDiagnosticKind::DuplicateKey, std::string{path},
                        WithPath(path, "given more than once; the first one counts, this one is ignored")});
}

void ConfigDiagnosticLog::OnWrongKind(std::string_view path, ConfigValueKind expected, std::string_view found) {
    std::string text{"expected "};
    text += ToString(expected);
    text += ", found ";
    text += found;
    text += expected == ConfigValueKind::Object ? "; ignored, all its keys keep their defaults"
                                                : "; ignored, the default is kept";
    entries_.push_back({ConfigDiagnosticKind::WrongKind, std::string{path}, WithPath(path, text)});
}

void ConfigDiagnosticLog::OnRejectedValue(std::string_view path, std::string_view reason) {
    std::string text{reason};
    text += "; ignored, the default is kept";
    entries_.push_back({ConfigDiagnosticKind::RejectedValue, std::string{path}, WithPath(path, text)});
}

void ConfigDiagnosticLog::OnRejectedEntry(std::string_view arrayPath, std::size_t index, std::string_view reason) {
    std::string path{arrayPath};
    path += '[';
    path += std::to_string(index);
    path += ']';
    std::string text{"entry skipped: "};
    text += reason;
    auto line = WithPath(path, text);
    entries_.push_back({ConfigDiagnosticKind::RejectedEntry, std::move(path), std::move(line)});
}

void ConfigDiagnosticLog::OnUnknownEnumerationText(std::string_view path, std::string_view text) {
    auto message = QuoteConfigText(text) + " names no value; the setting is None";
    entries_.push_back({ConfigDiagnosticKind::UnknownEnumerationText, std::string{path}, WithPath(path, message)});
}

void ConfigDiagnosticLog::OnNarrowed(std::string_view path, std::uint32_t given, std::uint16_t kept) {
    auto message = std::to_string(given) + " is above 65535; its low 16 bits are used (" + std::to_string(kept) + ")";
    entries_.push_back({ConfigDiagnosticKind::Narrowed, std::string{path}, WithPath(path, message)});
}

} // namespace zel::sip
