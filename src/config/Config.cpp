#include "config/Config.h"

#include "config/ConfigDiagnostics.h"

#include "config/RapidJson.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

// Reading of the configuration document. Every key is looked up by its exact name (the first member
// of that name counts), checked for its JSON kind and then copied; nothing found in the document can
// make the reading fail, it can only leave defaults in place. What was ignored is told to an optional
// observer, which the library's own reading (Deserialise) does not pass.

namespace zel::sip {
namespace {

using rapidjson::SizeType;
using rapidjson::Value;

constexpr std::uint32_t Max16 = 0xFFFF;

std::string_view NameOf(const Value& name) {
    return {name.GetString(), name.GetStringLength()};
}

/// The whole text of a string value, or nothing when it holds a NUL character (`\u0000`): the
/// texts become paths, names and header values, where a NUL would cut them short.
std::optional<std::string_view> TextOf(const Value& value) {
    const std::string_view text{value.GetString(), value.GetStringLength()};
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return text;
}

constexpr std::string_view ContainsNul = "contains a NUL character (\\u0000)";

/// Why an entry is skipped when its string member `name` holds a NUL character.
std::string NulIn(std::string_view name) {
    std::string reason{"\""};
    reason += name;
    reason += "\" ";
    reason += ContainsNul;
    return reason;
}

bool IsPlainWord(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

std::string ChildPath(std::string_view parent, std::string_view name) {
    std::string path{parent};
    if (!path.empty()) {
        path += '.';
    }
    path += IsPlainWord(name) ? std::string{name} : QuoteConfigText(name);
    return path;
}

std::string ElementPath(std::string_view array, std::size_t index) {
    std::string path{array};
    path += '[';
    path += std::to_string(index);
    path += ']';
    return path;
}

/// Names the kind of a value for messages, telling apart the numbers that are not "unsigned".
std::string_view Describe(const Value& value) {
    switch (value.GetType()) {
    case rapidjson::kNullType:
        return "null";
    case rapidjson::kFalseType:
    case rapidjson::kTrueType:
        return "a boolean";
    case rapidjson::kObjectType:
        return "an object";
    case rapidjson::kArrayType:
        return "an array";
    case rapidjson::kStringType:
        return "a string";
    case rapidjson::kNumberType:
        if (value.IsUint()) {
            return "an unsigned number";
        }
        if (value.IsInt64() && value.GetInt64() < 0) {
            return "a negative number";
        }
        if (value.IsUint64()) {
            return "a number above 4294967295";
        }
        return "a number with a fraction or exponent, or out of range";
    }
    return "a value";
}

/// Case-insensitive comparison of ASCII letters only; other bytes must be equal.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
               return lower(x) == lower(y);
           });
}

template <typename Enum>
struct EnumerationText {
    std::string_view Text;
    Enum Value;
};

// "None" is listed so that the observer hears nothing about it: any text outside a list gives None
// anyway, so listing it changes no result.
constexpr std::array<EnumerationText<UseSRTP>, 5> UseSRTPTexts{{
    {"Fallback", UseSRTP::Fallback},
    {"Mandatory", UseSRTP::Mandatory},
    {"BestEffort", UseSRTP::BestEffort},
    {"MultipleMediaDescriptor", UseSRTP::MultipleMediaDescriptor},
    {"None", UseSRTP::None},
}};

constexpr std::array<EnumerationText<RTCPMultiplexingPolicy>, 3> RTCPMultiplexingTexts{{
    {"Supported", RTCPMultiplexingPolicy::Supported},
    {"Required", RTCPMultiplexingPolicy::Required},
    {"None", RTCPMultiplexingPolicy::None},
}};

constexpr std::array<EnumerationText<TLSClientVerificationMode>, 3> ClientVerificationTexts{{
    {"Optional", TLSClientVerificationMode::Optional},
    {"Mandatory", TLSClientVerificationMode::Mandatory},
    {"None", TLSClientVerificationMode::None},
}};

/// Passes the parser's events on to the document being built, and ends the parse with an error
/// before it opens a level deeper than MaxConfigNestingDepth. RapidJSON's reader recurses once per
/// level, so stopping it at StartObject/StartArray bounds its stack use.
class DepthLimitedHandler {
public:
    explicit DepthLimitedHandler(rapidjson::Document& document) : document_(document) {}

