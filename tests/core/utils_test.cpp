#include "core/Utils.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <stdexcept>
#include <string>

namespace {

using zel::sip::Utils;

TEST(UtilsToMime, KeepsBothPiecesExactly) {
    struct Case {
        std::string text;
        std::string type;
        std::string subtype;
    };
    const Case cases[] = {
        {"application/sdp", "application", "sdp"},
        {" Application / SDP ", " Application ", " SDP "},
        {"text/plain;charset=utf-8", "text", "plain;charset=utf-8"},
        {"/sdp", "", "sdp"},
        {"application/", "application", ""},
        {"/", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto mime = Utils::ToMime(c.text);
        EXPECT_EQ(mime.Type(), c.type);
        EXPECT_EQ(mime.Subtype(), c.subtype);
    }
}

TEST(UtilsToMime, RejectsAnythingButOneSlash) {
    for (const std::string text : std::initializer_list<const char*>{"", "application", "multipart/mixed/x", "//", "a//b", "/a/"}) {
        SCOPED_TRACE(text);
        try {
            Utils::ToMime(text);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), "Invalid MIME type '" + text + "'");
        }
    }
}

} // namespace
