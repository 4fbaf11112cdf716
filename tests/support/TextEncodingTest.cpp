#include "support/TextEncoding.h"

#include "common/TestFiles.h"
#include "support/RandomHex.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace kestrune;

TEST(TextEncoding, ExactForms)
{
    EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(envLine("NAME", "it's"), "NAME='it'\\''s'");
    EXPECT_EQ(xmlEscape("<a b=\"x\">it's & co</a>"), "&lt;a b=&quot;x&quot;&gt;it&apos;s &amp; co&lt;/a&gt;");
}

namespace {

std::string hex(const std::string& bytes)
{
    std::string text;
    for (const unsigned char byte : bytes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

} // namespace

// zsh is what reads these values back, so it is the judge; it answers in hex, as
// most of the bytes are no UTF-8 on their own.
TEST(TextEncoding, ZshReadsBackEveryByteExactly)
{
    std::string everyByte;
    for (int byte = 1; byte < 256; ++byte) {
        everyByte += static_cast<char>(byte);
    }
    const std::string asHex = "| od -An -v -tx1 | tr -d ' \\n'";
    for (const std::string& value : {std::string(), everyByte, std::string("''''"), std::string("$(id) `id` \\\n")}) {
        EXPECT_EQ(testkit::zshOutput("eval \"value=$1\"; printf %s \"$value\" " + asHex, {shellQuote(value)}),
                  hex(value));
        EXPECT_EQ(testkit::zshOutput(envLine("NAME", value) + "\nprintf %s \"$NAME\" " + asHex), hex(value));
    }
}

TEST(RandomHex, FreshLowerCaseHexFilledWhole)
{
    const std::string secret = randomHex(32);
    EXPECT_EQ(secret.size(), 64u);
    EXPECT_EQ(secret.find_first_not_of("0123456789abcdef"), std::string::npos) << secret;
    EXPECT_NE(randomHex(32), secret);
    // Past any per-call limit of the generator, the end is filled too.
    EXPECT_NE(randomHex(4096).substr(8000), std::string(192, '0'));
}
