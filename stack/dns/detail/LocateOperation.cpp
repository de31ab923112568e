#include "stack/dns/detail/LocateOperation.h"

#include "stack/base/Log.h"
#include "stack/dns/DnsError.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace zel::sip::stack::detail {

namespace {

using Question = std::pair<RecordType, std::string>;

/// Asks every question at once and calls `done` with the answers in question order when the last
/// one is in. `questions` must not be empty.
void Gather(DnsClient& client, const std::vector<Question>& questions,
            std::function<void(const std::vector<RecordSet>&)> done) {
    struct State {
        std::vector<RecordSet> answers;
        std::size_t remaining;
        std::function<void(const std::vector<RecordSet>&)> done;
    };
    auto state = std::make_shared<State>(State{std::vector<RecordSet>(questions.size()), questions.size(), std::move(done)});
    for (std::size_t i = 0; i < questions.size(); ++i)
        client.Query(questions[i].first, questions[i].second, [state, i](const RecordSet& records) {
            state->answers[i] = records;
            if (--state->remaining == 0)
                state->done(state->answers);
        });
}

bool IsNegative(const std::error_code& error) {
    return error == make_error_code(DnsError::NotFound) || error == make_error_code(DnsError::NoRecords);
}

} // namespace

LocateOperation::LocateOperation(DnsClient& client, const DnsSettings& settings, std::mt19937& random,
                                 Destination destination, std::string domain, Finish finish)
    : client_(client), settings_(settings), random_(random), destination_(std::move(destination)),
      domain_(std::move(domain)), finish_(std::move(finish)) {}

void LocateOperation::Start() {
    const bool secure = destination_.secure;
    std::optional<TransportType> transport;
    if (destination_.transport) {
        transport = TransportFor(*destination_.transport, secure);
        const auto& supported = settings_.transports;
        if (!transport || std::find(supported.begin(), supported.end(), *transport) == supported.end())
            return Fail(DnsError::UnsupportedTransport);
    }
    // RFC 3263 section 4.2: a port skips NAPTR and SRV.
    if (destination_.port) {
        if (!transport)
            transport = DefaultTransport(secure, settings_.transports);
        if (!transport)
            return Fail(DnsError::UnsupportedTransport);
        return LookUpAddresses({{domain_, *destination_.port, *transport}});
    }
    // RFC 3263 section 4.1: a transport parameter skips NAPTR; SRV for that transport alone.
    if (transport)
        return LookUpSrv({{*transport, SrvName(*transport, domain_)}}, false);
    LookUpNaptr();
}

void LocateOperation::LookUpNaptr() {
    client_.Query(RecordType::NAPTR, domain_,
                  [self = shared_from_this()](const RecordSet& records) { self->OnNaptr(records); });
}

void LocateOperation::OnNaptr(const RecordSet& records) {
    Note(records.error);
    auto choices = records.error ? std::vector<NaptrChoice>()
                                 : SelectNaptr(records.naptr, destination_.secure, settings_.transports);
    if (choices.empty())
        return SrvPerTransport();
    LookUpSrv(std::move(choices), true);
}

void LocateOperation::SrvPerTransport() {
    // RFC 3263 section 4.1: without NAPTR records, an SRV query for each transport we support.
    std::vector<NaptrChoice> questions;
    for (const TransportType transport : settings_.transports) {
        if ((destination_.secure && !IsSecure(transport)) || transport == TransportType::DTLS)
            continue;
        questions.push_back({transport, SrvName(transport, domain_)});
    }
    if (questions.empty())
        return Fail(DnsError::UnsupportedTransport);
    LookUpSrv(std::move(questions), false);
}

void LocateOperation::LookUpSrv(std::vector<NaptrChoice> questions, bool fromNaptr) {
    // The questions come in order of preference: the cut keeps the preferred ones.
    if (questions.size() > settings_.maxNamesPerStep) {
        ZEL_LOG(Warning, "DNS: {} leads to {} SRV names; only the first {} are looked up (maxNamesPerStep)", domain_,
                questions.size(), settings_.maxNamesPerStep);
        questions.resize(settings_.maxNamesPerStep);
    }
    std::vector<Question> asked;
    for (const auto& choice : questions)
        asked.emplace_back(RecordType::SRV, choice.srvName);
    Gather(client_, asked,
           [self = shared_from_this(), questions = std::move(questions), fromNaptr](const std::vector<RecordSet>& answers) {
               self->OnSrv(questions, fromNaptr, answers);
           });
}

void LocateOperation::OnSrv(const std::vector<NaptrChoice>& questions, bool fromNaptr,
                            const std::vector<RecordSet>& answers) {
    std::vector<Endpoint> endpoints;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        Note(answers[i].error);
        if (answers[i].error)
            continue;
        for (auto& record : OrderSrv(answers[i].srv, random_))
            endpoints.push_back({std::move(record.target), record.port, questions[i].transport});
    }
    if (!endpoints.empty())
        return LookUpAddresses(std::move(endpoints));
    // NAPTR pointed at SRV names that gave nothing: carry on as if there were no NAPTR records.
    if (fromNaptr)
        return SrvPerTransport();
    // RFC 3263 section 4.2: no SRV records, so the domain's own addresses on the default port.
    const std::optional<TransportType> transport =
        questions.size() == 1 && destination_.transport ? std::optional(questions.front().transport)
                                                        : DefaultTransport(destination_.secure, settings_.transports);
    if (!transport)
        return Fail(DnsError::UnsupportedTransport);
    LookUpAddresses({{domain_, DefaultPort(*transport), *transport}});
}

