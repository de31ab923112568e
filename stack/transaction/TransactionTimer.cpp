#include "stack/transaction/TransactionTimer.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace zel::sip::stack {

std::string_view ToString(TransactionTimer timer) noexcept {
    switch (timer) {
    case TransactionTimer::A: return "A";
    case TransactionTimer::B: return "B";
    case TransactionTimer::D: return "D";
    case TransactionTimer::E: return "E";
    case TransactionTimer::F: return "F";
    case TransactionTimer::G: return "G";
    case TransactionTimer::H: return "H";
    case TransactionTimer::I: return "I";
    case TransactionTimer::J: return "J";
    case TransactionTimer::K: return "K";
    case TransactionTimer::L: return "L";
    case TransactionTimer::M: return "M";
    case TransactionTimer::Trying: return "Trying";
    }
    return "?";
}

void TimerValues::Validate() const {
    if (t1.count() <= 0) {
        throw std::invalid_argument("transaction timer T1 must be positive");
    }
    if (t2 < t1) {
        throw std::invalid_argument("transaction timer T2 must not be shorter than T1");
    }
    if (t4.count() <= 0) {
        throw std::invalid_argument("transaction timer T4 must be positive");
    }
    // 64*T1 and the doubling of timer A up to it must not overflow.
    if (t1.count() > std::numeric_limits<std::chrono::milliseconds::rep>::max() / 256) {
        throw std::invalid_argument("transaction timer T1 is too large");
    }
}

std::chrono::milliseconds TimerValues::TimerD() const noexcept {
    return std::max(std::chrono::milliseconds{32000}, Timeout());
}

} // namespace zel::sip::stack
