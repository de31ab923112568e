#include "stack/core/SipStack.h"

#include <boost/asio/post.hpp>

#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <variant>

#include "stack/base/Log.h"
#include "stack/transport/Transports.h"

namespace zel::sip::stack {

namespace {

Destination DestinationOf(const Uri& uri) {
    if (!uri.IsSip()) {
        throw std::invalid_argument("SipStack::SendRequest: target '" + uri.ToString() + "' is not a sip or sips URI");
    }
    Destination destination;
    destination.host = uri.Host();
    if (uri.HasPort()) {
        destination.port = uri.Port();
    }
    if (const Parameter* transport = uri.Params().Find("transport"); transport != nullptr && transport->hasValue) {
        destination.transport = ParseTransportType(transport->value);
        if (!destination.transport) {
            throw std::invalid_argument("SipStack::SendRequest: unknown transport '" + transport->value + "'");
        }
    }
    destination.secure = uri.Scheme() == "sips";
    return destination;
}

void CheckAck(const SipMessage& ack);

void CheckRequest(const SipMessage& request) {
    if (!request.IsRequest() || request.Method().empty()) {
        throw std::invalid_argument("SipStack::SendRequest: the message is not a request");
    }
    if (request.RequestUri() == nullptr) {
        throw std::invalid_argument("SipStack::SendRequest: the request has no valid Request-URI");
    }
    const CSeq* cseq = request.Peek<CSeq>(HeaderType::CSeq);
    if (cseq == nullptr || cseq->Method() != request.Method()) {
        throw std::invalid_argument("SipStack::SendRequest: the request needs a CSeq with method " +
                                    std::string(request.Method()));
    }
}

void CheckAck(const SipMessage& ack) {
    CheckRequest(ack);
    if (ack.Method() != "ACK") {
        throw std::invalid_argument("SipStack::SendAck: the message is not an ACK");
    }
}

/// An error raised on the event thread, carried to the caller's thread as a value.
struct Failure {
    enum class Kind { System, InvalidArgument, Runtime };
    Kind kind;
    std::string what;
    std::error_code code;

