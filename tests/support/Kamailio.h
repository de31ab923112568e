#pragma once

// kamailio (Debian `kamailio` with `kamailio-outbound-modules`) on loopback for one test or
// benchmark: a registrar and proxy, or a server answering OPTIONS 200 (the ceiling the transaction
// benchmark measures our stack against). The configuration is written into a temporary folder, the
// process runs in the foreground and is stopped in the destructor.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "support/Process.h"

namespace zel::sip::test {

/// What the configuration makes of kamailio.
enum class KamailioRole {
    /// Registrar (outbound, Path, optional digest) and proxy to the registered users.
    Registrar,
    /// Answers every OPTIONS 200 without keeping state (sl_send_reply): a retransmission is
    /// answered again as a new request.
    OptionsStateless,
    /// Answers every OPTIONS 200 from a server transaction (t_newtran, then t_reply): a
    /// retransmission is absorbed and the stored 200 sent again (RFC 3261 17.2.2).
    OptionsStateful,
};

struct KamailioOptions {
    KamailioRole role = KamailioRole::Registrar;
    /// Worker processes reading the UDP socket (kamailio's `children`).
    int children = 1;
    /// Ask for digest authentication (this password for every user of realm `realm`).
    std::string password;
    std::string realm = "127.0.0.1";
    /// registrar's outbound_mode: 0 none, 1 supported, 2 required (RFC 5626).
    int outboundMode = 1;
};

/// A registrar with RFC 5626 outbound and RFC 3327 Path on 127.0.0.1, UDP and TCP on one port,
/// answering STUN on UDP and CRLF keep-alives on TCP; it also routes requests to registered users
/// over their flows.
class Kamailio {
public:
    /// Whether kamailio and the modules `role` loads are installed (the registrar needs
    /// kamailio-outbound-modules).
    static bool Installed(KamailioRole role = KamailioRole::Registrar) {
        return ProgramInstalled("kamailio") &&
               (role != KamailioRole::Registrar ||
                std::filesystem::exists("/usr/lib/x86_64-linux-gnu/kamailio/modules/outbound.so"));
    }

    /// Starts kamailio on a free loopback port and returns once it listens there on UDP and TCP.
    /// Raises std::runtime_error, with its output, when it does not within 10 s.

    explicit Kamailio(KamailioOptions options = {}) {
        const std::string config = dir_.File("kamailio.cfg");
        try {
            std::tie(port_, process_) = StartOnFreePort(
                [&](std::uint16_t port) {
                    port_ = port;
                    std::ofstream(config) << Config(options);
                    return std::make_unique<ChildProcess>(
                        std::vector<std::string>{"kamailio", "-f", config, "-DD", "-E", "-w", dir_.Path().string(),
                                                 "-P", dir_.File("kamailio.pid"), "-Y", dir_.Path().string()},
                        dir_.File("kamailio.log"));
                },
                [](std::uint16_t port) { return TcpPortOpen(port) && UdpPortBound(port); }, std::chrono::seconds(10));
        } catch (const std::runtime_error& error) {
            throw std::runtime_error(std::string("kamailio did not start: ") + error.what());
        }
    }

