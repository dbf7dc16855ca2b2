#include "lobby/site_settings.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

// The name is the text before the first "::" of the trimmed content, with ASCII letters lowered.
TEST(ParseSiteEnv, ReadsNameBeforeFirstSeparator)
{
    const struct {
        const char* label;
        std::string content;
        std::string name;
    } cases[] = {
        {"plain", "Production::whatever", "production"},
        {"trimmed both ends", "  QA::x\r\n", "qa"},
        {"first separator only", "a::b::c", "a"},
        {"separator first", "::abc", ""},
        {"no separator", "Production", ""},
        {"single colon", "Prod:x", ""},
        {"empty", "", ""},
        {"only line ends", "\r\n\r\n", ""},
        {"inner space kept", " Prod ::x", "prod "},
        {"byte order mark kept", "\xEF\xBB\xBF" "Live::x", "\xEF\xBB\xBF" "live"},
        {"high bytes not lowered", "\xC4\xD6::x", "\xC4\xD6"},
        {"NUL bytes kept", "\0A\0B::x\0"s, "\0a\0b"s},
        {"all six blanks trimmed", "\t\n\v\f\r Live::x \r\f\v\n\t", "live"},
        {"no-break byte not trimmed", "\xA0Live::x\xA0", "\xA0live"},
        {"separator after blanks", " \t::x", ""},
        {"separator across blank", "Live: :x", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseSiteEnv(c.content), c.name) << c.label;
}

// A megabyte of content, blanks or name, is handled whole.
TEST(ParseSiteEnv, HandlesMegabyteContent)
{
    const std::size_t megabyte = 1 << 20;
    const std::string blanks(megabyte, ' ');
    EXPECT_EQ(parseSiteEnv(blanks + "Live::" + std::string(megabyte, 'y') + blanks), "live");
    EXPECT_EQ(parseSiteEnv(std::string(megabyte, 'X') + "::x"), std::string(megabyte, 'x'));
    EXPECT_EQ(parseSiteEnv(std::string(megabyte, 'X') + ":"), "");
}

}
