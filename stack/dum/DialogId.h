#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace zel::sip::stack {

/// Identifies the dialogs created by one request of ours, or by one request we received
/// (RFC 3261 section 12): the Call-ID and our local tag. Forked responses share it; each dialog of
/// the set adds the remote tag. A value type.
struct DialogSetId {
    std::string callId;
    std::string localTag;

    friend bool operator==(const DialogSetId&, const DialogSetId&) = default;
};

/// The dialog identifier of RFC 3261 section 12: Call-ID, local tag and remote tag, compared byte
/// for byte (tags and Call-ID are case-sensitive tokens). The remote tag is empty only for a dialog
/// with a peer that sent no From tag (RFC 2543 section 12.1.1 compatibility). A value type.
struct DialogId {
    std::string callId;
    std::string localTag;
    std::string remoteTag;

    /// The identifier of the dialog set this dialog belongs to.
    DialogSetId SetId() const { return DialogSetId{callId, localTag}; }

    friend bool operator==(const DialogId&, const DialogId&) = default;
};

namespace detail {
inline std::size_t CombineHash(std::size_t seed, const std::string& text) noexcept {
    // The usual golden-ratio mixing; collisions only cost a bucket walk.
    return seed ^ (std::hash<std::string>{}(text) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}
} // namespace detail

} // namespace zel::sip::stack

template <>
struct std::hash<zel::sip::stack::DialogSetId> {
    std::size_t operator()(const zel::sip::stack::DialogSetId& id) const noexcept {
        return zel::sip::stack::detail::CombineHash(std::hash<std::string>{}(id.callId), id.localTag);
    }
};

template <>
struct std::hash<zel::sip::stack::DialogId> {
    std::size_t operator()(const zel::sip::stack::DialogId& id) const noexcept {
        using zel::sip::stack::detail::CombineHash;
        return CombineHash(CombineHash(std::hash<std::string>{}(id.callId), id.localTag), id.remoteTag);
    }
};
