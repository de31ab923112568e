// zel-sip-ping: sends one request (OPTIONS unless told otherwise) to a SIP or SIPS URI, locating
// the server as RFC 3263 says, and prints every response with the server that sent it and the time
// since the request left. Exit status: 0 on a 2xx, 1 on another final response, 2 on bad usage,
// 3 on a timeout, 4 on a DNS failure, 5 on a TLS verification failure, 6 on another transport
// error.
#include <boost/asio/ssl/error.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "stack/core/SipStack.h"
#include "stack/dns/DnsError.h"

namespace {

using namespace zel::sip::stack;
using Clock = std::chrono::steady_clock;

enum Exit { Success = 0, NotSuccess = 1, Usage = 2, TimedOut = 3, DnsFailure = 4, TlsFailure = 5, TransportFailure = 6 };

constexpr const char* kUsage = R"(usage: zel-sip-ping [options] <sip-or-sips-uri>

Sends an OPTIONS request (or the method given) to the URI and prints each response's status line,
the server that answered and the round-trip time.

options:
  -t, --transport NAME  udp, tcp, tls, dtls, ws or wss (default: the URI's transport parameter,
                        else what RFC 3263 server location picks)
  -m, --method NAME     request method (default OPTIONS)
  -w, --wait SECONDS    give up after this long (default 32)
  -f, --from URI        From address (default sip:zel-sip-ping@invalid)
      --ca-dir DIR      directory of trusted CA certificates (PEM), besides the system's
      --cert FILE       our certificate (PEM), for servers that ask for one
      --key FILE        its private key (PEM)
      --dns ADDR[:PORT] DNS server to ask (repeatable; default: /etc/resolv.conf)
  -4, -6                prefer IPv4 (default) or IPv6 addresses
  -v, --verbose         print every response in full
  -h, --help            this text

exit status: 0 on a 2xx, 1 on another final response, 2 on bad usage, 3 on a timeout, 4 on a DNS
failure, 5 on a TLS verification failure, 6 on another transport error.
)";

struct Settings {
    std::string target;
    std::string transport;
    std::string method = "OPTIONS";
    std::string from = "sip:zel-sip-ping@invalid";
    std::chrono::seconds wait{32};
    SecuritySettings security;
    std::vector<std::string> dnsServers;
    bool preferIPv6 = false;
    bool verbose = false;
};

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "zel-sip-ping: " << message << "\n" << kUsage;
    std::exit(Usage);
}

Settings ParseArguments(int argc, char** argv) {
    Settings settings;
    std::vector<std::string> words(argv + 1, argv + argc);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= words.size())
                Fail("option " + word + " needs a value");
            return words[++i];
        };
        if (word == "-h" || word == "--help") {
            std::cout << kUsage;
            std::exit(Success);
        } else if (word == "-t" || word == "--transport") {
            settings.transport = value();
        } else if (word == "-m" || word == "--method") {
            settings.method = value();
        } else if (word == "-w" || word == "--wait") {
            const std::string& text = value();
            char* end = nullptr;
            const long seconds = std::strtol(text.c_str(), &end, 10);
            if (end == text.c_str() || *end != '\0' || seconds < 1 || seconds > 3600)
                Fail("--wait takes a number of seconds from 1 to 3600");
            settings.wait = std::chrono::seconds(seconds);
        } else if (word == "-f" || word == "--from") {
            settings.from = value();
        } else if (word == "--ca-dir") {
            settings.security.caDirectoryPath = value();
        } else if (word == "--cert") {
            settings.security.certificatePath = value();
        } else if (word == "--key") {
            settings.security.privateKeyPath = value();
        } else if (word == "--dns") {
            settings.dnsServers.push_back(value());
        } else if (word == "-4") {
            settings.preferIPv6 = false;
        } else if (word == "-6") {
            settings.preferIPv6 = true;
        } else if (word == "-v" || word == "--verbose") {
            settings.verbose = true;
        } else if (!word.empty() && word[0] == '-') {
            Fail("unknown option " + word);
        } else if (settings.target.empty()) {
            settings.target = word;
        } else {
            Fail("one URI only");
        }
    }
    if (settings.target.empty())
        Fail("no URI given");
    return settings;
}

std::string RandomToken() {
    static std::mt19937_64 random{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 16; ++i)
        token.push_back(kDigits[random() % 16]);
    return token;
}

SipMessage MakeRequest(const Settings& settings, const Uri& target) {
    SipMessage request = SipMessage::MakeRequest(settings.method, target);
    request.Add(HeaderType::MaxForwards, "70");
    request.Add(HeaderType::From, "<" + settings.from + ">;tag=" + RandomToken());
    request.Add(HeaderType::To, "<" + target.ToString() + ">");
    request.Add(HeaderType::CallId, RandomToken() + "@zel-sip-ping");
    request.Add(HeaderType::CSeq, "1 " + settings.method);
    request.Add(HeaderType::UserAgent, "zel-sip-ping");
    return request;
}

