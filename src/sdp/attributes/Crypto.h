#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace zel::sip::sdp::attributes {

/// The value of one SDP "crypto" attribute (SDES, RFC 4568 section 9.1):
///
///     <tag> <crypto-suite> <key-params> [<session-param> ...]
///
/// The parser checks the shape of the value, not its meaning: it does not limit the tag to 9
/// digits, does not know the crypto-suites, accepts any key method besides "inline" and does not
/// decode the key-salt. Values are plain data; copies may be used on any thread.
class Crypto {
public:
    /// One key parameter (RFC 4568 section 9.2): "<method>:<info>[|<lifetime>][|<mki>:<length>]".
    class KeyParameter {
    public:
        /// The key method, the text before the first ":" ("inline").
        std::string Method;
        /// The key-salt text after the ":", as written (not decoded).
        std::string Info;
        /// 0 when absent. For the "2^n" form, n; for a plain packet count (see
        /// LifetimeIsPacketCount), that count.
        std::uint64_t Lifetime = 0;
        /// The MKI value, 0 when absent.
        std::uint64_t MKI = 0;
        /// The MKI length in bytes, 0 when absent; at most 8.
        std::uint64_t MKILength = 0;
        /// True when the lifetime was written as a plain packet count ("|1048576") rather than as
        /// a power of two ("|2^20"), so that the text form writes it back as it was received.
        /// Meaningless (and left false by Parse) when Lifetime is 0.
        bool LifetimeIsPacketCount = false;

        /// Parses one key parameter. The text after the first "|" is a list of "|"-separated
        /// lifetime and MKI parts; a later part of either kind replaces an earlier one.
        /// Raises std::invalid_argument for an empty text, an empty method, a missing key-salt,
        /// an MKI part that is not "<number>:<number>", an MKI length above 8, or a lifetime that
        /// is empty or not a number (numbers that do not fit in 64 bits included). A lifetime
        /// with a leading "-" is taken modulo 2^64.
        static KeyParameter Parse(const std::string& text);

        friend bool operator==(const KeyParameter&, const KeyParameter&) = default;
    };

    /// The tag that identifies this attribute among the offered ones.
    std::uint32_t Tag = 0;
    /// The crypto-suite name, as written.
    std::string Suite;
    /// The key parameters, in order.
    std::vector<KeyParameter> KeyParameters;
    /// The session parameter tokens ("UNENCRYPTED_SRTCP", "KDR=1", ...), in order.
    std::vector<std::string> SessionParameters;

    /// Reads one attribute value from the stream, which is consumed to its end.
    /// Raises std::invalid_argument when the tag (a decimal number that fits in 32 bits), the
    /// suite or the key parameters are missing, and the errors of KeyParameter::Parse; white space
    /// separates the tokens. An empty key parameter (";;") is an error, a final ";" is not.
    static Crypto Parse(std::istream& input);

    friend bool operator==(const Crypto&, const Crypto&) = default;
};

/// Writes "<method>:<info>", then "|2^<lifetime>" (or "|<lifetime>" for a packet count) when the
/// lifetime is not 0, then "|<mki>:<length>" when the MKI or its length is not 0.
std::ostream& operator<<(std::ostream& output, const Crypto::KeyParameter& parameter);

/// Writes "<tag> <suite> " followed by the key parameters joined by ";", and " <parameter>" for
/// each session parameter.
std::ostream& operator<<(std::ostream& output, const Crypto& crypto);

} // namespace zel::sip::sdp::attributes
