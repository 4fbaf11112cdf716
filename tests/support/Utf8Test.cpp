#include "support/Utf8.h"

#include <gtest/gtest.h>

using namespace kestrune;

TEST(Utf8, StrictValidation)
{
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("ascii \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
    EXPECT_TRUE(isValidUtf8("\xf4\x8f\xbf\xbf")); // U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xff"));
    EXPECT_FALSE(isValidUtf8("\xc0\xaf"));         // overlong slash
    EXPECT_FALSE(isValidUtf8("\xe0\x80\xaf"));     // overlong
    EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));     // surrogate
    EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80")); // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("ok\xe2\x82"));       // truncated at the end
    EXPECT_FALSE(isValidUtf8("\x80"));             // lone continuation
    EXPECT_EQ(decodeUtf8Strictly("good\xff"
                                 "bad"),
              "");
    EXPECT_EQ(decodeUtf8Strictly("good"), "good");
}

TEST(Utf8, TrimsUnicodeWhitespaceAtBothEndsOnly)
{
    EXPECT_EQ(trimWhitespaceAndNewlines("  word \n"), "word");
    EXPECT_EQ(trimWhitespaceAndNewlines("\t\r\n\v\f"), "");
    EXPECT_EQ(trimWhitespaceAndNewlines(""), "");
    // No-break space, ideographic space, line and paragraph separators, NEL.
    EXPECT_EQ(trimWhitespaceAndNewlines("\xc2\xa0\xe3\x80\x80word\xe2\x80\xa8\xe2\x80\xa9\xc2\x85"), "word");
    EXPECT_EQ(trimWhitespaceAndNewlines(" two  words\n\nkept inside \n"), "two  words\n\nkept inside");
    // Zero-width space is not white space in this sense.
    EXPECT_EQ(trimWhitespaceAndNewlines("\xe2\x80\x8bx"), "\xe2\x80\x8bx");
}

// Validation steps over ASCII several bytes at a time: whatever follows a run of
// ASCII, at any offset and near the end, must still be judged byte by byte.
TEST(Utf8, JudgesWhatFollowsAsciiRunsOfEveryLength)
{
    for (std::size_t run = 0; run <= 24; ++run) {
        const std::string ascii(run, 'a');
        EXPECT_TRUE(isValidUtf8(ascii)) << run;
        EXPECT_TRUE(isValidUtf8(ascii + "\xc3\xa9" + ascii)) << run;
        EXPECT_TRUE(isValidUtf8(ascii + "\xf0\x9f\x98\x80")) << run;
        EXPECT_FALSE(isValidUtf8(ascii + "\xff" + ascii)) << run;
        EXPECT_FALSE(isValidUtf8(ascii + "\x80")) << run;
        EXPECT_FALSE(isValidUtf8(ascii + "\xe2\x82")) << run;         // truncated at the end
        EXPECT_FALSE(isValidUtf8(ascii + "\xc3" + ascii + "a")) << run; // lead byte, then ASCII
        EXPECT_FALSE(isValidUtf8(ascii + "\xed\xa0\x80" + ascii)) << run;
    }
}
