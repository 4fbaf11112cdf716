#include "support/TextEncoding.h"

#include "common/TestFiles.h"

#include <gtest/gtest.h>

using namespace kestrune;

TEST(TextEncoding, WorkedExamples)
{
    EXPECT_EQ(shellQuote(""), "''");
    EXPECT_EQ(shellQuote("a b"), "'a b'");
    EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(shellQuote("$HOME"), "'$HOME'");
    EXPECT_EQ(shellQuote("''"), "''\\'''\\'''");
    EXPECT_EQ(shellQuote("a\nb"), "'a\nb'");

    EXPECT_EQ(envLine("HALVENIX_PORT", "8765"), "HALVENIX_PORT='8765'");
    EXPECT_EQ(envLine("NAME", "it's"), "NAME='it'\\''s'");
    EXPECT_EQ(envLine("NAME", ""), "NAME=''");

    EXPECT_EQ(xmlEscape("a<b & \"c\""), "a&lt;b &amp; &quot;c&quot;");
    EXPECT_EQ(xmlEscape("&lt;"), "&amp;lt;");
    EXPECT_EQ(xmlEscape("it's"), "it&apos;s");
    EXPECT_EQ(xmlEscape("x>y\t\x01\xc3\xa9"), "x&gt;y\t\x01\xc3\xa9");
}

// The shell is what reads these values back, so it is the judge.
TEST(TextEncoding, ZshReadsBackExactlyWhatWasQuoted)
{
    const std::vector<std::string> awkward = {
        "",
        "plain",
        "it's",
        "''''",
        "$HOME $(id) `id`",
        "back\\slash\\",
        "\"double\"",
        "line\nfeed\n",
        "tab\tand space ",
        "caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x94\x91",
        "!history*?[glob]~",
        "semi; colon & amp | pipe > redirect",
    };
    for (const auto& value : awkward) {
        // Through a parameter: the output mirrors the quoted word byte for byte.
        EXPECT_EQ(testkit::zshOutput("eval \"value=$1\"; printf %s \"$value\"", {shellQuote(value)}), value);
        // Through a sourced assignment line, as config.env is read.
        EXPECT_EQ(testkit::zshOutput(envLine("NAME", value) + "\nprintf %s \"$NAME\""), value);
    }
}
