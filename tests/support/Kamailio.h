#pragma once

// kamailio (Debian `kamailio` with `kamailio-outbound-modules`) as a registrar and proxy on
// loopback for one test: the test writes its configuration, starts it in the foreground and stops
// it in the destructor.

#include <cstdint>
#include <fstream>
#include <string>

#include "support/Process.h"

namespace zel::sip::test {

struct KamailioOptions {
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
    static bool Installed() {
        return ProgramInstalled("kamailio") &&
               std::filesystem::exists("/usr/lib/x86_64-linux-gnu/kamailio/modules/outbound.so");
    }

    explicit Kamailio(KamailioOptions options = {}) : port_(FreePort()) {
        const std::string config = dir_.File("kamailio.cfg");
        std::ofstream(config) << Config(options);
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"kamailio", "-f", config, "-DD", "-E", "-w", dir_.Path().string(), "-P",
                                     dir_.File("kamailio.pid"), "-Y", dir_.Path().string()},
            dir_.File("kamailio.log"));
        if (!WaitUntil([this] { return TcpPortOpen(port_) && UdpPortBound(port_); }, std::chrono::seconds(10))) {
            throw std::runtime_error("kamailio did not start:\n" + process_->Output());
        }
    }

    std::uint16_t Port() const noexcept { return port_; }
    std::string Log() const { return process_->Output(); }
    ChildProcess& Process() { return *process_; }

private:
    std::string Config(const KamailioOptions& options) const {
        const std::string listen = "127.0.0.1:" + std::to_string(port_);
        std::string authenticate;
        if (!options.password.empty()) {
            authenticate = "    if (!pv_www_authenticate(\"" + options.realm + "\", \"" + options.password +
                           "\", \"0\")) { www_challenge(\"" + options.realm + "\", \"0\"); exit; }\n";
        }
        return "#!KAMAILIO\n"
               "debug=2\nlog_stderror=yes\nfork=yes\nchildren=1\ntcp_children=1\nauto_aliases=no\n"
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

    TempDir dir_;
    std::uint16_t port_;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace zel::sip::test