void LocateOperation::LookUpAddresses(std::vector<Endpoint> endpoints) {
    std::vector<RecordType> types;
    switch (settings_.families) {
    case AddressFamilies::IPv4Only: types = {RecordType::A}; break;
    case AddressFamilies::IPv6Only: types = {RecordType::AAAA}; break;
    case AddressFamilies::PreferIPv4: types = {RecordType::A, RecordType::AAAA}; break;
    case AddressFamilies::PreferIPv6: types = {RecordType::AAAA, RecordType::A}; break;
    }
    // Each distinct host once, in order of first appearance (the order of preference); endpoints
    // of hosts past the bound are dropped.
    std::unordered_set<std::string> known;
    std::vector<std::string> hosts;
    std::size_t droppedEndpoints = 0;
    std::erase_if(endpoints, [&](const Endpoint& endpoint) {
        if (known.contains(endpoint.host))
            return false;
        if (hosts.size() >= settings_.maxNamesPerStep) {
            ++droppedEndpoints;
            return true;
        }
        known.insert(endpoint.host);
        hosts.push_back(endpoint.host);
        return false;
    });
    if (droppedEndpoints > 0)
        ZEL_LOG(Warning, "DNS: {} names more hosts than the {} looked up (maxNamesPerStep); {} SRV targets dropped",
                domain_, settings_.maxNamesPerStep, droppedEndpoints);
    std::vector<Question> asked;
    for (const auto& host : hosts)
        for (const RecordType type : types)
            asked.emplace_back(type, host);
    Gather(client_, asked,
           [self = shared_from_this(), endpoints = std::move(endpoints), typeCount = types.size(),
            hosts = std::move(hosts)](const std::vector<RecordSet>& answers) {
               std::error_code negative;
               std::error_code other;
               for (const auto& answer : answers) {
                   const auto& error = answer.error;
                   self->Note(error);
                   if (error == make_error_code(DnsError::NoRecords) || (IsNegative(error) && !negative))
                       negative = error;
                   else if (error && !IsNegative(error) && !other)
                       other = error;
               }
               // Views into the handler's own `hosts`, which no longer changes.
               std::unordered_map<std::string_view, std::size_t> index;
               for (std::size_t i = 0; i < hosts.size(); ++i)
                   index.emplace(hosts[i], i);
               self->MakeTargets(endpoints, index, typeCount, answers, other ? other : negative);
           });
}

namespace {

/// Hashes the parts of a tuple a target is told apart by (address, port, transport).
struct TupleHash {
    std::size_t operator()(const Tuple& tuple) const noexcept {
        std::size_t hash = 0;
        const auto mix = [&hash](std::size_t value) { hash ^= value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2); };
        if (tuple.address.is_v4()) {
            mix(tuple.address.to_v4().to_uint());
        } else {
            for (const unsigned char byte : tuple.address.to_v6().to_bytes())
                mix(byte);
        }
        mix(tuple.port);
        mix(static_cast<std::size_t>(tuple.transport));
        return hash;
    }
};

} // namespace

void LocateOperation::MakeTargets(const std::vector<Endpoint>& endpoints,
                             const std::unordered_map<std::string_view, std::size_t>& hostIndex, std::size_t typeCount,
                             const std::vector<RecordSet>& answers, std::error_code failure) {
    // Answers are laid out host by host, one per record type in order of preference. A tuple is
    // tried once, the first time it appears, whichever SRV target led to it.
    std::vector<Target> targets;
    std::unordered_set<Tuple, TupleHash> seen;
    std::size_t dropped = 0;
    for (const auto& endpoint : endpoints) {
        const std::size_t first = hostIndex.at(endpoint.host) * typeCount;
        for (std::size_t type = 0; type < typeCount; ++type)
            for (const auto& address : answers[first + type].addresses) {
                Tuple tuple{address, endpoint.port, endpoint.transport};
                if (seen.contains(tuple))
                    continue;
                if (targets.size() >= settings_.maxTargets) {
                    ++dropped;
                    continue;
                }
                seen.insert(tuple);
                targets.push_back({std::move(tuple), destination_.host, endpoint.host});
            }
    }
    if (dropped > 0)
        ZEL_LOG(Warning, "DNS: {} gives more than {} targets (maxTargets); {} dropped", destination_.host,
                settings_.maxTargets, dropped);
    if (targets.empty())
        return Fail(failure ? failure : make_error_code(DnsError::NoRecords));
    auto finish = std::move(finish_);
    finish({}, std::move(targets));
}

void LocateOperation::Note(const std::error_code& error) {
    if (IsTransient(error) && !transient_)
        transient_ = error;
}

void LocateOperation::Fail(std::error_code error) {
    // A timeout anywhere on the way makes a negative answer at the end unreliable: report the timeout.
    if (transient_ && (IsNegative(error) || !error))
        error = transient_;
    ZEL_LOG(Debug, "DNS: no target for {}: {}", destination_.host, error.message());
    auto finish = std::move(finish_);
    finish(error, {});
}

} // namespace zel::sip::stack::detail
