#pragma once

#include "stack/transport/SecuritySettings.h"
#include "stack/transport/Transports.h"

#include "TransportTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include "support/Process.h"

namespace zel::sip::stack::test {

/// A private PKI made with the openssl command line in a temporary directory: a CA (alone in
/// `caDir`, the CA directory) and certificates signed by it, plus one signed by a CA nobody trusts.
/// Each certificate is `<name>.pem` with its key `<name>.key`.
class TestCertificates {
public:
    TestCertificates() {
        char pattern[] = "/tmp/zel-tls-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        root = pattern;
        caDir = root + "/ca";
        std::filesystem::create_directory(caDir);
        Run("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + root + "/ca.key -out " +
            caDir + "/ca.pem -days 2 -subj /CN=Zel-Test-CA");
        Run("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + root + "/rogue-ca.key -out " +
            root + "/rogue-ca.pem -days 2 -subj /CN=Rogue-CA");
        Issue("server", "/CN=sip.example.test", "DNS:sip.example.test,IP:127.0.0.1,IP:::1,URI:sip:example.test", 2);
        Issue("client", "/CN=client.example.test", "DNS:client.example.test", 2);
        Issue("expired", "/CN=sip.example.test", "DNS:sip.example.test,IP:127.0.0.1", -1);
        Issue("wildcard", "/CN=wild", "DNS:*.example.test", 2);
        Issue("cn-only", "/CN=cn.example.test", "", 2);
        Issue("rogue-client", "/CN=client.example.test", "DNS:client.example.test", 2, "rogue-ca");
    }
    ~TestCertificates() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    std::string Certificate(const std::string& name) const { return root + "/" + name + ".pem"; }
    std::string Key(const std::string& name) const { return root + "/" + name + ".key"; }

    std::string root;
    std::string caDir;

private:
    /// Runs openssl with `arguments` (words without spaces).
    static void Run(const std::string& arguments) {
        std::vector<std::string> words{"openssl"};
        std::istringstream split(arguments);
        for (std::string word; split >> word;)
            words.push_back(word);
        if (zel::sip::test::RunProgram(words) != 0)
            throw std::runtime_error("failed: openssl " + arguments);
    }

    void Issue(const std::string& name, const std::string& subject, const std::string& altNames, int days,
               const std::string& issuer = "ca") {
        const std::string key = Key(name);
        const std::string request = root + "/" + name + ".csr";
        const std::string extensions = root + "/" + name + ".ext";
        std::ofstream(extensions) << "basicConstraints=CA:FALSE\n"
                                  << (altNames.empty() ? "" : "subjectAltName=" + altNames + "\n");
        const std::string issuerCertificate = issuer == "ca" ? caDir + "/ca.pem" : root + "/" + issuer + ".pem";
        Run("req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + key + " -out " + request +
            " -subj " + subject);
        Run("x509 -req -in " + request + " -CA " + issuerCertificate + " -CAkey " + root + "/" + issuer +
            ".key -CAcreateserial -days " + std::to_string(days) + " -extfile " + extensions + " -out " +
            Certificate(name));
    }
};

/// Suites on the private PKI (made once per suite), with settings for its identities.
class CertificateTest : public ::testing::Test {
public:
    static void SetUpTestSuite() { certificates = std::make_unique<TestCertificates>(); }
    static void TearDownTestSuite() { certificates.reset(); }

    /// Trusts the test CA; presents `identity` (none when empty).
    static SecuritySettings Settings(const std::string& identity,
                                     ClientVerificationMode mode = ClientVerificationMode::None) {
        SecuritySettings settings;
        settings.caDirectoryPath = certificates->caDir;
        if (!identity.empty()) {
            settings.certificatePath = certificates->Certificate(identity);
            settings.privateKeyPath = certificates->Key(identity);
        }
        settings.clientVerification = mode;
        return settings;
    }

    using MakeSecure = std::function<std::shared_ptr<Transport>(boost::asio::io_context&, const TransportOptions&,
                                                                const SecuritySettings&)>;
    static std::shared_ptr<Transport> Tls(boost::asio::io_context& io, const TransportOptions& options,
                                          const SecuritySettings& settings) {
        return MakeTlsTransport(io, options, settings);
    }
    static std::shared_ptr<Transport> Dtls(boost::asio::io_context& io, const TransportOptions& options,
                                           const SecuritySettings& settings) {
        return MakeDtlsTransport(io, options, settings);
    }

    /// Sends one request from a client with `clientIdentity` to a server with `serverIdentity` and
    /// answers it on the same connection or association; true when both arrived.
    static bool Exchange(const MakeSecure& make, const std::string& serverIdentity, const std::string& clientIdentity,
                         ClientVerificationMode mode, const std::string& serverName) {
        boost::asio::io_context io;
        RecordingReceiver serverReceiver, clientReceiver;
        auto server = make(io, Options(serverReceiver), Settings(serverIdentity, mode));
        auto client = make(io, Options(clientReceiver), Settings(clientIdentity));
        const std::string request = MakeRequest("OPTIONS", "secure");
        client->Send(server->LocalTuple(), request, SendOptions{.retransmission = false, .serverName = serverName});
        RunUntil(io, [&] {
            return !serverReceiver.received.empty() || !clientReceiver.failures.empty() ||
                   server->Statistics().connectionsRejected > 0;
        });
        bool delivered = serverReceiver.received.size() == 1 && serverReceiver.received[0].message == request;
        if (delivered) {
            const Tuple source = serverReceiver.received[0].source;
            EXPECT_EQ(source.transport, server->Type());
            if (server->Type() == TransportType::DTLS) {
                EXPECT_EQ(source, client->LocalTuple());
            }
            server->Send(source, kOk);
            delivered = RunUntil(io, [&] { return clientReceiver.received.size() == 1; });
        }
        CloseAll(io, {client, server});
        return delivered;
    }

    inline static std::unique_ptr<TestCertificates> certificates;
};

} // namespace zel::sip::stack::test
