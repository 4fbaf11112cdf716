#include "support/AtomicWrite.h"

#include "common/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <system_error>
#include <thread>
#include <vector>

using namespace kestrune;
using kestrune::testkit::TemporaryDirectory;

namespace {

class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

} // namespace

TEST(AtomicWrite, CreatesAndReplacesWithExactModeUnderAnyUmask)
{
    TemporaryDirectory directory;
    const std::string destination = directory / "config.env";
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{0277}}) {
        ScopedUmask umask(mask);
        atomicWrite("content " + std::to_string(mask), destination, 0600);
        EXPECT_EQ(testkit::readFile(destination), "content " + std::to_string(mask));
        EXPECT_EQ(testkit::fileMode(destination), 0600u) << "umask " << mask;
    }
    testkit::writeFile(destination, "old", 0666);
    atomicWrite("", destination, 0600);
    EXPECT_EQ(testkit::readFile(destination), "");
    EXPECT_EQ(testkit::fileMode(destination), 0600u);
    EXPECT_FALSE(testkit::exists(destination + ".tmp"));
}

TEST(AtomicWrite, LeftoverTemporaryFileIsReplaced)
{
    TemporaryDirectory directory;
    const std::string destination = directory / "server.log";
    testkit::writeFile(destination + ".tmp", "stale and longer than the new content", 0644);
    atomicWrite("new", destination, 0600);
    EXPECT_EQ(testkit::readFile(destination), "new");
    EXPECT_EQ(testkit::fileMode(destination), 0600u);
    EXPECT_FALSE(testkit::exists(destination + ".tmp"));
}

TEST(AtomicWrite, FailuresThrowThePlatformErrorAndKeepTheOldContent)
{
    TemporaryDirectory directory;
    // A missing folder fails and is not created.
    const std::string missing = directory / "absent/file";
    try {
        atomicWrite("x", missing, 0600);
        FAIL() << "expected a failure";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
        EXPECT_NE(std::string(error.what()).find(missing + ".tmp"), std::string::npos);
    }
    EXPECT_FALSE(testkit::exists(directory / "absent"));

    // A symlink at the temporary path is never followed.
    const std::string destination = directory / "config.env";
    const std::string victim = directory / "victim";
    testkit::writeFile(destination, "old", 0600);
    testkit::writeFile(victim, "untouched", 0644);
    ASSERT_EQ(::symlink(victim.c_str(), (destination + ".tmp").c_str()), 0);
    EXPECT_THROW(atomicWrite("secret", destination, 0600), std::system_error);
    EXPECT_EQ(testkit::readFile(destination), "old");
    EXPECT_EQ(testkit::readFile(victim), "untouched");
    EXPECT_EQ(testkit::fileMode(victim), 0644u);

    // A destination that cannot be replaced (a directory) leaves no temporary file.
    const std::string folder = directory / "folder";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    EXPECT_THROW(atomicWrite("x", folder, 0600), std::system_error);
    EXPECT_FALSE(testkit::exists(folder + ".tmp"));
}

TEST(AtomicWrite, ConcurrentWritersNeverInterleave)
{
    TemporaryDirectory directory;
    const std::string destination = directory / "config.env";
    std::vector<std::thread> writers;
    for (char letter = 'a'; letter < 'a' + 8; ++letter) {
        writers.emplace_back([&, letter] {
            const std::string content(200000, letter);
            for (int round = 0; round < 10; ++round) {
                atomicWrite(content, destination, 0600);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    const std::string result = testkit::readFile(destination);
    ASSERT_EQ(result.size(), 200000u);
    EXPECT_EQ(result.find_first_not_of(result[0]), std::string::npos);
    EXPECT_FALSE(testkit::exists(destination + ".tmp"));
}
