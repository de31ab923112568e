#pragma once

#include "stack/dns/DnsSettings.h"

#include <ares.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zel::sip::stack::detail {

/// A c-ares channel driven by an Asio io_context: c-ares tells us (sock_state_cb) which of its sockets
/// to watch, we wait on them with stream descriptors that never own the socket, hand readiness back
/// with ares_process_fd, and keep one steady timer on ares_timeout() for retransmissions and timeouts.
/// No thread is started.
///
/// Thread rules: construct, use and destroy on the thread that runs the io_context (or while it is not
/// running). Handlers run on the io_context, never inside Query(). Destroying the channel drops every
/// outstanding query without calling its handler.
class AresChannel {
public:
    /// The c-ares status and the raw answer message (empty unless the server answered).
    using Handler = std::function<void(int status, const std::vector<unsigned char>& answer)>;

    /// Raises std::invalid_argument for a server list c-ares does not accept, std::runtime_error when
    /// the channel cannot be created.
    AresChannel(boost::asio::io_context& io, const DnsSettings& settings);
    ~AresChannel();

    AresChannel(const AresChannel&) = delete;
    AresChannel& operator=(const AresChannel&) = delete;

    /// Asks the servers one question of class IN (`type` is the numeric DNS type).
    void Query(const std::string& name, int type, Handler handler);

    /// The channel, for synchronous c-ares calls that need one (the hosts file look-up).
    ares_channel Native() const noexcept { return channel_; }

private:
    struct Socket;
    struct PendingQuery;

    static void OnSocketState(void* data, ares_socket_t fd, int readable, int writable);
    static void OnAnswer(void* arg, int status, int timeouts, unsigned char* answer, int length);

    void Watch(ares_socket_t fd, bool readable, bool writable);
    void Arm(const std::shared_ptr<Socket>& socket);
    void OnReady(const std::shared_ptr<Socket>& socket, bool read);
    void ScheduleTimer();

    boost::asio::io_context& io_;
    boost::asio::steady_timer timer_;
    ares_channel channel_ = nullptr;
    std::map<ares_socket_t, std::shared_ptr<Socket>> sockets_;
    /// Expires with the channel; handlers already posted check it before touching `this`.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace zel::sip::stack::detail