    bool Null() { return document_.Null(); }
    bool Bool(bool b) { return document_.Bool(b); }
    bool Int(int i) { return document_.Int(i); }
    bool Uint(unsigned u) { return document_.Uint(u); }
    bool Int64(std::int64_t i) { return document_.Int64(i); }
    bool Uint64(std::uint64_t u) { return document_.Uint64(u); }
    bool Double(double d) { return document_.Double(d); }
    bool RawNumber(const char* text, SizeType length, bool copy) { return document_.RawNumber(text, length, copy); }
    bool String(const char* text, SizeType length, bool copy) { return document_.String(text, length, copy); }
    bool Key(const char* text, SizeType length, bool copy) { return document_.Key(text, length, copy); }
    bool StartObject() { return Enter() && document_.StartObject(); }
    bool EndObject(SizeType members) {
        --depth_;
        return document_.EndObject(members);
    }
    bool StartArray() { return Enter() && document_.StartArray(); }
    bool EndArray(SizeType elements) {
        --depth_;
        return document_.EndArray(elements);
    }

    bool TooDeep() const { return tooDeep_; }

private:
    bool Enter() {
        if (depth_ == MaxConfigNestingDepth) {
            tooDeep_ = true;
            return false;
        }
        ++depth_;
        return true;
    }

    rapidjson::Document& document_;
    unsigned depth_ = 0;
    bool tooDeep_ = false;
};

/// Parses the text with RapidJSON's default (strict) settings into the document. Returns false,
/// having told the observer why, unless the text is one JSON object within the bounds.
bool ParseDocument(const char* json, rapidjson::Document& document, IConfigDiagnostics* diagnostics) {
    const auto invalid = [diagnostics](const std::string& reason) {
        if (diagnostics != nullptr) {
            diagnostics->OnInvalidDocument(reason);
        }
        return false;
    };
    if (json == nullptr) {
        return invalid("no text given");
    }
    if (::strnlen(json, MaxConfigTextSize + 1) > MaxConfigTextSize) {
        return invalid("the text is longer than " + std::to_string(MaxConfigTextSize) + " bytes");
    }

    rapidjson::Reader reader;
    rapidjson::StringStream stream(json);
    rapidjson::ParseResult result;
    bool tooDeep = false;
    auto generate = [&](rapidjson::Document& target) {
        DepthLimitedHandler handler(target);
        result = reader.Parse(stream, handler);
        tooDeep = handler.TooDeep();
        return !result.IsError();
    };
    document.Populate(generate);

    const auto at = [&result] { return " (at byte " + std::to_string(result.Offset()) + ")"; };
    if (tooDeep) {
        return invalid("arrays and objects nested deeper than " + std::to_string(MaxConfigNestingDepth) + " levels" +
                       at());
    }
    if (result.IsError()) {
        return invalid(std::string{"not valid JSON: "} + rapidjson::GetParseError_En(result.Code()) + at());
    }
    if (!document.IsObject()) {
        return invalid("the root is " + std::string{Describe(document)} + ", not an object");
    }
    return true;
}

/// Reads the keys of one parsed document into a record, reporting to the observer (when there is
/// one) what it ignores.
class DocumentReader {
public:
    explicit DocumentReader(IConfigDiagnostics* diagnostics) : diagnostics_(diagnostics) {}

