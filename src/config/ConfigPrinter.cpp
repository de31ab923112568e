#include "config/ConfigPrinter.h"

#include "config/RapidJson.h"

#include <string_view>

namespace zel::sip {
namespace {

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

std::string_view ToText(UseSRTP value) {
    switch (value) {
    case UseSRTP::None:
        return "None";
    case UseSRTP::BestEffort:
        return "BestEffort";
    case UseSRTP::Mandatory:
        return "Mandatory";
    case UseSRTP::Fallback:
        return "Fallback";
    case UseSRTP::MultipleMediaDescriptor:
        return "MultipleMediaDescriptor";
    }
    return "None";
}

std::string_view ToText(RTCPMultiplexingPolicy value) {
    switch (value) {
    case RTCPMultiplexingPolicy::None:
        return "None";
    case RTCPMultiplexingPolicy::Supported:
        return "Supported";
    case RTCPMultiplexingPolicy::Required:
        return "Required";
    }
    return "None";
}

std::string_view ToText(TLSClientVerificationMode value) {
    switch (value) {
    case TLSClientVerificationMode::None:
        return "None";
    case TLSClientVerificationMode::Optional:
        return "Optional";
    case TLSClientVerificationMode::Mandatory:
        return "Mandatory";
    }
    return "None";
}

void Text(Writer& writer, std::string_view text) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void Member(Writer& writer, std::string_view key, std::string_view text) {
    Text(writer, key);
    Text(writer, text);
}

void Member(Writer& writer, std::string_view key, bool value) {
    Text(writer, key);
    writer.Bool(value);
}

void Member(Writer& writer, std::string_view key, std::uint64_t value) {
    Text(writer, key);
    writer.Uint64(value);
}

template <typename Strings>
void StringArray(Writer& writer, std::string_view key, const Strings& strings) {
    Text(writer, key);
    writer.StartArray();
    for (const auto& text : strings) {
        Text(writer, text);
    }
    writer.EndArray();
}

void WriteTLS(Writer& writer, const struct Config::TLS& tls) {
    Text(writer, "TLS");
    writer.StartObject();
    StringArray(writer, "Ciphers", tls.Ciphers);
    Member(writer, "DHParametersPath", tls.DHParametersPath);
    Member(writer, "CADirectoryPath", tls.CADirectoryPath);
    Member(writer, "CertificatePath", tls.CertificatePath);
    Member(writer, "PrivateKeyPath", tls.PrivateKeyPath);
    Member(writer, "ClientVerificationMode", ToText(tls.ClientVerificationMode));
    Member(writer, "AllowWildcardCertificates", tls.AllowWildcardCertificates);
    writer.EndObject();
}

// One entry per method; the multimap keeps the pairs of one method together and in reading order,
// so reading the entries back rebuilds the same multimap.
void WriteContentTypes(Writer& writer, const std::multimap<std::string, std::string>& contentTypes) {
    Text(writer, "SupportedContentTypes");
    writer.StartArray();
    for (auto it = contentTypes.begin(); it != contentTypes.end();) {
        const auto end = contentTypes.upper_bound(it->first);
        writer.StartObject();
        Member(writer, "Method", it->first);
        Text(writer, "ContentTypes");
        writer.StartArray();
        for (; it != end; ++it) {
            Text(writer, it->second);
        }
        writer.EndArray();
        writer.EndObject();
    }
    writer.EndArray();
}

void WriteCodecs(Writer& writer, const std::vector<Codec>& codecs) {
    Text(writer, "Codecs");
    writer.StartArray();
    for (const auto& codec : codecs) {
        writer.StartObject();
        Member(writer, "Encoding", codec.Encoding);
        Member(writer, "Type", codec.Type);
        Member(writer, "ClockRate", std::uint64_t{codec.ClockRate});
        Member(writer, "Channels", std::uint64_t{codec.Channels});
        StringArray(writer, "Parameters", codec.Parameters);
        writer.EndObject();
    }
    writer.EndArray();
}

void WriteCryptos(Writer& writer, const std::vector<Crypto>& cryptos) {
    Text(writer, "Cryptos");
    writer.StartArray();
    for (const auto& crypto : cryptos) {
        writer.StartObject();
        Member(writer, "CryptoSuite", crypto.CryptoSuite);
        Member(writer, "MasterKeyLength", crypto.MasterKeyLength);
        Member(writer, "UseMKI", crypto.UseMKI);
        Member(writer, "NumberOfMasterKeys", crypto.NumberOfMasterKeys);
        writer.EndObject();
    }
    writer.EndArray();
}

} // namespace

std::string PrintConfig(const Config& config) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.SetIndent(' ', 2);
    writer.StartObject();
    Member(writer, "UserAgent", config.UserAgent);
    Member(writer, "MessageLogPath", config.MessageLogPath);
    Member(writer, "Address", config.Address);
    Member(writer, "UDPAllowed", config.UDPAllowed);
    Member(writer, "UDPPort", std::uint64_t{config.UDPPort});
    Member(writer, "TCPAllowed", config.TCPAllowed);
    Member(writer, "TCPPort", std::uint64_t{config.TCPPort});
    Member(writer, "TLSAllowed", config.TLSAllowed);
    Member(writer, "TLSPort", std::uint64_t{config.TLSPort});
    Member(writer, "DTLSAllowed", config.DTLSAllowed);
    Member(writer, "DTLSPort", std::uint64_t{config.DTLSPort});
    Member(writer, "WSAllowed", config.WSAllowed);
    Member(writer, "WSPort", std::uint64_t{config.WSPort});
    Member(writer, "WSSAllowed", config.WSSAllowed);
    Member(writer, "WSSPort", std::uint64_t{config.WSSPort});
    WriteTLS(writer, config.TLS);
    StringArray(writer, "SupportedMethods", config.SupportedMethods);
    StringArray(writer, "Capabilities", config.Capabilities);
    StringArray(writer, "SupportedOptions", config.SupportedOptions);
    WriteContentTypes(writer, config.SupportedContentTypes);
    Member(writer, "SupportSessionTimers", config.SupportSessionTimers);
    Member(writer, "DefaultMediaMode", config.DefaultMediaMode);
    WriteCodecs(writer, config.Codecs);
    Member(writer, "UseSRTP", ToText(config.UseSRTP));
    WriteCryptos(writer, config.Cryptos);
    Member(writer, "ExternalContactUri", config.ExternalContactUri);
    Text(writer, "SDP");
    writer.StartObject();
    Member(writer, "SpecifySessionInformation", config.SpecifySessionInformation);
    Member(writer, "SpecifyRTCPAttribute", config.SpecifyRTCPAttribute);
    writer.EndObject();
    Member(writer, "RTCPMultiplexing", ToText(config.RTCPMultiplexing));
    Text(writer, "Logging");
    writer.StartObject();
    Member(writer, "StackLogLevel", config.Logging.StackLogLevel);
    Member(writer, "StackLogPath", config.Logging.StackLogPath);
    Member(writer, "StackLogType", config.Logging.StackLogType);
    writer.EndObject();
    writer.EndObject();
    return {buffer.GetString(), buffer.GetSize()};
}

} // namespace zel::sip
