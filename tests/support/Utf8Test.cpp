#include "support/Utf8.h"

#include <gtest/gtest.h>

using namespace kestrune;

// Validation steps over ASCII several bytes at a time, so each sequence is judged
// after runs of ASCII of every length, at the end and inside the text.
TEST(Utf8, StrictValidationWhereverTheSequenceStands)
{
    const char* valid[] = {"", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"};
    // Stray bytes; overlong, surrogate and above U+10FFFF; truncated; a lead byte before ASCII.
    const char* invalid[] = {"\xff", "\x80",         "\xc0\xaf", "\xe0\x80\xaf", "\xf0\x80\x80\xaf",
                             "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xc3" "a"};
    for (std::size_t run = 0; run <= 17; ++run) {
        const std::string ascii(run, 'a');
        for (const char* text : valid) {
            EXPECT_TRUE(isValidUtf8(ascii + text + ascii)) << run;
        }
        for (const char* text : invalid) {
            EXPECT_FALSE(isValidUtf8(ascii + text) || isValidUtf8(ascii + text + ascii)) << run << " " << text;
        }
    }
    EXPECT_EQ(decodeUtf8Strictly("good\xff" "bad"), "");
}
