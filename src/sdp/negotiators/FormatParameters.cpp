#include "sdp/negotiators/FormatParameters.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace zel::sip::sdp::negotiators {

std::vector<FormatParameter> SplitFormatParameters(std::string_view text) {
    std::vector<FormatParameter> parameters;
    if (text.empty()) {
        return parameters;
    }
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, text, boost::algorithm::is_any_of(";"));
    parameters.reserve(pieces.size());
    for (auto& piece : pieces) {
        boost::algorithm::trim(piece);
        const auto equals = piece.find('=');
        if (equals == std::string::npos) {
            parameters.emplace_back(std::move(piece), std::nullopt);
            continue;
        }
        parameters.emplace_back(boost::algorithm::trim_copy(piece.substr(0, equals)),
                                boost::algorithm::trim_copy(piece.substr(equals + 1)));
    }
    return parameters;
}

std::string JoinFormatParameters(const std::vector<FormatParameter>& parameters) {
    std::string text;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (i != 0) {
            text.append(1, ';');
        }
        text.append(parameters[i].first);
        if (parameters[i].second) {
            text.append(1, '=').append(*parameters[i].second);
        }
    }
    return text;
}

} // namespace zel::sip::sdp::negotiators
