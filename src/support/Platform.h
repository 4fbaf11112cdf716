#pragma once

#include <spawn.h>

#include <array>
#include <cstddef>
#include <string>

// The few places where the systems the core runs on differ. Each function has one
// implementation per system, in PlatformLinux.cpp and PlatformMac.cpp, and the build
// compiles the one that fits; the callers stay free of per-system branches.
namespace kestrune::platform {

// Creates a pipe whose two ends are close-on-exec. Returns 0, or -1 with errno set.
int makeCloseOnExecPipe(std::array<int, 2>& descriptors);

// Arranges that a child spawned with `actions` and `attributes` inherits no descriptor
// but the ones that `actions` set up on 0-2, whatever else this process has open
// without close-on-exec. Returns 0 or an error number.
int inheritOnlyStandardDescriptors(posix_spawn_file_actions_t& actions, posix_spawnattr_t& attributes);

// Asks for a pipe buffer of `bytes`. A hint: where the system has no such setting, or
// refuses, the pipe keeps its own size.
void requestPipeBuffer(int descriptor, std::size_t bytes);

// Flushes the data written to `descriptor` (a file or a directory) through to the
// storage device. Returns 0, or -1 with errno set.
int flushToStorage(int descriptor);

// The running executable's absolute path with symbolic links resolved, or the empty
// text when the system cannot tell.
std::string runningExecutablePath();

// Where the program's resources directory and its bundle directory lie, relative to
// the folder that holds its executable.
struct ProgramLayout {
    const char* resourcesDirectory;
    const char* bundleDirectory;
};
extern const ProgramLayout programLayout;

// What the dynamic loader is given to open the system's libcurl.
extern const char* const curlLibraryName;

} // namespace kestrune::platform
