#pragma once

// Test doubles and helpers for driving SDP offer/answer exchanges without a dialog layer.

#include "config/Config.h"
#include "core/IComputerNameProvider.h"
#include "core/IRandomNumberGenerator.h"
#include "sdp/IMediaNegotiator.h"
#include "sdp/ISessionImpl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace zel::sip::test {

/// Deterministic random source: counting 32-bit values and distinct base64 keys of the right length.
class CountingRandom final : public IRandomNumberGenerator {
public:
    std::string GenerateRandomDataAsBase64(std::size_t count) const override {
        static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const auto serial = next_++;
        std::string text((count + 2) / 3 * 4, 'A');
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = kAlphabet[(serial * 7 + i) % 64];
        }
        return text;
    }
    std::uint16_t GenerateRandomUInt16() const override { return static_cast<std::uint16_t>(next_++); }
    std::uint32_t GenerateRandomUInt32() const override { return static_cast<std::uint32_t>(1000 + next_++); }
    std::uint64_t GenerateRandomUInt64() const override { return next_++; }

private:
    mutable std::atomic<std::uint64_t> next_{1};
};

class FixedHostName final : public IComputerNameProvider {
public:
    std::string GetFQDN() const override { return "ua.example.test"; }
};

/// The session object as the negotiator sees it, with the dialog-layer facts set by the test.
class FakeSession final : public ISessionImpl {
public:
    bool connected = false;
    std::set<std::string, std::less<>> peerOptionTags;

    std::string CallId() const override { return "fake-call"; }
    bool IsConnected() const override { return connected; }
    bool IsSupportedByPeer(std::string_view tag) const override { return peerOptionTags.count(tag) != 0; }
    std::vector<std::string>& LocalConnectionAddresses() override { return addresses_; }
    const std::vector<std::string>& LocalConnectionAddresses() const override { return addresses_; }
    stack::SdpBody* GetLocalSDP() override { return local_.get(); }
    const stack::SdpBody* GetLocalSDP() const override { return local_.get(); }
    void SetLocalSDP(const stack::SdpBody& sdp) override {
        local_ = std::make_unique<stack::SdpBody>(sdp);
        addresses_.clear();
        const auto& session = std::as_const(*local_).Session();
        for (const auto& medium : session.Media()) {
            const auto connections = session.ConnectionsOf(medium);
            addresses_.push_back(connections.empty() ? std::string() : connections.front().address);
        }
    }
    const stack::SdpBody* GetRemoteSDP() const override { return remote_.get(); }
    void SetRemoteSDP(const stack::SdpBody& sdp) override { remote_ = std::make_unique<stack::SdpBody>(sdp); }

    const stack::sdp::Session& Local() const { return std::as_const(*local_).Session(); }
    const stack::sdp::Session& Remote() const { return std::as_const(*remote_).Session(); }

private:
    std::vector<std::string> addresses_;
    std::unique_ptr<stack::SdpBody> local_;
    std::unique_ptr<stack::SdpBody> remote_;
};

/// A host that hands out endpoints 192.0.2.10:40000, :40002, ... and records releases.
struct FakeHost {
    std::string address = "192.0.2.10";
    std::string title = "call audio";
    unsigned short nextPort = 40000;
    std::vector<AddressType> requests;
    std::vector<std::pair<std::string, unsigned short>> surplus;

    void Attach(IMediaNegotiator& negotiator) {
        negotiator.LocalMediaEndpointRequired.connect(
            [this](unsigned long, AddressType type, char* addr, unsigned long addrSize, unsigned short& port,
                   char* info, unsigned long infoSize) {
                requests.push_back(type);
                std::strncpy(addr, address.c_str(), addrSize - 1);
                std::strncpy(info, title.c_str(), infoSize - 1);
                port = nextPort;
                nextPort = static_cast<unsigned short>(nextPort + 2);
            });
        negotiator.LocalMediaEndpointSurplus.connect(
            [this](const char* addr, unsigned short port) { surplus.emplace_back(addr, port); });
    }
};

inline ::zel::sip::Crypto Profile(std::string suite, bool mki = false, std::uint64_t keys = 1) {
    ::zel::sip::Crypto crypto;
    crypto.CryptoSuite = std::move(suite);
    crypto.MasterKeyLength = 30;
    crypto.UseMKI = mki;
    crypto.NumberOfMasterKeys = keys;
    return crypto;
}

inline ::zel::sip::Codec AudioCodec(std::string encoding, std::uint32_t rate, std::uint16_t channels = 1,
                                    std::vector<std::string> parameters = {}) {
    ::zel::sip::Codec codec;
    codec.Encoding = std::move(encoding);
    codec.Type = "audio";
    codec.ClockRate = rate;
    codec.Channels = channels;
    codec.Parameters = std::move(parameters);
    return codec;
}

/// PCMU and PCMA; BestEffort with AES_CM_128_HMAC_SHA1_80 then _32; rtcp-mux supported.
inline Config TypicalConfig() {
    Config config;
    config.Codecs = {AudioCodec("PCMU", 8000), AudioCodec("PCMA", 8000)};
    config.Cryptos = {Profile("AES_CM_128_HMAC_SHA1_80"), Profile("AES_CM_128_HMAC_SHA1_32")};
    config.UseSRTP = UseSRTP::BestEffort;
    config.RTCPMultiplexing = RTCPMultiplexingPolicy::Supported;
    return config;
}

inline stack::SdpBody ParseSdp(std::string_view text) {
    auto parsed = stack::sdp::Session::Parse(text);
    if (!parsed) {
        ADD_FAILURE() << "SDP does not parse: " << text;
        return stack::SdpBody();
    }
    return stack::SdpBody(std::move(parsed).Value());
}

inline std::string ReadPeerFile(const std::string& name) {
    std::ifstream file(std::string(ZEL_TEST_DATA_DIR) + "/sdp/peers/" + name, std::ios::binary);
    EXPECT_TRUE(file) << name;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

inline stack::SdpBody PeerSdp(const std::string& name) { return ParseSdp(ReadPeerFile(name)); }

/// Values of one attribute of a medium.
inline std::vector<std::string> Values(const stack::sdp::Medium& medium, std::string_view name) {
    return medium.Attributes().Values(name);
}

inline std::vector<std::string> AttributeNames(const stack::sdp::Medium& medium) {
    std::vector<std::string> names;
    for (const auto& attribute : medium.Attributes().All()) {
        names.push_back(attribute.name);
    }
    return names;
}

} // namespace zel::sip::test
