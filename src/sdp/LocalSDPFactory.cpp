#include "sdp/LocalSDPFactory.h"

namespace zel::sip {

std::shared_ptr<stack::SdpBody> LocalSDPFactory::CreateLocalSDP(stack::sdp::AddrType addressType) const {
    auto body = std::make_shared<stack::SdpBody>();
    auto& session = body->Session();
    session.SetVersion(0);
    auto& origin = session.Origin();
    origin.userName = "Zelmor";
    origin.sessionId = random_.GenerateRandomUInt32();
    origin.sessionVersion = random_.GenerateRandomUInt32();
    origin.netType = "IN";
    origin.addrType = addressType;
    origin.address = computerNameProvider_.GetFQDN();
    session.SetName("Recording");
    session.Times().push_back(stack::sdp::Time{});
    return body;
}

} // namespace zel::sip
