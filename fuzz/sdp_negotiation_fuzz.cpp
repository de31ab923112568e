// Feeds arbitrary SDP offers and answers through the media negotiator under every SRTP and RTCP
// multiplexing policy. Input: one control byte, then the offer text, then (after a line holding
// only "--") the answer text. The only acceptable outcomes are an answer that parses again, or an
// std::invalid_argument / std::runtime_error carrying one of the negotiation's own texts.

#include "config/Config.h"
#include "core/IComputerNameProvider.h"
#include "core/IRandomNumberGenerator.h"
#include "sdp/ISessionImpl.h"
#include "sdp/LocalSDPFactory.h"
#include "sdp/MediaNegotiator.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using namespace zel::sip;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

class Random final : public IRandomNumberGenerator {
public:
    std::string GenerateRandomDataAsBase64(std::size_t count) const override {
        return std::string((count + 2) / 3 * 4, 'Q');
    }
    std::uint16_t GenerateRandomUInt16() const override { return 7; }
    std::uint32_t GenerateRandomUInt32() const override { return 4242; }
    std::uint64_t GenerateRandomUInt64() const override { return 99; }
};

class HostName final : public IComputerNameProvider {
public:
    std::string GetFQDN() const override { return "fuzz.example"; }
};

class Session final : public ISessionImpl {
public:
    bool connected = false;
    bool fallback = false;

    std::string CallId() const override { return "fuzz"; }
    bool IsConnected() const override { return connected; }
    bool IsSupportedByPeer(std::string_view) const override { return fallback; }
    std::vector<std::string>& LocalConnectionAddresses() override { return addresses_; }
    const std::vector<std::string>& LocalConnectionAddresses() const override { return addresses_; }
    stack::SdpBody* GetLocalSDP() override { return local_.get(); }
    const stack::SdpBody* GetLocalSDP() const override { return local_.get(); }
    void SetLocalSDP(const stack::SdpBody& sdp) override {
        local_ = std::make_unique<stack::SdpBody>(sdp);
        addresses_.assign(sdp.Session().Media().size(), std::string());
    }
    const stack::SdpBody* GetRemoteSDP() const override { return remote_.get(); }
    void SetRemoteSDP(const stack::SdpBody& sdp) override { remote_ = std::make_unique<stack::SdpBody>(sdp); }

private:
    std::vector<std::string> addresses_;
    std::unique_ptr<stack::SdpBody> local_;
    std::unique_ptr<stack::SdpBody> remote_;
};

const std::set<std::string, std::less<>>& KnownTexts() {
    static const std::set<std::string, std::less<>> texts = {
        "media description count cannot be decreased",
        "media description count cannot differ between offer and answer",
        "remote medium has no connection data",
        "unable to get a local media endpoint",
        "offer does not contain a supported codec",
        "answer does not contain a supported codec",
        "RTCP multiplexing is required but the offer does not support RTCP multiplexing",
        "RTCP multiplexing is disabled but the offer requires RTCP multiplexing",
        "RTCP multiplexing is required but the answer does not support RTCP multiplexing",
        "RTCP multiplexing is disabled but the answer requires RTCP multiplexing",
        "SRTP is mandatory but no crypto profiles are defined",
        "SRTP is disabled but offer mandates SRTP",
        "offer mandates SRTP but contains no supported crypto profile",
        "SRTP is mandatory but offer contains no supported crypto profile",
        "offer mandates SRTP but contains no supported crypto profile - peer must support x-cisco-srtp-fallback to "
        "fallback to RTP from SRTP",
        "SRTP is offered but offer contains no supported crypto profile",
        "SRTP is mandatory but answer contains no supported crypto profile",
        "answer contains one or more crypto profile but none are supported",
        "answer mandates SRTP but contains no supported crypto profile",
        "peer must support x-cisco-srtp-fallback to RTP from SRTP",
        "SRTP is disabled but answer mandates SRTP",
        "SRTP is disabled but answer contains one or more crypto profiles",
    };
    return texts;
}

template <class Action>
void Expect(Action&& action) {
    try {
        action();
    } catch (const std::invalid_argument& e) {
        Check(KnownTexts().count(e.what()) == 1);
    } catch (const std::runtime_error& e) {
        Check(KnownTexts().count(e.what()) == 1);
    }
}

