#include "support/Utf8.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kestrune;

// Validation steps over ASCII several bytes at a time, so each sequence is judged
// after runs of ASCII of every length, at the end and inside the text.
TEST(Utf8, StrictValidationWhereverTheSequenceStands)
{
    const std::vector<std::string> valid = {"", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"};
    const std::vector<std::string> invalid = {
        "\xff",
        "\x80",             // lone continuation
        "\xc0\xaf",         // overlong
        "\xe0\x80\xaf",     // overlong
        "\xf0\x80\x80\xaf", // overlong
        "\xed\xa0\x80",     // surrogate
        "\xf4\x90\x80\x80", // above U+10FFFF
        "\xe2\x82",         // truncated
        "\xc3"
        "a", // lead byte, then ASCII
    };
    for (std::size_t run = 0; run <= 17; ++run) {
        const std::string ascii(run, 'a');
        for (const auto& text : valid) {
            EXPECT_TRUE(isValidUtf8(ascii + text + ascii)) << run;
        }
        for (const auto& text : invalid) {
            EXPECT_FALSE(isValidUtf8(ascii + text)) << run << " " << text;
            EXPECT_FALSE(isValidUtf8(ascii + text + ascii)) << run << " " << text;
        }
    }
    EXPECT_EQ(decodeUtf8Strictly("good\xff"
                                 "bad"),
              "");
}