    void ReadRoot(const Value& root, Config& config) {
        ReportMembers(root, {},
                      {"UserAgent", "MessageLogPath", "Address", "UDPAllowed", "UDPPort", "TCPAllowed", "TCPPort",
                       "TLSAllowed", "TLSPort", "DTLSAllowed", "DTLSPort", "WSAllowed", "WSPort", "WSSAllowed",
                       "WSSPort", "TLS", "SupportedMethods", "Capabilities", "SupportedOptions",
                       "SupportedContentTypes", "SupportSessionTimers", "DefaultMediaMode", "Codecs", "UseSRTP",
                       "Cryptos", "ExternalContactUri", "SDP", "RTCPMultiplexing", "Logging"});

        ReadString(root, {}, "UserAgent", config.UserAgent);
        ReadString(root, {}, "MessageLogPath", config.MessageLogPath);
        ReadString(root, {}, "Address", config.Address);
        ReadBool(root, {}, "UDPAllowed", config.UDPAllowed);
        ReadBool(root, {}, "TCPAllowed", config.TCPAllowed);
        ReadBool(root, {}, "TLSAllowed", config.TLSAllowed);
        ReadBool(root, {}, "DTLSAllowed", config.DTLSAllowed);
        ReadBool(root, {}, "WSAllowed", config.WSAllowed);
        ReadBool(root, {}, "WSSAllowed", config.WSSAllowed);
        ReadPort(root, "UDPPort", config.UDPPort);
        ReadPort(root, "TCPPort", config.TCPPort);
        ReadPort(root, "TLSPort", config.TLSPort);
        ReadPort(root, "DTLSPort", config.DTLSPort);
        ReadPort(root, "WSPort", config.WSPort);
        ReadPort(root, "WSSPort", config.WSSPort);
        if (const Value* tls = FindObject(root, "TLS")) {
            ReadTLS(*tls, config.TLS);
        }
        const auto insertInto = [](std::set<std::string>& set) {
            return [&set](std::string text) { set.insert(std::move(text)); };
        };
        ReadStrings(root, {}, "SupportedMethods", insertInto(config.SupportedMethods));
        ReadStrings(root, {}, "Capabilities", insertInto(config.Capabilities));
        ReadStrings(root, {}, "SupportedOptions", insertInto(config.SupportedOptions));
        ReadEntries(root, "SupportedContentTypes", [&](const Value& entry, std::size_t index) {
            ReadContentTypes(entry, index, config.SupportedContentTypes);
        });
        ReadBool(root, {}, "SupportSessionTimers", config.SupportSessionTimers);
        ReadString(root, {}, "DefaultMediaMode", config.DefaultMediaMode);
        ReadEntries(root, "Codecs", [&](const Value& entry, std::size_t index) {
            ReadCodec(entry, index, config.Codecs);
        });
        ReadEnumeration(root, {}, "UseSRTP", config.UseSRTP, UseSRTPTexts, true);
        ReadEntries(root, "Cryptos", [&](const Value& entry, std::size_t index) {
            ReadCrypto(entry, index, config.Cryptos);
        });
        ReadString(root, {}, "ExternalContactUri", config.ExternalContactUri);
        if (const Value* sdp = FindObject(root, "SDP")) {
            ReportMembers(*sdp, "SDP", {"SpecifySessionInformation", "SpecifyRTCPAttribute"});
            ReadBool(*sdp, "SDP", "SpecifySessionInformation", config.SpecifySessionInformation);
            ReadBool(*sdp, "SDP", "SpecifyRTCPAttribute", config.SpecifyRTCPAttribute);
        }
        ReadEnumeration(root, {}, "RTCPMultiplexing", config.RTCPMultiplexing, RTCPMultiplexingTexts, false);
        if (const Value* logging = FindObject(root, "Logging")) {
            ReportMembers(*logging, "Logging", {"StackLogLevel", "StackLogPath", "StackLogType"});
            ReadString(*logging, "Logging", "StackLogLevel", config.Logging.StackLogLevel);
            ReadString(*logging, "Logging", "StackLogPath", config.Logging.StackLogPath);
            ReadString(*logging, "Logging", "StackLogType", config.Logging.StackLogType);
        }
    }

private:
    void ReadTLS(const Value& tls, struct Config::TLS& settings) {
        ReportMembers(tls, "TLS",
                      {"Ciphers", "DHParametersPath", "CADirectoryPath", "CertificatePath", "PrivateKeyPath",
                       "ClientVerificationMode", "AllowWildcardCertificates"});
        ReadStrings(tls, "TLS", "Ciphers", [&](std::string text) { settings.Ciphers.push_back(std::move(text)); });
        ReadString(tls, "TLS", "DHParametersPath", settings.DHParametersPath);
        ReadString(tls, "TLS", "CADirectoryPath", settings.CADirectoryPath);
        ReadString(tls, "TLS", "CertificatePath", settings.CertificatePath);
        ReadString(tls, "TLS", "PrivateKeyPath", settings.PrivateKeyPath);
        ReadEnumeration(tls, "TLS", "ClientVerificationMode", settings.ClientVerificationMode, ClientVerificationTexts,
                        false);
        ReadBool(tls, "TLS", "AllowWildcardCertificates", settings.AllowWildcardCertificates);
    }

