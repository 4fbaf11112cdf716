#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace kestrune {

// Replaces `destination` whole with `text` (UTF-8, no byte-order mark) and gives it
// exactly `mode`. The bytes go through `<destination>.tmp`, which is created with
// `mode` (never wider), never followed if it is a symlink, flushed to disk and then
// renamed over the destination; the directory is then synced where the file system
// allows it (a refusal is not reported: the file is in place by then). Readers
// see the old file or the new one, never a part, and never an empty final name.
//
// Concurrent writers of one destination, in this process or another, are
// serialised on the temporary file, so their bytes never interleave.
//
// Throws std::system_error naming the path that failed; creates no folders.
void atomicWrite(std::string_view text, const std::string& destination, mode_t mode);

// The two calls atomicWrite makes through these pointers, so that tests can make them
// fail (the state folder's lock takes the same lock call); nothing else changes them.
extern int (*lockCall)(int descriptor, int operation);     // flock
extern int (*changeModeCall)(int descriptor, mode_t mode); // fchmod

} // namespace kestrune
