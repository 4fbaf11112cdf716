#include "support/RandomHex.h"

#include "support/KestruneError.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

using namespace kestrune;

TEST(RandomHex, LowerCaseHexOfTwiceTheLength)
{
    EXPECT_EQ(randomHex(0), "");
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const std::string secret = randomHex(32);
        ASSERT_EQ(secret.size(), 64u);
        EXPECT_EQ(secret.find_first_not_of("0123456789abcdef"), std::string::npos) << secret;
        seen.insert(secret);
    }
    EXPECT_EQ(seen.size(), 20u);
    // Long requests are filled whole, past any per-call limit of the generator.
    const std::string large = randomHex(4096);
    EXPECT_EQ(large.size(), 8192u);
    EXPECT_NE(large.substr(8000), std::string(192, '0'));
}

TEST(RandomHex, FormatsEveryByteWithTwoDigitsHighHalfFirst)
{
    const auto fixed = [](void* buffer, std::size_t length) {
        const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
        std::memcpy(buffer, bytes, length);
        return 0;
    };
    EXPECT_EQ(randomHex(4, fixed), "000fa0ff");
}

namespace {

int failingGeneratorCalls = 0;

int failingGenerator(void*, std::size_t)
{
    ++failingGeneratorCalls;
    return -1;
}

} // namespace

TEST(RandomHex, GeneratorFailureIsReportedAndNothingIsReturned)
{
    failingGeneratorCalls = 0;
    const SecureRandomFill failing = failingGenerator;
    try {
        randomHex(32, failing);
        FAIL() << "expected a failure";
    } catch (const KestruneError& error) {
        EXPECT_EQ(error.errorCase(), KestruneError::Case::provisionFailed);
        EXPECT_EQ(error.errorDescription(), "Failed to generate local secret");
    }
    EXPECT_EQ(failingGeneratorCalls, 1); // no retry
    // The generator is asked even for zero bytes.
    EXPECT_THROW(randomHex(0, failing), KestruneError);
}
