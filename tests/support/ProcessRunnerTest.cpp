#include "support/ProcessRunner.h"

#include "common/TestFiles.h"
#include "support/KestruneError.h"

#include <gtest/gtest.h>

#include <system_error>

using namespace kestrune;

namespace {

std::string shOutput(const std::string& script)
{
    return runProcess("/bin/sh", {"-c", script});
}

std::string failureMessage(const std::string& script)
{
    try {
        shOutput(script);
    } catch (const KestruneError& error) {
        EXPECT_EQ(error.errorCase(), KestruneError::Case::processFailed);
        return error.errorDescription();
    }
    ADD_FAILURE() << "expected processFailed for: " << script;
    return "<no failure>";
}

} // namespace

TEST(ProcessRunner, SuccessReturnsStandardOutputUntrimmed)
{
    EXPECT_EQ(shOutput("echo hello"), "hello\n");
    EXPECT_EQ(shOutput("true"), "");
    EXPECT_EQ(shOutput("printf '  spaced  \\n\\n'; echo ignored >&2"), "  spaced  \n\n");
    // Arguments arrive exactly as passed: no shell splitting or expansion.
    EXPECT_EQ(runProcess("/bin/echo", {"a b", "$HOME", "'q'", ""}), "a b $HOME 'q' \n");
}

TEST(ProcessRunner, FailureMessageComesFromStandardErrorElseStandardOutput)
{
    EXPECT_EQ(failureMessage("printf '  word \\n'; exit 1"), "word");
    EXPECT_EQ(failureMessage("echo first >&2; printf other; exit 1"), "first");
    // Standard error is chosen when non-empty before trimming, even if it trims to nothing.
    EXPECT_EQ(failureMessage("echo >&2; echo text; exit 2"), "");
    EXPECT_EQ(failureMessage("exit 3"), "");
    EXPECT_EQ(failureMessage("printf '\\342\\200\\250 wide \\343\\200\\200' >&2; exit 1"), "wide");
    EXPECT_EQ(failureMessage("kill -TERM $$"), "");
}

TEST(ProcessRunner, InvalidUtf8ReadsAsEmpty)
{
    EXPECT_EQ(shOutput("printf 'ok\\377'"), "");
    EXPECT_EQ(failureMessage("printf 'bad\\377' >&2; echo fallback; exit 1"), "fallback");
}

TEST(ProcessRunner, MissingExecutableIsThePlatformError)
{
    try {
        runProcess("/nonexistent/kestrune-no-such-program", {});
        FAIL() << "expected a launch failure";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
        EXPECT_NE(std::string(error.what()).find("/nonexistent/kestrune-no-such-program"), std::string::npos);
    }
    // Never looked up on the search path.
    EXPECT_THROW(runProcess("sh", {"-c", "true"}), std::system_error);
}

TEST(ProcessRunner, LargeOutputOnBothStreamsNeverStalls)
{
    // Far beyond a pipe's buffer on both streams, interleaved, before the child ends.
    const std::string script =
        "i=0; while [ $i -lt 64 ]; do head -c 65536 /dev/zero | tr '\\0' o; head -c 65536 /dev/zero | tr '\\0' e >&2; "
        "i=$((i+1)); done";
    const std::string output = shOutput(script);
    EXPECT_EQ(output.size(), 64u * 65536u);
    EXPECT_EQ(output.find_first_not_of('o'), std::string::npos);
}

TEST(ProcessRunner, OutputLargerThanManyBuffersComesBackInOrderByteForByte)
{
    // Position-dependent multi-byte text, 40 MiB: any block boundary that drops,
    // repeats or reorders bytes, or splits a character, changes the result.
    std::string text;
    text.reserve(40u << 20);
    for (unsigned line = 0; text.size() < (40u << 20); ++line) {
        text += std::to_string(line) + " \u00e9\u4e2d\U0001F600 " + std::string(line % 97, 'x') + "\n";
    }
    testkit::TemporaryDirectory directory;
    testkit::writeFile(directory / "big.txt", text);
    const std::string output = runProcess("/bin/cat", {directory / "big.txt"});
    ASSERT_EQ(output.size(), text.size());
    EXPECT_TRUE(output == text);
}

TEST(ProcessRunner, ChildSeesNullInputAndOnlyStandardDescriptors)
{
    EXPECT_EQ(shOutput("cat"), "");
    EXPECT_EQ(runProcess("/bin/ls", {"/proc/self/fd"}), "0\n1\n2\n3\n"); // 3 is ls's own listing
    EXPECT_EQ(runProcess("/bin/readlink", {"/proc/self/fd/0"}), "/dev/null\n");
}
