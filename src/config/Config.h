#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip {

/// How the SDP offer/answer treats SRTP (SDES `a=crypto`, RFC 4568).
enum class UseSRTP : std::uint32_t {
    None = 0,
    BestEffort = 1,
    Mandatory = 2,
    Fallback = 3, ///< also advertises the option tag "x-cisco-srtp-fallback"
    MultipleMediaDescriptor = 4,
};

/// Whether RTP and RTCP share one port (RFC 5761).
enum class RTCPMultiplexingPolicy : std::uint32_t {
    None = 0,
    Supported = 1,
    Required = 2,
};

/// How the TLS-based transports treat client certificates.
enum class TLSClientVerificationMode : std::uint32_t {
    None = 0,
    Optional = 1,
    Mandatory = 2,
};

/// One configured codec of the audio media description.
struct Codec {
    std::string Encoding;                ///< encoding name as in `a=rtpmap`, e.g. "PCMU"
    std::string Type;                    ///< media type, e.g. "audio"
    std::uint32_t ClockRate = 0;         ///< RTP clock rate in Hz
    std::uint16_t Channels = 1;          ///< 1 when the document gives none
    std::vector<std::string> Parameters; ///< format parameters (`a=fmtp`), in document order
};

/// One configured SDES crypto suite (RFC 4568).
struct Crypto {
    std::string CryptoSuite;               ///< e.g. "AES_CM_128_HMAC_SHA1_80"
    std::uint64_t MasterKeyLength = 0;     ///< length of the master key in bytes
    bool UseMKI = false;                   ///< whether a master key identifier is sent
    std::uint64_t NumberOfMasterKeys = 0;  ///< number of master keys offered
};

/// Every setting of one user agent: a plain value, read from the JSON configuration document by
/// `Deserialise` and copied by every component that keeps settings. It owns all its data and holds
/// no pointers, so copies are independent; it is never changed after it is built.
///
/// The members `TLS` and `Logging` have the names of their nested record types. Inside
/// expressions `Config::TLS` names the member; to name the type in a declaration write
/// `struct Config::TLS` (as a qualifier, `Config::TLS::...`, it names the type as usual).
struct Config {
    /// TLS material and policy of the TLS, DTLS and WSS transports.
    struct TLS {
        std::vector<std::string> Ciphers; ///< IANA suite names in document order; empty: stack default
        std::string DHParametersPath;     ///< file of Diffie-Hellman parameters
        std::string CADirectoryPath;      ///< directory of trusted certificate authorities
        std::string CertificatePath;      ///< the user agent's own certificate
        std::string PrivateKeyPath;       ///< the key of that certificate
        TLSClientVerificationMode ClientVerificationMode = TLSClientVerificationMode::Optional;
        bool AllowWildcardCertificates = true;
    };

    /// The stack's own log, handed as text to the logging set-up.
    struct Logging {
        /// The level used when the document names none.
        static constexpr std::string_view DefaultStackLogLevel{"WARNING"};

        std::string StackLogLevel{DefaultStackLogLevel};
        std::string StackLogPath;
        std::string StackLogType{"COUT"};
    };

    std::string UserAgent;      ///< text of the User-Agent header, after the library's prefix
    std::string MessageLogPath; ///< SIP message trace log; empty: no trace log
    std::string Address;        ///< local address every transport binds to; empty: all interfaces
    bool UDPAllowed = true;
    std::uint16_t UDPPort = 5060;
    bool TCPAllowed = true;
    std::uint16_t TCPPort = 5060;
    bool TLSAllowed = true;
    std::uint16_t TLSPort = 5061;
    bool DTLSAllowed = true;
    std::uint16_t DTLSPort = 5061;
    bool WSAllowed = false;
    std::uint16_t WSPort = 80;
    bool WSSAllowed = false;
    std::uint16_t WSSPort = 443;
    struct TLS TLS;
    std::set<std::string> SupportedMethods;  ///< each once, ascending byte-wise
    std::set<std::string> Capabilities;      ///< each once, ascending byte-wise
    std::set<std::string> SupportedOptions;  ///< each once, ascending byte-wise
    /// Method name to accepted content type; ordered by method, pairs of one method in reading order.
    std::multimap<std::string, std::string> SupportedContentTypes;
    bool SupportSessionTimers = true;
    std::string DefaultMediaMode{"recvonly"}; ///< direction attribute of offers, used as given
    std::vector<Codec> Codecs;                ///< document order
    ::zel::sip::UseSRTP UseSRTP = ::zel::sip::UseSRTP::BestEffort;
    std::vector<Crypto> Cryptos;              ///< document order
    std::string ExternalContactUri;           ///< its host and port replace those of the Contact
    bool SpecifySessionInformation = true;
    bool SpecifyRTCPAttribute = true;
    RTCPMultiplexingPolicy RTCPMultiplexing = RTCPMultiplexingPolicy::None;
    struct Logging Logging;
};

/// Reads the JSON configuration document (a NUL-terminated UTF-8 text) into a `Config`: the
/// default record overlaid with what the document supplies.
///
/// The reading is lenient and silent: unknown keys are ignored, a value of the wrong JSON kind
/// keeps its field's default, an array entry that lacks a required member is skipped, and a text
/// that is not one JSON object (invalid JSON, another kind of root, more than 1 MiB of text or
/// nesting deeper than 32 levels) yields the all-defaults record. A null pointer yields the
/// defaults too. To learn what was ignored, use `ReadConfig` (config/ConfigDiagnostics.h).
///
/// Raises only std::bad_alloc (memory exhaustion). Keeps no state: any number of threads may call
/// it at once. The text is only read during the call.
Config Deserialise(const char* json);

} // namespace zel::sip
