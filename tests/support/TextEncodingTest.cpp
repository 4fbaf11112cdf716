#include "support/TextEncoding.h"

#include "common/TestFiles.h"
#include "support/RandomHex.h"

#include <gtest/gtest.h>

using namespace kestrune;

TEST(TextEncoding, ExactForms)
{
    EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(envLine("NAME", "it's"), "NAME='it'\\''s'");
    EXPECT_EQ(xmlEscape("<a b=\"x\">it's & co</a>"), "&lt;a b=&quot;x&quot;&gt;it&apos;s &amp; co&lt;/a&gt;");
}

// zsh is what reads these values back, so it is the judge: it compares what it read
// with the same value passed to it as a plain argument.
TEST(TextEncoding, ZshReadsBackEveryByteExactly)
{
    std::string everyByte;
    for (int byte = 1; byte < 256; ++byte) {
        everyByte += static_cast<char>(byte);
    }
    for (const std::string& value : {std::string(), everyByte, std::string("''''"), std::string("$(id) `id` \\\n")}) {
        EXPECT_EQ(testkit::zshOutput("eval \"value=$1\"; [[ $value == \"$2\" ]] && echo same", {shellQuote(value), value}),
                  "same\n");
        EXPECT_EQ(testkit::zshOutput(envLine("NAME", value) + "\n[[ $NAME == \"$1\" ]] && echo same", {value}), "same\n");
    }
}

TEST(RandomHex, FreshLowerCaseHexFilledWhole)
{
    const std::string secret = randomHex(32);
    EXPECT_EQ(secret.size(), 64u);
    EXPECT_EQ(secret.find_first_not_of("0123456789abcdef"), std::string::npos) << secret;
    EXPECT_NE(randomHex(32), secret);
    EXPECT_NE(randomHex(4096).substr(8000), std::string(192, '0')); // past any per-call limit of the generator
}
