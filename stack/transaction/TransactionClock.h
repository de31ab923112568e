#pragma once

#include <chrono>

namespace zel::sip::stack {

/// The time source of the transaction cores. Injected so that tests drive the state machines
/// deterministically; the stack uses SteadyTransactionClock.
///
/// Thread rules: called on the thread that runs the transactions only.
class TransactionClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~TransactionClock() = default;
    virtual TimePoint Now() const = 0;
};

/// std::chrono::steady_clock.
class SteadyTransactionClock final : public TransactionClock {
public:
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }
};

} // namespace zel::sip::stack
