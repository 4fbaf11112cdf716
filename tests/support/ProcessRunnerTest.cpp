#include "support/ProcessRunner.h"

#include "common/TestFiles.h"
#include "support/KestruneError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

using namespace kestrune;

TEST(ProcessRunner, OutputIsUntrimmedAndTheMessageIsTheTrimmedErrorElseOutput)
{
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "printf '  spaced  \\n\\n'; echo ignored >&2"}), "  spaced  \n\n");
    EXPECT_EQ(runProcess("/bin/echo", {"a b", "$HOME", "'q'", ""}), "a b $HOME 'q' \n");
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "printf 'ok\\377'"}), ""); // not UTF-8: read as empty
    const struct {
        const char* script;
        const char* message;
    } failures[] = {
        {"printf '  word \\n'; exit 1", "word"},
        {"echo first >&2; printf other; exit 1", "first"},
        {"echo >&2; echo text; exit 2", ""}, // a lone line feed is not empty
        {"printf '\\342\\200\\250 wide \\343\\200\\200' >&2; exit 1", "wide"},
        {"kill -TERM $$", ""},
    };
    for (const auto& row : failures) {
        EXPECT_THAT([&] { runProcess("/bin/sh", {"-c", row.script}); },
                    testing::ThrowsMessage<KestruneError>(testing::StrEq(row.message)))
            << row.script;
    }
}

TEST(ProcessRunner, MissingExecutableIsThePlatformErrorAndNoSearchPathIsUsed)
{
    try {
        runProcess("/nonexistent/kestrune-no-such-program", {});
        FAIL() << "expected a launch failure";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_THROW(runProcess("sh", {"-c", "true"}), std::system_error);
}

// Past a pipe's buffer on standard error and then on standard output: a runner that
// reads one stream to its end, or waits before reading, stalls here for ever.
TEST(ProcessRunner, LargeOutputOnBothStreamsComesBackWhole)
{
    std::string expected;
    for (int i = 1; i <= 100000; ++i) {
        expected += std::to_string(i) + "\n";
    }
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "seq 100000 >&2; seq 100000; echo end >&2"}), expected);
}

// Our own standard input is a file and an inheritable descriptor is open: the child
// must see neither, only /dev/null and the three standard descriptors.
TEST(ProcessRunner, ChildSeesNullInputAndNoOtherDescriptor)
{
    testkit::TemporaryDirectory directory;
    testkit::writeFile(directory / "input", "not for the child");
    const int savedInput = ::dup(STDIN_FILENO); // inheritable, like the file below
    const int input = ::open((directory / "input").c_str(), O_RDONLY);
    ::dup2(input, STDIN_FILENO);
    const std::string descriptors = runProcess("/bin/ls", {"/proc/self/fd"});
    const std::string standardInput = runProcess("/bin/readlink", {"/proc/self/fd/0"});
    ::dup2(savedInput, STDIN_FILENO);
    ::close(savedInput);
    ::close(input);
    EXPECT_EQ(descriptors, "0\n1\n2\n3\n"); // 3 is ls's own listing
    EXPECT_EQ(standardInput, "/dev/null\n");
}
