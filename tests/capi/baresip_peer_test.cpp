// Calls between a user agent driven through the C interface and baresip on 127.0.0.1, over UDP and
// TCP, with SRTP keyed by SDES (RFC 4568) mandatory on both sides: baresip calls us and we call
// baresip; each call connects with a crypto suite both sides agree on and is hung up from one side.
// baresip runs headless from a configuration folder the test writes (no audio device: a sine source
// and no player), driven through its standard input, and is stopped by the fixture.
#include "SessionTestSupport.h"
#include "support/Process.h"

#include <zelmor/sip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

namespace zel::sip::test {
namespace {

using namespace std::chrono_literals;

/// Both suites baresip knows for SDES; the answerer picks one.
const std::string kSrtpMandatory =
    R"("UseSRTP": "Mandatory", "Cryptos": [
         {"CryptoSuite": "AES_CM_128_HMAC_SHA1_80", "MasterKeyLength": 30, "UseMKI": false, "NumberOfMasterKeys": 1},
         {"CryptoSuite": "AES_CM_128_HMAC_SHA1_32", "MasterKeyLength": 30, "UseMKI": false, "NumberOfMasterKeys": 1}])";

/// baresip in a folder of its own, listening for SIP on 127.0.0.1:`Port()` over UDP and TCP, with
/// one account that answers every call by itself and requires SRTP.
class Baresip {
public:
    // It listens for SIP over TLS on the port after `port_` whatever its configuration says.
    explicit Baresip(const TempDir& dir) : port_(FreePortBlock(2)) {
        const auto folder = dir.Path() / "baresip";
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "config") << "poll_method epoll\n"
                                         << "sip_listen 127.0.0.1:" << port_ << "\n"
                                         // ausine makes 48 kHz stereo only; baresip resamples
                                         // it for PCMU. No player: what arrives is dropped.
                                         << "audio_source ausine,440\n"
                                         << "ausrc_srate 48000\n"
                                         << "ausrc_channels 2\n"
                                         << "module_path /usr/lib/baresip/modules\n"
                                         << "module stdio.so\n"
                                         << "module g711.so\n"
                                         << "module ausine.so\n"
                                         << "module srtp.so\n"
                                         << "module_app account.so\n"
                                         << "module_app menu.so\n";
        std::ofstream(folder / "accounts") << "<sip:bob@127.0.0.1:" << port_
                                           << ">;regint=0;mediaenc=srtp-mand;answermode=auto;audio_codecs=PCMU\n";
        std::ofstream(folder / "contacts") << "";
        ChildProcess::Options options;
        options.stdinPipe = true;
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"baresip", "-v", "-n", "127.0.0.1", "-f", folder.string()}, dir.File("baresip.log"),
            options);
        // Ready once it has bound its SIP sockets and said so; it quits by itself when a bind fails.
        const bool ready = WaitUntil(
            [this] {
                return (process_->Printed({"baresip is ready."}) && UdpPortBound(port_)) || !process_->Running();
            },
            20s);
        if (!ready || !process_->Running()) {
            throw std::runtime_error("baresip did not start:\n" + process_->OutputTail());
        }
    }
    ~Baresip() { Stop(); }
    Baresip(const Baresip&) = delete;
    Baresip& operator=(const Baresip&) = delete;

    std::uint16_t Port() const noexcept { return port_; }

    /// One command of its menu (stdio reads standard input a character at a time).
    void Command(const std::string& command) { process_->Write(command + "\n"); }

    /// Waits (bounded) until it has printed `marker`.
    bool WaitForOutput(const std::string& marker, std::chrono::milliseconds limit = 20s) const {
        return WaitUntil([&] { return process_->Printed({marker}); }, limit);
    }

    /// Waits (bounded) until its call has ended: the call's audio stream is torn down whichever side
    /// hung up.
    bool WaitForCallEnd() const { return WaitForOutput("audio: destroyed"); }

    std::string Output() const { return process_->Output(); }
    std::string Tail() const { return process_->OutputTail(); }

    /// Asks it to quit, then stops it for good; idempotent.
    void Stop() {
        if (process_ && process_->Running()) {
            try {
                Command("/quit");
            } catch (const std::runtime_error&) {
                // Its input is closed already: the stop below still ends it.
            }
            (void)process_->WaitForExit(5s);
        }
        if (process_) {
            process_->Stop();
        }
    }

