// macOS's half of Platform.h. It exists because macOS really differs: it has no
// pipe2, no closefrom file action and no /proc, its fsync leaves data in the drive's
// cache, and its programs live in application bundles.
#include "support/Platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mach-o/dyld.h>
#include <memory>
#include <vector>

namespace kestrune::platform {

int makeCloseOnExecPipe(std::array<int, 2>& descriptors)
{
    // No pipe2 here: the ends are marked right after creation. A child spawned by
    // another thread in that moment could inherit them, but our own children never
    // do (POSIX_SPAWN_CLOEXEC_DEFAULT below closes every descriptor not handed over).
    if (::pipe(descriptors.data()) != 0) {
        return -1;
    }
    for (const int descriptor : descriptors) {
        if (::fcntl(descriptor, F_SETFD, FD_CLOEXEC) != 0) {
            const int error = errno;
            ::close(descriptors[0]);
            ::close(descriptors[1]);
            errno = error;
            return -1;
        }
    }
    return 0;
}

int inheritOnlyStandardDescriptors(posix_spawn_file_actions_t& /*actions*/, posix_spawnattr_t& attributes)
{
    // No closefrom file action here; this flag makes every descriptor close-on-exec in
    // the child except the ones the file actions set up.
    return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_CLOEXEC_DEFAULT);
}

void requestPipeBuffer(int /*descriptor*/, std::size_t /*bytes*/)
{
    // macOS grows a busy pipe's buffer by itself and offers no setting for it.
}

int flushToStorage(int descriptor)
{
    // fsync only hands the data to the drive, which may keep it in its cache past a
    // power cut; F_FULLFSYNC asks the drive to write it out. Some file systems (network
    // shares, FAT) refuse it, and fsync is the best they offer.
    if (::fcntl(descriptor, F_FULLFSYNC) == 0) {
        return 0;
    }
    return ::fsync(descriptor);
}

std::string runningExecutablePath()
{
    // dyld knows the path the executable was started by; it may hold symbolic links
    // and "..", so it is resolved.
    std::uint32_t size = 1024;
    std::vector<char> buffer(size);
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
        buffer.resize(size); // size now holds the length needed
        if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
            return {};
        }
    }
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(buffer.data(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string(buffer.data());
}

// The executable is Kestrune.app/Contents/MacOS/Kestrune: the bundle's resources are
// Contents/Resources and the bundle is Kestrune.app itself.
const ProgramLayout programLayout{"../Resources", "../.."};

// macOS ships libcurl in its system library. An absolute path: dyld looks for a bare
// file name in the working directory too, and from macOS 11 on it finds this path in
// its shared cache although no such file lies on disk.
const char* const curlLibraryName = "/usr/lib/libcurl.4.dylib";

} // namespace kestrune::platform
