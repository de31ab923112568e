#pragma once

#include "stack/body/ParseResult.h"
#include "stack/body/sdp/Attributes.h"
#include "stack/body/sdp/Bandwidth.h"
#include "stack/body/sdp/Connection.h"
#include "stack/body/sdp/Medium.h"
#include "stack/body/sdp/Origin.h"
#include "stack/body/sdp/ParseLimits.h"
#include "stack/body/sdp/Time.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip::stack::sdp {

/// A session description (RFC 8866, formerly RFC 4566): the session-level lines and the media
/// descriptions in order. A plain value: copy it to clone it.
///
/// Parse is lenient where real peers are sloppy: LF-only line ends, trailing white space, empty
/// lines, session-level lines out of RFC order, a missing s= or t= line, and unknown line types
/// (which are skipped). It is strict on what the values mean: a malformed origin, connection,
/// media, time or bandwidth line is an error that names the line. Encode writes CRLF line ends
/// in the order of RFC 8866 section 5; a parsed description that was already in that form is
/// written back unchanged.
///
/// Not thread-safe; concurrent const use is fine.
class Session {
public:
    /// Parses an SDP. Never throws on bad input: the result holds the error and its line.
    static ParseResult<Session> Parse(std::string_view text, const ParseLimits& limits = {});

    /// The whole description with CRLF line ends.
    std::string Encode() const;

    /// v=; always 0 in practice.
    unsigned Version() const noexcept { return version_; }
    void SetVersion(unsigned version) noexcept { version_ = version; }

    const sdp::Origin& Origin() const noexcept { return origin_; }
    sdp::Origin& Origin() noexcept { return origin_; }

    /// s=; an empty name is written "s= " as RFC 8866 section 5.3 asks.
    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

    /// i=, u=, k= at session level; empty means no line.
    const std::string& Information() const noexcept { return information_; }
    void SetInformation(std::string text) { information_ = std::move(text); }
    const std::string& Uri() const noexcept { return uri_; }
    void SetUri(std::string uri) { uri_ = std::move(uri); }
    const std::string& EncryptionKey() const noexcept { return key_; }
    void SetEncryptionKey(std::string key) { key_ = std::move(key); }

    /// e= and p= lines, as written.
    const std::vector<std::string>& Emails() const noexcept { return emails_; }
    std::vector<std::string>& Emails() noexcept { return emails_; }
    const std::vector<std::string>& Phones() const noexcept { return phones_; }
    std::vector<std::string>& Phones() noexcept { return phones_; }

    /// The session-level c= line, if any. Media descriptions without their own c= lines use it.
    const std::optional<sdp::Connection>& Connection() const noexcept { return connection_; }
    void SetConnection(std::optional<sdp::Connection> c) { connection_ = std::move(c); }

    const std::vector<Bandwidth>& Bandwidths() const noexcept { return bandwidths_; }
    std::vector<Bandwidth>& Bandwidths() noexcept { return bandwidths_; }

    /// t= lines with their r= lines. Encode writes "t=0 0" when there is none.
    const std::vector<Time>& Times() const noexcept { return times_; }
    std::vector<Time>& Times() noexcept { return times_; }

    /// The z= line's value; empty means none.
    const std::string& TimeZones() const noexcept { return zones_; }
    void SetTimeZones(std::string zones) { zones_ = std::move(zones); }

    const sdp::Attributes& Attributes() const noexcept { return attributes_; }
    sdp::Attributes& Attributes() noexcept { return attributes_; }

    /// The media descriptions in order (index 0 is the first m= line).
    const std::vector<Medium>& Media() const noexcept { return media_; }
    std::vector<Medium>& Media() noexcept { return media_; }
    void AddMedium(Medium medium) { media_.push_back(std::move(medium)); }

    /// The connections that apply to `medium`: its own c= lines, else the session-level one.
    std::vector<sdp::Connection> ConnectionsOf(const Medium& medium) const {
        return medium.EffectiveConnections(connection_);
    }

    friend bool operator==(const Session&, const Session&) = default;

private:
    unsigned version_ = 0;
    sdp::Origin origin_;
    std::string name_;
    std::string information_;
    std::string uri_;
    std::vector<std::string> emails_;
    std::vector<std::string> phones_;
    std::optional<sdp::Connection> connection_;
    std::vector<Bandwidth> bandwidths_;
    std::vector<Time> times_;
    std::string zones_;
    std::string key_;
    sdp::Attributes attributes_;
    std::vector<Medium> media_;
};

} // namespace zel::sip::stack::sdp
