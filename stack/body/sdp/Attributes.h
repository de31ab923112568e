#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sip::stack::sdp {

/// One attribute line, a=<name>[:<value>] (RFC 8866 section 5.13). A property (flag) attribute such
/// as a=sendrecv has an empty value and is written without ":".
struct Attribute {
    std::string name;
    std::string value;

    /// "<name>" or "<name>:<value>".
    std::string Encode() const;

    friend bool operator==(const Attribute&, const Attribute&) = default;
};

/// The attribute lines of a session or a media description, in the order they appear or were
/// added. A name may occur several times (a=crypto, a=rtpmap, a=candidate); its values keep their
/// order. Names are compared exactly, as RFC 8866 section 5.13 makes them case-sensitive.
class Attributes {
public:
    /// Whether at least one attribute carries this name.
    bool Exists(std::string_view name) const noexcept;

    /// The values of every attribute with this name, in order (empty texts for flag attributes).
    std::vector<std::string> Values(std::string_view name) const;

    /// The value of the first attribute with this name, or none. The view points into this object
    /// and stays valid until the attributes change.
    std::optional<std::string_view> First(std::string_view name) const noexcept;

    /// Appends one attribute at the end.
    void Add(std::string name, std::string value = {});

    /// Inserts one attribute before position `index` (at the end when index >= Size()).
    void Insert(std::size_t index, std::string name, std::string value = {});

    /// Removes every attribute with this name; returns how many were removed.
    std::size_t Remove(std::string_view name);

    /// Removes every attribute.
    void Clear() noexcept { list_.clear(); }

    std::size_t Size() const noexcept { return list_.size(); }
    bool Empty() const noexcept { return list_.empty(); }

    /// Every attribute in order, for reading and for in-place edits of values.
    const std::vector<Attribute>& All() const noexcept { return list_; }
    std::vector<Attribute>& All() noexcept { return list_; }

    friend bool operator==(const Attributes&, const Attributes&) = default;

private:
    std::vector<Attribute> list_;
};

} // namespace zel::sip::stack::sdp
