#pragma once

#include "stack/body/sdp/Attributes.h"
#include "stack/body/sdp/Bandwidth.h"
#include "stack/body/sdp/Codec.h"
#include "stack/body/sdp/Connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zel::sip::stack::sdp {

/// One media description: the m= line and the i=, c=, b=, k= and a= lines that follow it
/// (RFC 8866 section 5.14).
///
/// The format list and the attributes are the one source of truth: the codec view (Codecs,
/// AddCodec, ClearCodecs) reads and writes the m= line's formats and the a=rtpmap/a=fmtp
/// attributes, so an untouched description is written back as it was parsed. A Medium is a plain
/// value (copyable, no link to its session); the session-level connection fallback is asked of
/// the Session (Session::ConnectionsOf) or given explicitly (EffectiveConnections).
class Medium {
public:
    Medium() = default;
    /// A description with no format, as the offer/answer code builds them (RFC 3264 section 5).
    Medium(std::string mediaType, std::uint16_t port, std::uint32_t portCount, std::string protocol)
        : mediaType_(std::move(mediaType)), port_(port), portCount_(portCount), protocol_(std::move(protocol)) {}

    /// The media type ("audio", "video", "application", ...), as written.
    const std::string& MediaType() const noexcept { return mediaType_; }
    void SetMediaType(std::string type) { mediaType_ = std::move(type); }

    /// The transport port; 0 rejects or disables the stream (RFC 3264 sections 6, 8.2).
    std::uint16_t Port() const noexcept { return port_; }
    void SetPort(std::uint16_t port) noexcept { port_ = port; }

    /// The number of ports, from "<port>/<number of ports>"; 1 when not written.
    std::uint32_t PortCount() const noexcept { return portCount_; }
    void SetPortCount(std::uint32_t count) noexcept { portCount_ = count == 0 ? 1 : count; }

    /// The transport protocol ("RTP/AVP", "RTP/SAVP", "UDP/TLS/RTP/SAVPF", ...), compared and kept exactly.
    const std::string& Protocol() const noexcept { return protocol_; }
    void SetProtocol(std::string protocol) { protocol_ = std::move(protocol); }

    /// The formats of the m= line in order (RTP payload type numbers for RTP profiles).
    const std::vector<std::string>& Formats() const noexcept { return formats_; }
    std::vector<std::string>& Formats() noexcept { return formats_; }
    void AddFormat(std::string format) { formats_.push_back(std::move(format)); }

    /// The media title (i=); empty means no i= line.
    const std::string& Information() const noexcept { return information_; }
    void SetInformation(std::string text) { information_ = std::move(text); }

    /// The description's own c= lines, in order (none: the session-level line applies).
    const std::vector<Connection>& Connections() const noexcept { return connections_; }
    std::vector<Connection>& Connections() noexcept { return connections_; }
    void AddConnection(Connection c) { connections_.push_back(std::move(c)); }
    /// Replaces every c= line of the description by this one.
    void SetConnection(Connection c);

    /// The c= lines that apply to this description: its own, or else the session-level one
    /// given here (RFC 8866 section 5.7). Empty when neither exists.
    std::vector<Connection> EffectiveConnections(const std::optional<Connection>& sessionLevel) const;

    const std::vector<Bandwidth>& Bandwidths() const noexcept { return bandwidths_; }
    std::vector<Bandwidth>& Bandwidths() noexcept { return bandwidths_; }

    /// The k= line's value (obsolete, RFC 8866 section 5.12); empty means none.
    const std::string& EncryptionKey() const noexcept { return key_; }
    void SetEncryptionKey(std::string key) { key_ = std::move(key); }

    const sdp::Attributes& Attributes() const noexcept { return attributes_; }
    sdp::Attributes& Attributes() noexcept { return attributes_; }

    /// The RTP payload formats, one per numeric format of the m= line in order: from its
    /// a=rtpmap (the first one for that payload type), else from the RFC 3551 static table, with
    /// the a=fmtp parameters when there is such a line. Formats that are not payload type
    /// numbers, and dynamic ones without a usable a=rtpmap, give no codec.
    std::vector<Codec> Codecs() const;

    /// Appends a codec: its payload type to the formats (unless already listed), an a=rtpmap line
    /// and, when it has format parameters, an a=fmtp line. Existing a=rtpmap/a=fmtp lines of that
    /// payload type are replaced. The new lines follow the last a=rtpmap/a=fmtp line, or open the
    /// attribute list when there is none, so other attributes keep their place.
    void AddCodec(const Codec& codec);

    /// Removes every format and every a=rtpmap and a=fmtp attribute.
    void ClearCodecs();

    /// The m= line's value, without "m=" and line end.
    std::string EncodeMediaLine() const;

    /// Appends the description's lines (m=, i=, c=, b=, k=, a=), each ending in CRLF.
    void Encode(std::string& out) const;

    friend bool operator==(const Medium&, const Medium&) = default;

private:
    std::string mediaType_;
    std::uint16_t port_ = 0;
    std::uint32_t portCount_ = 1;
    std::string protocol_;
    std::vector<std::string> formats_;
    std::string information_;
    std::vector<Connection> connections_;
    std::vector<Bandwidth> bandwidths_;
    std::string key_;
    sdp::Attributes attributes_;
};

} // namespace zel::sip::stack::sdp