    void ReadContentTypes(const Value& entry, std::size_t index,
                          std::multimap<std::string, std::string>& contentTypes) {
        static constexpr std::string_view Array = "SupportedContentTypes";
        if (!entry.IsObject()) {
            return Reject(Array, index, NotAnObject(entry));
        }
        const Value* method = Find(entry, "Method");
        if (method == nullptr || !method->IsString()) {
            return Reject(Array, index, Requirement("Method", ConfigValueKind::String, method));
        }
        const Value* types = Find(entry, "ContentTypes");
        if (types == nullptr || !types->IsArray()) {
            return Reject(Array, index, Requirement("ContentTypes", ConfigValueKind::Array, types));
        }
        const auto methodName = TextOf(*method);
        if (!methodName) {
            return Reject(Array, index, NulIn("Method"));
        }
        const auto path = ElementPath(Array, index);
        ReportMembers(entry, path, {"Method", "ContentTypes"});
        ReadStringElements(*types, ChildPath(path, "ContentTypes"),
                           [&](std::string type) { contentTypes.emplace(std::string{*methodName}, std::move(type)); });
    }

    void ReadCodec(const Value& entry, std::size_t index, std::vector<Codec>& codecs) {
        static constexpr std::string_view Array = "Codecs";
        if (!entry.IsObject()) {
            return Reject(Array, index, NotAnObject(entry));
        }
        const Value* encoding = Find(entry, "Encoding");
        if (encoding == nullptr || !encoding->IsString()) {
            return Reject(Array, index, Requirement("Encoding", ConfigValueKind::String, encoding));
        }
        const Value* type = Find(entry, "Type");
        if (type == nullptr || !type->IsString()) {
            return Reject(Array, index, Requirement("Type", ConfigValueKind::String, type));
        }
        const Value* clockRate = Find(entry, "ClockRate");
        if (clockRate == nullptr || !clockRate->IsUint()) {
            return Reject(Array, index, Requirement("ClockRate", ConfigValueKind::Unsigned, clockRate));
        }
        const Value* channels = Find(entry, "Channels");
        if (channels != nullptr && !channels->IsUint()) {
            return Reject(Array, index, Requirement("Channels", ConfigValueKind::Unsigned, channels));
        }
        const Value* parameters = Find(entry, "Parameters");
        if (parameters != nullptr && !parameters->IsArray()) {
            return Reject(Array, index, Requirement("Parameters", ConfigValueKind::Array, parameters));
        }

        const auto encodingText = TextOf(*encoding);
        if (!encodingText) {
            return Reject(Array, index, NulIn("Encoding"));
        }
        const auto typeText = TextOf(*type);
        if (!typeText) {
            return Reject(Array, index, NulIn("Type"));
        }

        const auto path = ElementPath(Array, index);
        ReportMembers(entry, path, {"Encoding", "Type", "ClockRate", "Channels", "Parameters"});
        Codec codec;
        codec.Encoding = *encodingText;
        codec.Type = *typeText;
        codec.ClockRate = clockRate->GetUint();
        if (channels != nullptr) {
            codec.Channels = Narrow(channels->GetUint(), path, "Channels");
        }
        if (parameters != nullptr) {
            ReadStringElements(*parameters, ChildPath(path, "Parameters"),
                               [&](std::string parameter) { codec.Parameters.push_back(std::move(parameter)); });
        }
        codecs.push_back(std::move(codec));
    }

