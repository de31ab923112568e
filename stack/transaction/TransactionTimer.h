#pragma once

#include <chrono>
#include <string_view>

namespace zel::sip::stack {

/// The timers of RFC 3261 section 17 (table 4) and RFC 6026 (L, M), plus the 200 ms timer after
/// which a server INVITE transaction sends 100 Trying on its own (RFC 3261 section 17.2.1).
enum class TransactionTimer {
    A,      ///< client INVITE: request retransmission (unreliable transports only)
    B,      ///< client INVITE: transaction timeout
    D,      ///< client INVITE: wait time for response retransmissions in Completed
    E,      ///< client non-INVITE: request retransmission (unreliable transports only)
    F,      ///< client non-INVITE: transaction timeout
    G,      ///< server INVITE: final response retransmission (unreliable transports only)
    H,      ///< server INVITE: wait time for the ACK
    I,      ///< server INVITE: wait time for ACK retransmissions in Confirmed
    J,      ///< server non-INVITE: wait time for request retransmissions in Completed
    K,      ///< client non-INVITE: wait time for response retransmissions in Completed
    L,      ///< server INVITE: wait time for INVITE retransmissions in Accepted (RFC 6026)
    M,      ///< client INVITE: wait time for 2xx retransmissions in Accepted (RFC 6026)
    Trying, ///< server INVITE: 100 Trying unless the TU answered within 200 ms
};

/// "A" ... "M", "Trying": for logs.
std::string_view ToString(TransactionTimer timer) noexcept;

/// The base timer values of RFC 3261 section 17 (table 4). Every other timer derives from them.
struct TimerValues {
    std::chrono::milliseconds t1{500};  ///< round-trip time estimate
    std::chrono::milliseconds t2{4000}; ///< cap of the non-INVITE request and INVITE response retransmission interval
    std::chrono::milliseconds t4{5000}; ///< longest time a message stays in the network

    /// Raises std::invalid_argument unless 0 < t1 <= t2, t4 > 0 and 64*T1 fits the type.
    void Validate() const;

    /// 64*T1: timers B, F, H, J (unreliable), L, M.
    std::chrono::milliseconds Timeout() const noexcept { return 64 * t1; }
    /// Timer D on unreliable transports: at least 32 s (RFC 3261 section 17.1.1.2), and never
    /// shorter than the time a server retransmits its final response (64*T1, timer H).
    std::chrono::milliseconds TimerD() const noexcept;
};

/// The 100 Trying delay of RFC 3261 section 17.2.1.
inline constexpr std::chrono::milliseconds kTryingDelay{200};

} // namespace zel::sip::stack