    [[noreturn]] void Raise() const {
        switch (kind) {
        case Kind::System: {
            // std::system_error appends ": " and the code's message to what it is given.
            std::string text = what;
            const std::string suffix = ": " + code.message();
            if (text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
                text.resize(text.size() - suffix.size());
            }
            throw std::system_error(code, text);
        }
        case Kind::InvalidArgument:
            throw std::invalid_argument(what);
        case Kind::Runtime:
            break;
        }
        throw std::runtime_error(what);
    }
};

} // namespace

SipStack::SipStack(StackOptions options)
    : options_((options.Validate(), std::move(options))),
      queue_(std::make_shared<TransactionUserQueue>(clock_, options_.queue)),
      congestion_(options_.congestionTolerance), workGuard_(boost::asio::make_work_guard(io_)),
      locator_(std::make_unique<ServerLocator>(io_, options_.dns)),
      layer_(std::make_unique<TransactionLayer>(io_, options_.transactions, *queue_, congestion_, clock_,
                                                locator_.get())),
      thread_([this] { RunEventLoop(); }) {}

SipStack::~SipStack() {
    if (IsEventThread()) {
        ZEL_LOG(Crit, "the SIP stack was destroyed on its own event thread");
        std::terminate();
    }
    Shutdown();
}

void SipStack::RunEventLoop() {
    eventThreadId_.store(std::this_thread::get_id());
    for (;;) {
        try {
            io_.run();
            break;
        } catch (const std::exception& error) {
            // A handler raised; the loop carries on with the rest.
            ZEL_LOG(Err, "SIP stack event loop: {}", error.what());
        } catch (...) {
            ZEL_LOG(Err, "SIP stack event loop: unknown error");
        }
    }
    finished_.set_value();
}

void SipStack::CheckRunning() const {
    if (stopping_.load()) {
        throw std::logic_error("the SIP stack is shut down");
    }
}

Tuple SipStack::AddTransport(TransportType type, IpVersion version, std::string_view address, std::uint16_t port,
                             const SecuritySettings* security) {
    if (IsEventThread()) {
        throw std::logic_error("SipStack::AddTransport cannot run on the stack's event thread");
    }
    if (IsSecure(type) && security == nullptr) {
        throw std::invalid_argument("a " + std::string(ToString(type)) + " transport needs security settings");
    }
    std::lock_guard lock(controlMutex_);
    CheckRunning();
    TransportOptions transportOptions;
    transportOptions.ipVersion = version;
    transportOptions.bindAddress = std::string(address);
    transportOptions.port = port;
    transportOptions.limits = options_.transportLimits;
    transportOptions.messageLogger = options_.messageLogger;
    transportOptions.receiver = layer_.get();
    std::optional<SecuritySettings> securityCopy;
    if (security != nullptr) {
        securityCopy = *security;
    }

    // The outcome crosses threads as a value and is raised again here: an exception object shared
    // between threads would be released on whichever thread drops it last.
    std::promise<std::variant<Tuple, Failure>> bound;
    auto result = bound.get_future();
    boost::asio::post(io_, [&] {
        try {
            std::shared_ptr<Transport> transport;
            switch (type) {
            case TransportType::UDP:
                transport = MakeUdpTransport(io_, transportOptions);
                break;
            case TransportType::TCP:
                transport = MakeTcpTransport(io_, transportOptions);
                break;
            case TransportType::TLS:
                transport = MakeTlsTransport(io_, transportOptions, *securityCopy);
                break;
            case TransportType::DTLS:
                transport = MakeDtlsTransport(io_, transportOptions, *securityCopy);
                break;
            case TransportType::WS:
                transport = MakeWsTransport(io_, transportOptions);
                break;
            case TransportType::WSS:
                transport = MakeWssTransport(io_, transportOptions, *securityCopy);
                break;
            }
            const Tuple local = transport->LocalTuple();
            layer_->AddTransport(std::move(transport));
            bound.set_value(local);
        } catch (const std::system_error& error) {
            bound.set_value(Failure{Failure::Kind::System, error.what(), error.code()});
        } catch (const std::invalid_argument& error) {
            bound.set_value(Failure{Failure::Kind::InvalidArgument, error.what(), {}});
        } catch (const std::exception& error) {
            bound.set_value(Failure{Failure::Kind::Runtime, error.what(), {}});
        }
    });
    auto outcome = result.get(); // the loop runs until Shutdown, which waits for controlMutex_
    if (const Tuple* local = std::get_if<Tuple>(&outcome)) {
        return *local;
    }
    std::get<Failure>(outcome).Raise();
}

void SipStack::AttachTransactionUser(boost::asio::any_io_executor executor, TransactionUserSink& sink) {
    CheckRunning();
    if (!executor) {
        throw std::invalid_argument("SipStack::AttachTransactionUser: no executor");
    }
    try {
        queue_->DeliverTo(std::move(executor), sink);
    } catch (const std::logic_error&) {
        throw std::logic_error("SipStack::AttachTransactionUser: a transaction user is attached already");
    }
}

TransactionId SipStack::Post(SipMessage request, TransactionLayer::RequestTarget target, RequestOptions options,
                             bool ack) {
    CheckRunning();
    if (ack) {
        CheckAck(request);
    } else {
        CheckRequest(request);
    }
    const TransactionId id = layer_->AllocateId();
    boost::asio::post(io_, [this, id, request = std::move(request), target = std::move(target), options,
                            ack]() mutable {
        if (ack) {
            layer_->SendAck(id, std::move(request), target, options);
        } else {
            layer_->SendRequest(id, std::move(request), target, options);
        }
    });
    return id;
}

TransactionId SipStack::SendRequest(SipMessage request, const Uri& target, RequestOptions options) {
    CheckRunning();
    Destination destination = DestinationOf(target);
    return Post(std::move(request), std::move(destination), options, false);
}

TransactionId SipStack::SendRequest(SipMessage request, const Tuple& target, RequestOptions options) {
    return Post(std::move(request), target, options, false);
}

TransactionId SipStack::SendRequest(SipMessage request, const Flow& flow, RequestOptions options) {
    return Post(std::move(request), flow, options, false);
}

TransactionId SipStack::SendRequestLike(SipMessage request, TransactionId earlier, RequestOptions options) {
    return Post(std::move(request), SameTargetAs{earlier}, options, false);
}

void SipStack::ForgetTarget(TransactionId transaction) {
    if (stopping_.load()) {
        return; // nothing is kept any more: there is nothing to let go of
    }
    boost::asio::post(io_, [this, transaction] { layer_->ForgetTarget(transaction); });
}

TransactionId SipStack::SendAck(SipMessage ack, const Uri& target, RequestOptions options) {
    CheckRunning();
    Destination destination = DestinationOf(target);
    return Post(std::move(ack), std::move(destination), options, true);
}

TransactionId SipStack::SendAck(SipMessage ack, const Tuple& target, RequestOptions options) {
    return Post(std::move(ack), target, options, true);
}

TransactionId SipStack::SendAck(SipMessage ack, const Flow& flow, RequestOptions options) {
    return Post(std::move(ack), flow, options, true);
}

TransactionId SipStack::SendAckLike(SipMessage ack, TransactionId earlier, RequestOptions options) {
    return Post(std::move(ack), SameTargetAs{earlier}, options, true);
}

void SipStack::RetransmitAck(TransactionId ack) {
    CheckRunning();
    boost::asio::post(io_, [this, ack] { layer_->RetransmitAck(ack); });
}

void SipStack::ForgetAck(TransactionId ack) {
    if (stopping_.load()) {
        return; // nothing is kept any more: there is nothing to let go of
    }
    boost::asio::post(io_, [this, ack] { layer_->ForgetAck(ack); });
}

void SipStack::StartKeepAlive(const Flow& flow, std::chrono::milliseconds interval) {
    CheckRunning();
    if (interval.count() <= 0) {
        throw std::invalid_argument("SipStack::StartKeepAlive: the interval must be positive");
    }
    const TransportType type = flow.remote.transport;
    if (type != TransportType::UDP && type != TransportType::TCP && type != TransportType::TLS) {
        throw std::invalid_argument("SipStack::StartKeepAlive: no keep-alive for " + std::string(ToString(type)) +
                                    " flows");
    }
    boost::asio::post(io_, [this, flow, interval] { layer_->StartKeepAlive(flow, interval); });
}

void SipStack::StopKeepAlive(const Flow& flow) {
    if (stopping_.load()) {
        return; // nothing is kept any more: there is nothing to let go of
    }
    boost::asio::post(io_, [this, flow] { layer_->StopKeepAlive(flow); });
}

TransactionId SipStack::SendCancel(TransactionId invite) {
    CheckRunning();
    const TransactionId id = layer_->AllocateId();
    boost::asio::post(io_, [this, id, invite] { layer_->SendCancel(id, invite); });
    return id;
}

TransactionId SipStack::SendCancel(TransactionId invite, SipMessage model) {
    CheckRunning();
    if (!model.IsRequest()) {
        throw std::invalid_argument("SipStack::SendCancel: the model is not a request");
    }
    const TransactionId id = layer_->AllocateId();
    boost::asio::post(io_, [this, id, invite, model = std::move(model)]() mutable {
        layer_->SendCancel(id, invite, std::move(model));
    });
    return id;
}

void SipStack::SendResponse(TransactionId transaction, SipMessage response) {
    CheckRunning();
    if (!response.IsResponse()) {
        throw std::invalid_argument("SipStack::SendResponse: the message is not a response");
    }
    boost::asio::post(io_, [this, transaction, response = std::move(response)]() mutable {
        layer_->SendResponse(transaction, std::move(response));
    });
}

void SipStack::Shutdown() {
    if (IsEventThread()) {
        throw std::logic_error("SipStack::Shutdown cannot run on the stack's event thread: it would join itself");
    }
    std::lock_guard lock(controlMutex_);
    if (joined_) {
        return;
    }
    stopping_.store(true);
    boost::asio::post(io_, [this] { layer_->Shutdown(); });
    workGuard_.reset();
    std::future<void> finished = finished_.get_future();
    if (finished.wait_for(options_.drainTimeout) != std::future_status::ready) {
        ZEL_LOG(Warning, "SIP stack: the event loop did not drain within {} ms; stopping it",
                options_.drainTimeout.count());
        io_.stop();
    }
    thread_.join();
    joined_ = true;
    eventThreadId_.store(std::thread::id{});
    // The layer and the locator stay (idle) until the destructor: calls racing with this one may
    // still post to the loop, which no longer runs.
    queue_->Close();
    queue_->StopDelivery();
}

} // namespace zel::sip::stack