/// The transports to add: the one asked for, else those server location may pick.
std::vector<TransportType> TransportsFor(const Settings& settings, const Uri& target) {
    if (!settings.transport.empty()) {
        const auto type = ParseTransportType(settings.transport);
        if (!type)
            Fail("unknown transport '" + settings.transport + "'");
        return {*type};
    }
    if (const Parameter* param = target.Params().Find("transport"); param != nullptr && param->hasValue) {
        if (const auto type = ParseTransportType(param->value))
            return {*type};
    }
    return {TransportType::UDP, TransportType::TCP, TransportType::TLS};
}

bool NeedsSecurity(TransportType type) {
    return type == TransportType::TLS || type == TransportType::DTLS || type == TransportType::WSS;
}

/// Prints why the request could not be sent and returns the exit status for it.
int ReportTransportError(const std::error_code& error, const Uri& target) {
    if (error.category() == DnsCategory()) {
        std::cerr << "DNS failure for " << target.Host() << ": " << error.message() << "\n";
        return DnsFailure;
    }
    if (error.category() == boost::asio::error::get_ssl_category() ||
        error.category() == boost::asio::ssl::error::get_stream_category()) {
        std::cerr << "TLS failure (certificate verification or handshake): " << error.message() << "\n";
        return TlsFailure;
    }
    std::cerr << "transport error: " << error.message() << "\n";
    return TransportFailure;
}

int Run(const Settings& settings) {
    Uri target;
    try {
        target = Uri::Parse(settings.target);
    } catch (const std::exception& error) {
        Fail("not a URI: " + settings.target + " (" + error.what() + ")");
    }
    if (!target.IsSip())
        Fail("not a sip or sips URI: " + settings.target);
    Uri route = target;
    if (!settings.transport.empty())
        route.Params().Set("transport", settings.transport);
    const std::vector<TransportType> transports = TransportsFor(settings, route);

    StackOptions options;
    options.dns.servers = settings.dnsServers;
    options.dns.families = settings.preferIPv6 ? AddressFamilies::PreferIPv6 : AddressFamilies::PreferIPv4;
    options.dns.transports = transports;
    SipStack stack(options);
    for (const TransportType type : transports) {
        for (const IpVersion version : {IpVersion::V4, IpVersion::V6}) {
            try {
                stack.AddTransport(type, version, "", 0, NeedsSecurity(type) ? &settings.security : nullptr);
            } catch (const std::exception& error) {
                if (version == IpVersion::V4) { // IPv6 may simply be missing on this host
                    std::cerr << "cannot open a " << ToString(type) << " transport: " << error.what() << "\n";
                    return TransportFailure;
                }
            }
        }
    }

    SipMessage request = MakeRequest(settings, target);
    const Clock::time_point sent = Clock::now();
    const TransactionId id = stack.SendRequest(std::move(request), route);
    const Clock::time_point deadline = sent + settings.wait;
    int status = TimedOut;
    bool final = false;
    while (!final) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        auto entry = stack.Queue().Pop(left);
        if (!entry || entry->transaction != id)
            continue;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
        switch (entry->kind) {
        case TransactionUserMessage::Kind::Response: {
            const SipMessage& response = *entry->message;
            std::cout << "SIP/2.0 " << response.StatusCode() << " " << response.ReasonPhrase() << "  from "
                      << ToString(entry->source.transport) << " " << entry->source.address.to_string() << ":"
                      << entry->source.port << "  " << elapsed << " ms\n";
            if (settings.verbose)
                std::cout << response.Encode() << "\n";
            if (response.StatusCode() >= 200) {
                status = response.StatusCode() < 300 ? Success : NotSuccess;
                final = true;
            }
            break;
        }
        case TransactionUserMessage::Kind::Timeout:
            std::cerr << "timeout: no final response from " << target.ToString() << " after " << elapsed << " ms\n";
            status = TimedOut;
            final = true;
            break;
        case TransactionUserMessage::Kind::TransportError:
            status = ReportTransportError(entry->error, target);
            final = true;
            break;
        case TransactionUserMessage::Kind::Terminated:
            final = true;
            break;
        case TransactionUserMessage::Kind::Request:
        case TransactionUserMessage::Kind::ResponseRefused:
        case TransactionUserMessage::Kind::FlowFailed:
        case TransactionUserMessage::Kind::ConnectionClosed:
            break; // not about our request
        }
    }
    if (!final && status == TimedOut)
        std::cerr << "timeout: no final response from " << target.ToString() << " within " << settings.wait.count()
                  << " s\n";
    stack.Shutdown();
    return status;
}

} // namespace

int main(int argc, char** argv) {
    const Settings settings = ParseArguments(argc, argv);
    try {
        return Run(settings);
    } catch (const std::exception& error) {
        std::cerr << "zel-sip-ping: " << error.what() << "\n";
        return TransportFailure;
    }
}