private:
    std::uint16_t port_;
    std::unique_ptr<ChildProcess> process_;
};

enum class Transport { Udp, Tcp };

std::string Name(Transport transport) { return transport == Transport::Udp ? "udp" : "tcp"; }

/// The crypto suite of the first a=crypto line in `attributes`; empty when there is none.
std::string CryptoSuite(const std::string& attributes) {
    std::smatch match;
    static const std::regex line(R"(crypto:\d+ ([A-Z0-9_]+) inline:)");
    return std::regex_search(attributes, match, line) ? match[1].str() : std::string();
}

class CallsWithBaresip : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        if (!ProgramInstalled("baresip")) {
            GTEST_SKIP() << "baresip is not installed (Debian package baresip-core)";
        }
    }

    /// Our user agent, listening for TCP too on the same port when the call runs over TCP.
    std::unique_ptr<Phone> MakePhone() const {
        std::string extra = kPcmu + ", " + kSrtpMandatory;
        if (GetParam() == Transport::Tcp) {
            extra += R"(, "TCPAllowed": true)";
            const std::uint16_t port = FreePort();
            return std::make_unique<Phone>(extra + R"(, "TCPPort": )" + std::to_string(port), port);
        }
        return std::make_unique<Phone>(extra);
    }

    /// What both sides agreed on: our suite from the session getters at Connected, and baresip's
    /// SRTP context keyed with the same suite.
    static void ExpectSameSuite(const SessionRecord& session, const Baresip& baresip) {
        const std::string ours = CryptoSuite(session.attributesAtConnect);
        ASSERT_FALSE(ours.empty()) << session.attributesAtConnect;
        EXPECT_TRUE(ours == "AES_CM_128_HMAC_SHA1_80" || ours == "AES_CM_128_HMAC_SHA1_32") << ours;
        EXPECT_TRUE(baresip.WaitForOutput("SRTP is Enabled (cryptosuite=" + ours + ")")) << baresip.Tail();
    }

    TempDir dir_;
};

TEST_P(CallsWithBaresip, BaresipCallsUsAndHangsUp) {
    auto phone = MakePhone();
    Baresip baresip(dir_);
    baresip.Command("/dial sip:phone@127.0.0.1:" + std::to_string(phone->Port()) + ";transport=" + Name(GetParam()));
    ASSERT_TRUE(phone->WaitFor(0, "Connected")) << baresip.Tail();
    ASSERT_TRUE(baresip.WaitForOutput("Call established")) << baresip.Tail();
    ExpectSameSuite(phone->Session(0), baresip);

    baresip.Command("/hangup");
    ASSERT_TRUE(phone->WaitFor(0, "Terminated")) << baresip.Tail();
    EXPECT_EQ(phone->Session(0).terminatedReason, TerminatedReason_RemoteBye);
    EXPECT_TRUE(baresip.WaitForCallEnd()) << baresip.Tail();
    baresip.Stop();
}

TEST_P(CallsWithBaresip, WeCallBaresipAndHangUp) {
    auto phone = MakePhone();
    Baresip baresip(dir_);
    phone->Call("<sip:bob@127.0.0.1:" + std::to_string(baresip.Port()) + ";transport=" + Name(GetParam()) + ">");
    ASSERT_TRUE(phone->WaitFor(0, "Connected")) << baresip.Tail();
    ASSERT_TRUE(baresip.WaitForOutput("Call established")) << baresip.Tail();
    ExpectSameSuite(phone->Session(0), baresip);

    ASSERT_EQ(SIPSessionTerminate(phone->Session(0).handle), 0) << LastError();
    ASSERT_TRUE(phone->WaitFor(0, "Terminated"));
    EXPECT_EQ(phone->Session(0).terminatedReason, TerminatedReason_LocalBye);
    // baresip saw the BYE end its call.
    EXPECT_TRUE(baresip.WaitForCallEnd()) << baresip.Tail();
    baresip.Stop();
}

INSTANTIATE_TEST_SUITE_P(Transports, CallsWithBaresip, ::testing::Values(Transport::Udp, Transport::Tcp),
                         [](const ::testing::TestParamInfo<Transport>& param) { return Name(param.param); });

} // namespace
} // namespace zel::sip::test
