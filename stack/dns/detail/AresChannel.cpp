#include "stack/dns/detail/AresChannel.h"

#include "stack/base/Log.h"

#include <boost/asio/post.hpp>

#include <mutex>
#include <stdexcept>

namespace zel::sip::stack::detail {

namespace {

constexpr int kClassIn = 1;

void InitializeLibrary() {
    static std::once_flag once;
    static int status = ARES_SUCCESS;
    std::call_once(once, [] { status = ares_library_init(ARES_LIB_INIT_ALL); });
    if (status != ARES_SUCCESS)
        throw std::runtime_error(std::string("cannot initialise c-ares: ") + ares_strerror(status));
}

std::string JoinServers(const std::vector<std::string>& servers) {
    std::string csv;
    for (const auto& server : servers) {
        if (!csv.empty())
            csv += ',';
        csv += server;
    }
    return csv;
}

} // namespace

struct AresChannel::Socket {
    Socket(boost::asio::io_context& io, ares_socket_t socketFd) : descriptor(io), fd(socketFd) {}
    ~Socket() {
        // c-ares owns and closes the socket; the descriptor only watches it.
        if (descriptor.is_open())
            descriptor.release();
    }

    boost::asio::posix::stream_descriptor descriptor;
    ares_socket_t fd;
    bool wantRead = false;
    bool wantWrite = false;
    bool readWaiting = false;
    bool writeWaiting = false;
    bool closed = false;
};

struct AresChannel::PendingQuery {
    AresChannel* channel;
    std::weak_ptr<int> alive;
    Handler handler;
};

AresChannel::AresChannel(boost::asio::io_context& io, const DnsSettings& settings) : io_(io), timer_(io) {
    InitializeLibrary();
    ares_options options{};
    options.sock_state_cb = &AresChannel::OnSocketState;
    options.sock_state_cb_data = this;
    options.timeout = static_cast<int>(settings.timeout.count());
    options.tries = settings.tries;
    const int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    const int status = ares_init_options(&channel_, &options, mask);
    if (status != ARES_SUCCESS)
        throw std::runtime_error(std::string("cannot create the DNS resolver: ") + ares_strerror(status));
    if (!settings.servers.empty()) {
        const std::string csv = JoinServers(settings.servers);
        const int serverStatus = ares_set_servers_ports_csv(channel_, csv.c_str());
        if (serverStatus != ARES_SUCCESS) {
            ares_destroy(channel_);
            throw std::invalid_argument("invalid DNS server list \"" + csv + "\": " + ares_strerror(serverStatus));
        }
    }
}

AresChannel::~AresChannel() {
    // Answers ARES_EDESTRUCTION to every outstanding query (dropped in OnAnswer) and reports each socket
    // closed through OnSocketState, which stops watching it.
    ares_destroy(channel_);
    sockets_.clear();
}

void AresChannel::Query(const std::string& name, int type, Handler handler) {
    auto* pending = new PendingQuery{this, alive_, std::move(handler)};
    ares_query(channel_, name.c_str(), kClassIn, type, &AresChannel::OnAnswer, pending);
    ScheduleTimer();
}

void AresChannel::OnAnswer(void* arg, int status, int /*timeouts*/, unsigned char* answer, int length) {
    std::unique_ptr<PendingQuery> pending(static_cast<PendingQuery*>(arg));
    if (status == ARES_EDESTRUCTION)
        return;
    std::vector<unsigned char> message;
    if (answer && length > 0)
        message.assign(answer, answer + length);
    // Always through the loop: c-ares may answer inside ares_query() itself, and a handler must be free
    // to start queries or destroy the channel.
    boost::asio::post(pending->channel->io_, [alive = pending->alive, handler = std::move(pending->handler),
                                              status, message = std::move(message)] {
        if (!alive.expired())
            handler(status, message);
    });
}

void AresChannel::OnSocketState(void* data, ares_socket_t fd, int readable, int writable) {
    static_cast<AresChannel*>(data)->Watch(fd, readable != 0, writable != 0);
}

void AresChannel::Watch(ares_socket_t fd, bool readable, bool writable) {
    auto it = sockets_.find(fd);
    if (!readable && !writable) {
        // c-ares closes the socket right after this call; a later socket may get the same number.
        if (it != sockets_.end()) {
            it->second->closed = true;
            if (it->second->descriptor.is_open())
                it->second->descriptor.release();
            sockets_.erase(it);
        }
        return;
    }
    if (it == sockets_.end()) {
        auto socket = std::make_shared<Socket>(io_, fd);
        boost::system::error_code error;
        socket->descriptor.assign(fd, error);
        if (error) {
            // The query on this socket will time out through the timer.
            ZEL_LOG(Err, "DNS: cannot watch socket {}: {}", fd, error.message());
            return;
        }
        it = sockets_.emplace(fd, std::move(socket)).first;
    }
    it->second->wantRead = readable;
    it->second->wantWrite = writable;
    Arm(it->second);
}

void AresChannel::Arm(const std::shared_ptr<Socket>& socket) {
    using Descriptor = boost::asio::posix::stream_descriptor;
    if (socket->wantRead && !socket->readWaiting) {
        socket->readWaiting = true;
        socket->descriptor.async_wait(Descriptor::wait_read,
                                      [this, alive = std::weak_ptr<int>(alive_), socket](boost::system::error_code error) {
                                          socket->readWaiting = false;
                                          if (!error && !alive.expired() && !socket->closed)
                                              OnReady(socket, true);
                                      });
    }
    if (socket->wantWrite && !socket->writeWaiting) {
        socket->writeWaiting = true;
        socket->descriptor.async_wait(Descriptor::wait_write,
                                      [this, alive = std::weak_ptr<int>(alive_), socket](boost::system::error_code error) {
                                          socket->writeWaiting = false;
                                          if (!error && !alive.expired() && !socket->closed)
                                              OnReady(socket, false);
                                      });
    }
}

void AresChannel::OnReady(const std::shared_ptr<Socket>& socket, bool read) {
    if (read ? !socket->wantRead : !socket->wantWrite)
        return;
    ares_process_fd(channel_, read ? socket->fd : ARES_SOCKET_BAD, read ? ARES_SOCKET_BAD : socket->fd);
    if (!socket->closed)
        Arm(socket);
    ScheduleTimer();
}

void AresChannel::ScheduleTimer() {
    timeval next{};
    if (!ares_timeout(channel_, nullptr, &next)) {
        timer_.cancel();
        return;
    }
    timer_.expires_after(std::chrono::seconds(next.tv_sec) + std::chrono::microseconds(next.tv_usec));
    timer_.async_wait([this, alive = std::weak_ptr<int>(alive_)](boost::system::error_code error) {
        if (error || alive.expired())
            return;
        ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        ScheduleTimer();
    });
}

} // namespace zel::sip::stack::detail
