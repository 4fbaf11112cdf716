// Linux's half of Platform.h.
#include "support/Platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace kestrune::platform {

int makeCloseOnExecPipe(std::array<int, 2>& descriptors)
{
    // Close-on-exec from birth: a child spawned by another thread meanwhile never sees them.
    return ::pipe2(descriptors.data(), O_CLOEXEC);
}

int inheritOnlyStandardDescriptors(posix_spawn_file_actions_t& actions, posix_spawnattr_t& /*attributes*/)
{
    // glibc closes every descriptor from 3 up in the child, after the file actions' dup2s.
    return posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
}

void requestPipeBuffer(int descriptor, std::size_t bytes)
{
    // Unprivileged processes may raise a pipe to 1 MiB; a refusal leaves it working as it is.
    ::fcntl(descriptor, F_SETPIPE_SZ, static_cast<int>(bytes));
}

int flushToStorage(int descriptor)
{
    // Linux's fsync flushes the drive's write cache too.
    return ::fsync(descriptor);
}

std::string runningExecutablePath()
{
    // The kernel keeps the resolved path of the running image here.
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) == buffer.size()) {
        return {};
    }
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// Without application bundles the executable lives in bin/ and the programs it runs
// in libexec/kestrune/ beside it (executables have no place under share/), in the
// build tree, an install prefix and the package alike; the bundle directory is the
// executable's own, as for an unbundled program.
const ProgramLayout programLayout{"../libexec/kestrune", "."};

// The library's soname, found on the loader's own search path.
const char* const curlLibraryName = "libcurl.so.4";

} // namespace kestrune::platform