    std::uint16_t Port() const noexcept { return port_; }
    std::string Log() const { return process_->Output(); }
    /// The number of lines of its log that match `pattern`.
    std::size_t LogLines(const std::string& pattern) const {
        const std::regex wanted(pattern);
        const std::string log = Log();
        return static_cast<std::size_t>(
            std::distance(std::sregex_iterator(log.begin(), log.end(), wanted), std::sregex_iterator()));
    }
    ChildProcess& Process() { return *process_; }

private:
    std::string Config(const KamailioOptions& options) const {
        const std::string listen = "127.0.0.1:" + std::to_string(port_);
        if (options.role != KamailioRole::Registrar) {
            return OptionsConfig(options, listen);
        }
        std::string authenticate;
        if (!options.password.empty()) {
            authenticate = "    if (!pv_www_authenticate(\"" + options.realm + "\", \"" + options.password +
                           "\", \"0\")) { www_challenge(\"" + options.realm + "\", \"0\"); exit; }\n";
        }
        return "#!KAMAILIO\n"
               "debug=2\nlog_stderror=yes\nfork=yes\nchildren=" + std::to_string(options.children) + "\ntcp_children=1\nauto_aliases=no\n"
               "listen=udp:" + listen + "\nlisten=tcp:" + listen + "\nalias=\"" + listen + "\"\n"
               "mpath=\"/usr/lib/x86_64-linux-gnu/kamailio/modules/\"\n"
               "loadmodule \"tm.so\"\nloadmodule \"sl.so\"\nloadmodule \"rr.so\"\nloadmodule \"pv.so\"\n"
               "loadmodule \"maxfwd.so\"\nloadmodule \"usrloc.so\"\nloadmodule \"registrar.so\"\n"
               "loadmodule \"textops.so\"\nloadmodule \"siputils.so\"\nloadmodule \"xlog.so\"\n"
               "loadmodule \"path.so\"\nloadmodule \"outbound.so\"\nloadmodule \"stun.so\"\nloadmodule \"auth.so\"\n"
               "modparam(\"registrar\", \"outbound_mode\", " + std::to_string(options.outboundMode) + ")\n"
               "modparam(\"registrar\", \"use_path\", 1)\n"
               "modparam(\"usrloc\", \"db_mode\", 0)\n"
               "modparam(\"rr\", \"enable_full_lr\", 1)\n"
               "request_route {\n"
               "  xlog(\"L_INFO\", \"request $rm $ru from $si:$sp/$pr\\n\");\n"
               "  if (is_method(\"REGISTER\")) {\n"
               "    xlog(\"L_INFO\", \"register $fu contact $ct expires $hdr(Expires)\\n\");\n" + authenticate +
               "    add_path();\n"
               "    if (!save(\"location\")) { sl_reply_error(); }\n"
               "    exit;\n"
               "  }\n"
               "  if (is_method(\"OPTIONS\") && uri==myself && $rU==$null) { sl_send_reply(\"200\", \"OK\"); exit; }\n"
               "  if (!loose_route()) {\n"
               "    if (is_method(\"INVITE\")) { record_route(); }\n"
               "    if (uri==myself && !lookup(\"location\")) { sl_send_reply(\"404\", \"Not Found\"); exit; }\n"
               "  }\n"
               "  t_relay();\n"
               "}\n";
    }

    /// Only what answering OPTIONS needs, and no logging per request: as a ceiling it must not pay
    /// for more than the work it is compared with. Anything but OPTIONS is refused 405.
    static std::string OptionsConfig(const KamailioOptions& options, const std::string& listen) {
        const bool stateful = options.role == KamailioRole::OptionsStateful;
        const std::string answer = stateful ? "    if (!t_newtran()) { sl_reply_error(); exit; }\n"
                                              "    t_reply(\"200\", \"OK\");\n"
                                            : "    sl_send_reply(\"200\", \"OK\");\n";
        return "#!KAMAILIO\n"
               "debug=1\nlog_stderror=yes\nfork=yes\nchildren=" + std::to_string(options.children) +
               "\ntcp_children=1\nauto_aliases=no\n"
               "listen=udp:" + listen + "\nlisten=tcp:" + listen + "\n"
               "mpath=\"/usr/lib/x86_64-linux-gnu/kamailio/modules/\"\n"
               "loadmodule \"sl.so\"\n" + (stateful ? "loadmodule \"tm.so\"\n" : "") +
               "request_route {\n"
               "  if (method==\"OPTIONS\") {\n" + answer +
               "    exit;\n"
               "  }\n"
               "  if (method!=\"ACK\") { sl_send_reply(\"405\", \"Method Not Allowed\"); }\n"
               "  exit;\n"
               "}\n";
    }

    TempDir dir_;
    std::uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace zel::sip::test
