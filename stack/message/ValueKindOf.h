#pragma once

#include <memory>
#include <string>

#include "stack/message/Auth.h"
#include "stack/message/CSeq.h"
#include "stack/message/CallId.h"
#include "stack/message/HeaderType.h"
#include "stack/message/Mime.h"
#include "stack/message/NameAddr.h"
#include "stack/message/Number.h"
#include "stack/message/Text.h"
#include "stack/message/Token.h"
#include "stack/message/Via.h"
#include "stack/message/Warning.h"

namespace zel::sip::stack {

/// Maps a typed value class to its ValueKind (the header table names the kind of each header).
template <class T>
struct ValueKindOf;

#define ZEL_SIP_VALUE_KIND(type)                                  \
    template <>                                                   \
    struct ValueKindOf<type> {                                    \
        static constexpr ValueKind value = ValueKind::type;       \
    };
ZEL_SIP_VALUE_KIND(Text)
ZEL_SIP_VALUE_KIND(Token)
ZEL_SIP_VALUE_KIND(NameAddr)
ZEL_SIP_VALUE_KIND(Via)
ZEL_SIP_VALUE_KIND(CSeq)
ZEL_SIP_VALUE_KIND(CallId)
ZEL_SIP_VALUE_KIND(Mime)
ZEL_SIP_VALUE_KIND(Warning)
ZEL_SIP_VALUE_KIND(Reason)
ZEL_SIP_VALUE_KIND(Event)
ZEL_SIP_VALUE_KIND(Number)
ZEL_SIP_VALUE_KIND(RetryAfter)
ZEL_SIP_VALUE_KIND(SessionExpires)
ZEL_SIP_VALUE_KIND(RAck)
ZEL_SIP_VALUE_KIND(Auth)
#undef ZEL_SIP_VALUE_KIND

/// A class that header values parse into (one with a ValueKindOf specialisation).
template <class T>
concept TypedValue = requires { ValueKindOf<T>::value; };

namespace detail {

/// Type-erased storage of a parsed header value, owned by the message's header slot. Its address
/// never changes while the slot lives, which is what makes pointers from SipMessage::Edit stable.
class ValueHolderBase {
public:
    explicit ValueHolderBase(ValueKind kind) noexcept : kind_(kind) {}
    virtual ~ValueHolderBase() = default;
    ValueHolderBase(const ValueHolderBase&) = delete;
    ValueHolderBase& operator=(const ValueHolderBase&) = delete;

    ValueKind Kind() const noexcept { return kind_; }
    virtual void Encode(std::string& out) const = 0;

    /// Made in a message's arena: destroyed in place, never deleted.
    bool InArena() const noexcept { return inArena_; }
    void MarkInArena() noexcept { inArena_ = true; }

private:
    ValueKind kind_;
    bool inArena_ = false;
};

/// Destroys a holder the way it was made (see MessageArena).
struct HolderDelete {
    void operator()(ValueHolderBase* holder) const noexcept {
        if (holder->InArena()) {
            holder->~ValueHolderBase();
        } else {
            delete holder;
        }
    }
};

using HolderPtr = std::unique_ptr<ValueHolderBase, HolderDelete>;

template <class T>
class ValueHolder final : public ValueHolderBase {
public:
    ValueHolder() : ValueHolderBase(ValueKindOf<T>::value) {}
    explicit ValueHolder(T value) : ValueHolderBase(ValueKindOf<T>::value), value_(std::move(value)) {}
    void Encode(std::string& out) const override { value_.Encode(out); }
    T& Value() noexcept { return value_; }

private:
    T value_;
};

} // namespace detail
} // namespace zel::sip::stack