Config MakeConfig(std::uint8_t control) {
    Config config;
    config.UseSRTP = static_cast<UseSRTP>(control % 5);
    config.RTCPMultiplexing = static_cast<RTCPMultiplexingPolicy>((control / 5) % 3);
    config.DefaultMediaMode = "sendrecv";
    const auto codec = [](const char* name, std::uint32_t rate, std::uint16_t channels, const char* type,
                          std::vector<std::string> parameters) {
        Codec c;
        c.Encoding = name;
        c.ClockRate = rate;
        c.Channels = channels;
        c.Type = type;
        c.Parameters = std::move(parameters);
        return c;
    };
    config.Codecs = {codec("opus", 48000, 2, "audio", {"useinbandfec=1"}), codec("PCMU", 8000, 1, "audio", {}),
                     codec("PCMA", 8000, 1, "audio", {}), codec("iLBC", 8000, 1, "audio", {"mode=30"}),
                     codec("H264", 90000, 1, "video", {"packetization-mode=1"})};
    const auto crypto = [](const char* suite, bool mki, std::uint64_t keys) {
        Crypto c;
        c.CryptoSuite = suite;
        c.MasterKeyLength = 30;
        c.UseMKI = mki;
        c.NumberOfMasterKeys = keys;
        return c;
    };
    if ((control & 0x80) == 0) {
        config.Cryptos = {crypto("AES_CM_128_HMAC_SHA1_80", false, 1), crypto("AES_CM_128_HMAC_SHA1_32", true, 2)};
    }
    return config;
}

std::unique_ptr<stack::SdpBody> Parse(std::string_view text) {
    auto parsed = stack::sdp::Session::Parse(text);
    if (!parsed) {
        return nullptr;
    }
    return std::make_unique<stack::SdpBody>(std::move(parsed).Value());
}

void CheckReparses(const stack::SdpBody& body) {
    const auto text = body.Encode();
    Check(stack::sdp::Session::Parse(text).Ok());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t control = data[0];
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto split = input.find("\n--\n");
    const auto offerText = input.substr(0, split);
    const auto answerText = split == std::string_view::npos ? std::string_view() : input.substr(split + 4);

    static const Random random;
    static const HostName hostName;
    static const LocalSDPFactory localSDPFactory(hostName, random);
    const auto config = MakeConfig(control);
    MediaNegotiator negotiator(random, localSDPFactory, config);
    unsigned short nextPort = 20000;
    negotiator.LocalMediaEndpointRequired.connect(
        [&](unsigned long, AddressType type, char* address, unsigned long, unsigned short& port, char* info,
            unsigned long) {
            std::strcpy(address, type == AddressType::IPv6 ? "2001:db8::1" : "192.0.2.1");
            std::strcpy(info, "fuzz");
            port = nextPort;
            nextPort = static_cast<unsigned short>(nextPort + 2);
        });
    negotiator.LocalMediaEndpointSurplus.connect([](const char* address, unsigned short port) {
        Check(address != nullptr && *address != '\0' && port != 0);
    });

    // Answer the offer, then the same offer again as a renegotiation.
    if (auto offer = Parse(offerText)) {
        Session session;
        session.fallback = (control & 0x40) != 0;
        for (int round = 0; round < 2; ++round) {
            auto copy = *offer;
            Expect([&] {
                auto& answer = negotiator.NegotiateAnswer(session, copy);
                CheckReparses(answer);
                Check(answer.Session().Media().size() == offer->Session().Media().size());
            });
        }
    }

    // Our offer, then the peer's answer (or its offer taken as an answer).
    const auto answerBody = Parse(answerText.empty() ? offerText : answerText);
    if (answerBody) {
        Session session;
        session.connected = (control & 0x20) != 0;
        session.fallback = (control & 0x40) != 0;
        Expect([&] {
            negotiator.MakeOffer(session, (control & 0x10) != 0 ? stack::IpVersion::V6 : stack::IpVersion::V4);
            negotiator.VerifyAnswer(session, *answerBody);
            CheckReparses(*session.GetLocalSDP());
        });
    }
    return 0;
}
