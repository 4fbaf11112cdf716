#include "support/KestruneError.h"

#include <gtest/gtest.h>

using kestrune::KestruneError;

TEST(KestruneError, DescriptionsAreTheUserTexts)
{
    EXPECT_EQ(KestruneError::missingBundledAgent("/opt/agent").errorDescription(),
              "Bundled agent was not found at /opt/agent. Reinstall Kestrune.app.");
    // Paths stand unchanged: no quoting, no shortening.
    EXPECT_EQ(KestruneError::missingBundledAgent("/A b/it's \"x\"").errorDescription(),
              "Bundled agent was not found at /A b/it's \"x\". Reinstall Kestrune.app.");
    EXPECT_EQ(KestruneError::processFailed("").errorDescription(), "");
    EXPECT_EQ(KestruneError::processFailed("  boom \n").errorDescription(), "  boom \n");
    EXPECT_EQ(KestruneError::provisionFailed("No response").errorDescription(), "No response");
}

TEST(KestruneError, WhatIsTheDescriptionAndCopiesCarryIt)
{
    const KestruneError original = KestruneError::missingBundledAgent("/x");
    const KestruneError copy = original; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_STREQ(copy.what(), original.errorDescription().c_str());
    EXPECT_EQ(copy.errorCase(), KestruneError::Case::missingBundledAgent);
    EXPECT_EQ(copy.payload(), "/x");
}
