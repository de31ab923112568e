#include "stack/body/sdp/Attributes.h"

#include <algorithm>

namespace zel::sip::stack::sdp {

std::string Attribute::Encode() const {
    if (value.empty()) {
        return name;
    }
    std::string text;
    text.reserve(name.size() + 1 + value.size());
    text.append(name).append(1, ':').append(value);
    return text;
}

bool Attributes::Exists(std::string_view name) const noexcept {
    return std::any_of(list_.begin(), list_.end(), [&](const Attribute& a) { return a.name == name; });
}

std::vector<std::string> Attributes::Values(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& a : list_) {
        if (a.name == name) {
            values.push_back(a.value);
        }
    }
    return values;
}

std::optional<std::string_view> Attributes::First(std::string_view name) const noexcept {
    for (const auto& a : list_) {
        if (a.name == name) {
            return std::string_view(a.value);
        }
    }
    return std::nullopt;
}

void Attributes::Add(std::string name, std::string value) {
    list_.push_back(Attribute{std::move(name), std::move(value)});
}

void Attributes::Insert(std::size_t index, std::string name, std::string value) {
    const auto at = index >= list_.size() ? list_.end() : list_.begin() + static_cast<std::ptrdiff_t>(index);
    list_.insert(at, Attribute{std::move(name), std::move(value)});
}

std::size_t Attributes::Remove(std::string_view name) {
    return std::erase_if(list_, [&](const Attribute& a) { return a.name == name; });
}

} // namespace zel::sip::stack::sdp
