#pragma once

#include <spawn.h>

#include <array>
#include <string>
#include <vector>

namespace kestrune {

// Runs `executable` (an absolute path, never looked up on PATH) with `arguments`
// (each passed as one argument, no shell) to its end and returns its standard output,
// decoded strictly as UTF-8 (invalid output reads as empty) and untrimmed.
//
// The child gets /dev/null as standard input, no descriptor but 0-2, and every
// signal at its default disposition. Both output streams are drained while it runs,
// so any amount of output is collected whole.
//
// Throws std::system_error when the child cannot be started, and
// KestruneError::processFailed when it ends with a non-zero status or by a signal:
// the message is its trimmed standard error, or its trimmed standard output when
// standard error was empty. Blocks the calling thread; call it off the UI thread.
std::string runProcess(const std::string& executable, const std::vector<std::string>& arguments);

// The two calls runProcess makes through these pointers, so that tests can make them
// fail; nothing else changes them.
extern int (*makePipeCall)(std::array<int, 2>& descriptors); // platform::makeCloseOnExecPipe
extern decltype(&::posix_spawn) spawnCall;                   // posix_spawn

} // namespace kestrune