    void ReadCrypto(const Value& entry, std::size_t index, std::vector<Crypto>& cryptos) {
        static constexpr std::string_view Array = "Cryptos";
        if (!entry.IsObject()) {
            return Reject(Array, index, NotAnObject(entry));
        }
        const Value* suite = Find(entry, "CryptoSuite");
        if (suite == nullptr || !suite->IsString()) {
            return Reject(Array, index, Requirement("CryptoSuite", ConfigValueKind::String, suite));
        }
        const Value* keyLength = Find(entry, "MasterKeyLength");
        if (keyLength == nullptr || !keyLength->IsUint()) {
            return Reject(Array, index, Requirement("MasterKeyLength", ConfigValueKind::Unsigned, keyLength));
        }
        const Value* useMKI = Find(entry, "UseMKI");
        if (useMKI == nullptr || !useMKI->IsBool()) {
            return Reject(Array, index, Requirement("UseMKI", ConfigValueKind::Boolean, useMKI));
        }
        const Value* keyCount = Find(entry, "NumberOfMasterKeys");
        if (keyCount == nullptr || !keyCount->IsUint()) {
            return Reject(Array, index, Requirement("NumberOfMasterKeys", ConfigValueKind::Unsigned, keyCount));
        }

        const auto suiteText = TextOf(*suite);
        if (!suiteText) {
            return Reject(Array, index, NulIn("CryptoSuite"));
        }

        ReportMembers(entry, ElementPath(Array, index),
                      {"CryptoSuite", "MasterKeyLength", "UseMKI", "NumberOfMasterKeys"});
        Crypto crypto;
        crypto.CryptoSuite = *suiteText;
        crypto.MasterKeyLength = keyLength->GetUint();
        crypto.UseMKI = useMKI->GetBool();
        crypto.NumberOfMasterKeys = keyCount->GetUint();
        cryptos.push_back(std::move(crypto));
    }

    /// The value of the first member with exactly this name, or null.
    static const Value* Find(const Value& object, const char* key) {
        const auto member = object.FindMember(key);
        return member == object.MemberEnd() ? nullptr : &member->value;
    }

    /// The value of a top-level key when it is an object; reports another kind.
    const Value* FindObject(const Value& root, const char* key) {
        const Value* value = Find(root, key);
        if (value != nullptr && !value->IsObject()) {
            WrongKind({}, key, ConfigValueKind::Object, *value);
            return nullptr;
        }
        return value;
    }

    void ReadString(const Value& object, std::string_view parent, const char* key, std::string& field) {
        const Value* value = Find(object, key);
        if (value == nullptr) {
            return;
        }
        if (!value->IsString()) {
            return WrongKind(parent, key, ConfigValueKind::String, *value);
        }
        const auto text = TextOf(*value);
        if (!text) {
            return RejectedValue(parent, key, ContainsNul);
        }
        field = *text;
    }

    void ReadBool(const Value& object, std::string_view parent, const char* key, bool& field) {
        const Value* value = Find(object, key);
        if (value == nullptr) {
            return;
        }
        if (!value->IsBool()) {
            return WrongKind(parent, key, ConfigValueKind::Boolean, *value);
        }
        field = value->GetBool();
    }

    // RapidJSON sets its "Uint" flag only for a number written without fraction or exponent that
    // fits 32 bits: 5060.0 and 5e3 are doubles, -1 is signed, 4294967296 is 64-bit.
    void ReadPort(const Value& root, const char* key, std::uint16_t& field) {
        const Value* value = Find(root, key);
        if (value == nullptr) {
            return;
        }
        if (!value->IsUint()) {
            return WrongKind({}, key, ConfigValueKind::Unsigned, *value);
        }
        field = Narrow(value->GetUint(), {}, key);
    }

    template <typename Enum, std::size_t N>
    void ReadEnumeration(const Value& object, std::string_view parent, const char* key, Enum& field,
                         const std::array<EnumerationText<Enum>, N>& texts, bool ignoreCase) {
        const Value* value = Find(object, key);
        if (value == nullptr) {
            return;
        }
        if (!value->IsString()) {
            return WrongKind(parent, key, ConfigValueKind::String, *value);
        }
        const auto text = TextOf(*value);
        if (!text) {
            return RejectedValue(parent, key, ContainsNul);
        }
        for (const auto& candidate : texts) {
            if (ignoreCase ? EqualsIgnoringAsciiCase(*text, candidate.Text) : *text == candidate.Text) {
                field = candidate.Value;
                return;
            }
        }
        field = Enum::None;
        if (diagnostics_ != nullptr) {
            diagnostics_->OnUnknownEnumerationText(ChildPath(parent, key), *text);
        }
    }

