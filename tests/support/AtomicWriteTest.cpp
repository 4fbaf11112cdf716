#include "support/AtomicWrite.h"

#include "common/FileAudit.h"
#include "common/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <system_error>

using namespace kestrune;
using namespace kestrune::testkit;
using testing::AllOf;
using testing::Each;
using testing::EndsWith;
using testing::Not;
using testing::IsEmpty;

// Under umask 000 only the mode protects the file. Every byte goes into a 0600 file
// under the temporary name, a stale world-writable one included, and the final name
// changes only by a rename over it (never unlinked, truncated or written in place),
// so a crash at any moment leaves the old or the new file whole.
TEST(AtomicWrite, WritesOnlyPrivateTemporaryFilesAndRenamesOverTheDestination)
{
    const ScopedUmask umask(0);
    TemporaryDirectory directory;
    const std::string destination = directory / "config.env";
    writeFile(destination, "old content", 0666);
    writeFile(destination + ".tmp", "stale and longer than the new content", 0666);
    std::vector<std::string> writes;
    std::vector<std::string> changes = nameChanges(directory.path(), [&] {
        writes = fileWrites([&] { atomicWrite("new", destination, 0600); });
    });
    EXPECT_THAT(writes, AllOf(Not(IsEmpty()), Each(destination + ".tmp 600")));
    std::erase_if(changes, [](const std::string& change) { return change.ends_with(".tmp"); });
    EXPECT_EQ(changes, std::vector<std::string>{"moved-to config.env"});
    EXPECT_EQ(readFile(destination), "new");
    EXPECT_EQ(fileMode(destination), 0600u);
    EXPECT_FALSE(exists(destination + ".tmp"));

    atomicWrite("", directory / "server.log", 0600); // no byte to write, the mode all the same
    EXPECT_EQ(fileMode(directory / "server.log"), 0600u);
}

TEST(AtomicWrite, FailuresThrowThePlatformErrorAndLeaveNothingBehind)
{
    TemporaryDirectory directory;
    const std::string missing = directory / "absent/file";
    try {
        atomicWrite("x", missing, 0600);
        FAIL() << "expected a failure";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_FALSE(exists(directory / "absent")); // folders are the caller's to make

    // A symlink at the temporary path is never followed.
    const std::string destination = directory / "config.env";
    writeFile(destination, "old", 0600);
    writeFile(directory / "victim", "untouched", 0644);
    ASSERT_EQ(::symlink((directory / "victim").c_str(), (destination + ".tmp").c_str()), 0);
    EXPECT_THROW(atomicWrite("secret", destination, 0600), std::system_error);
    EXPECT_EQ(readFile(destination), "old");
    EXPECT_EQ(readFile(directory / "victim"), "untouched");

    // A destination that cannot be replaced (a folder) leaves no temporary file.
    std::filesystem::create_directory(directory / "folder");
    EXPECT_THROW(atomicWrite("x", directory / "folder", 0600), std::system_error);
    EXPECT_FALSE(exists(directory / "folder.tmp"));
}
