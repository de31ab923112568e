#include "dum/ContentsFactory.h"

#include "core/Utils.h"
#include "stack/body/GenericBody.h"
#include "stack/body/MultipartBody.h"

#include <stdexcept>
#include <string>

namespace zel::sip {

namespace {

bool IsGiven(const char* text) noexcept { return text != nullptr && text[0] != '\0'; }

std::unique_ptr<stack::Body> MakeContents(const ::Contents& record) {
    if (!IsGiven(record.Data) || !IsGiven(record.ContentType)) {
        return nullptr;
    }
    auto body = std::make_unique<stack::GenericBody>(stack::ContentType::FromMime(Utils::ToMime(record.ContentType)),
                                                     std::string(record.Data));
    auto& headers = body->Headers();
    if (record.ContentDisposition != nullptr) {
        headers.disposition = record.ContentDisposition;
    }
    if (record.ContentTransferEncoding != nullptr) {
        headers.transferEncoding = record.ContentTransferEncoding;
    }
    if (record.ContentLanguage != nullptr) {
        headers.languages.emplace_back(record.ContentLanguage);
    }
    if (record.ContentID != nullptr) {
        headers.id = record.ContentID;
    }
    if (record.ContentDescription != nullptr) {
        headers.description = record.ContentDescription;
    }
    return body;
}

void AddParts(stack::MultipartBody& multipart, const ::Contents* contents, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        auto part = MakeContents(contents[i]);
        if (!part) {
            throw std::invalid_argument("contents record " + std::to_string(i) + " has no content type or no data");
        }
        multipart.AddPart(std::move(part));
    }
}

} // namespace

std::shared_ptr<stack::Body> ContentsFactory::CreateContents(const ::Contents* contents, std::size_t count) const {
    if (contents == nullptr || count == 0) {
        return nullptr;
    }
    if (count == 1) {
        return MakeContents(contents[0]);
    }
    auto multipart = std::make_shared<stack::MultipartBody>("mixed");
    AddParts(*multipart, contents, count);
    return multipart;
}

std::shared_ptr<stack::Body> ContentsFactory::CreateOffer(AddressType addressType, const ::Contents* contents,
                                                          std::size_t count) const {
    stack::sdp::AddrType sdpType;
    switch (addressType) {
    case AddressType::IPv4:
        sdpType = stack::sdp::AddrType::IP4;
        break;
    case AddressType::IPv6:
        sdpType = stack::sdp::AddrType::IP6;
        break;
    default:
        throw std::invalid_argument("unexpected address type: " +
                                    std::to_string(static_cast<std::int32_t>(addressType)));
    }
    auto offer = mediaNegotiator_.MakeOffer(sdpType);
    if (contents == nullptr || count == 0) {
        return offer;
    }
    auto multipart = std::make_shared<stack::MultipartBody>("mixed");
    multipart->AddPart(*offer);
    AddParts(*multipart, contents, count);
    return multipart;
}

} // namespace zel::sip