    template <typename Add>
    void ReadStrings(const Value& object, std::string_view parent, const char* key, Add add) {
        const Value* value = Find(object, key);
        if (value == nullptr) {
            return;
        }
        if (!value->IsArray()) {
            return WrongKind(parent, key, ConfigValueKind::Array, *value);
        }
        ReadStringElements(*value, ChildPath(parent, key), add);
    }

    template <typename Add>
    void ReadStringElements(const Value& array, std::string_view path, Add add) {
        std::size_t index = 0;
        for (const Value& element : array.GetArray()) {
            if (!element.IsString()) {
                Reject(path, index, "not a string (found " + std::string{Describe(element)} + ")");
            } else if (const auto text = TextOf(element)) {
                add(std::string{*text});
            } else {
                Reject(path, index, std::string{ContainsNul});
            }
            ++index;
        }
    }

    template <typename ReadEntry>
    void ReadEntries(const Value& root, const char* key, ReadEntry read) {
        const Value* value = Find(root, key);
        if (value == nullptr) {
            return;
        }
        if (!value->IsArray()) {
            return WrongKind({}, key, ConfigValueKind::Array, *value);
        }
        std::size_t index = 0;
        for (const Value& entry : value->GetArray()) {
            read(entry, index++);
        }
    }

    std::uint16_t Narrow(std::uint32_t number, std::string_view parent, std::string_view key) {
        const auto kept = static_cast<std::uint16_t>(number & Max16);
        if (number > Max16 && diagnostics_ != nullptr) {
            diagnostics_->OnNarrowed(ChildPath(parent, key), number, kept);
        }
        return kept;
    }

    /// Reports members that no key names and repeated names of known keys (the first one counts).
    void ReportMembers(const Value& object, std::string_view path, std::initializer_list<std::string_view> known) {
        if (diagnostics_ == nullptr) {
            return;
        }
        std::set<std::string_view> seen;
        for (const auto& member : object.GetObject()) {
            const auto name = NameOf(member.name);
            if (std::find(known.begin(), known.end(), name) == known.end()) {
                diagnostics_->OnUnknownKey(ChildPath(path, name));
            } else if (!seen.insert(name).second) {
                diagnostics_->OnDuplicateKey(ChildPath(path, name));
            }
        }
    }

    void WrongKind(std::string_view parent, std::string_view key, ConfigValueKind expected, const Value& found) {
        if (diagnostics_ != nullptr) {
            diagnostics_->OnWrongKind(ChildPath(parent, key), expected, Describe(found));
        }
    }

    void RejectedValue(std::string_view parent, std::string_view key, std::string_view reason) {
        if (diagnostics_ != nullptr) {
            diagnostics_->OnRejectedValue(ChildPath(parent, key), reason);
        }
    }

    void Reject(std::string_view array, std::size_t index, const std::string& reason) {
        if (diagnostics_ != nullptr) {
            diagnostics_->OnRejectedEntry(array, index, reason);
        }
    }

    static std::string NotAnObject(const Value& entry) {
        return "not an object (found " + std::string{Describe(entry)} + ")";
    }

    /// Why an entry fails the requirement that its member `name` is present and of `kind`.
    static std::string Requirement(std::string_view name, ConfigValueKind kind, const Value* found) {
        std::string reason{"\""};
        reason += name;
        reason += '"';
        if (found == nullptr) {
            return reason + " is missing";
        }
        reason += " must be ";
        reason += ToString(kind);
        reason += ", found ";
        reason += Describe(*found);
        return reason;
    }

    IConfigDiagnostics* diagnostics_;
};

} // namespace

Config ReadConfig(const char* json, IConfigDiagnostics* diagnostics) {
    Config config;
    rapidjson::Document document;
    if (ParseDocument(json, document, diagnostics)) {
        DocumentReader(diagnostics).ReadRoot(document, config);
    }
    return config;
}

Config Deserialise(const char* json) {
    return ReadConfig(json, nullptr);
}

} // namespace zel::sip
