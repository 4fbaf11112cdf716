#pragma once

#include <string>

namespace kestrune {

// An exclusive advisory lock on a directory itself (no lock file is added to it).
// Serialises holders across threads and processes alike: each holder opens the
// directory anew, and such locks belong to the open description. Released on
// destruction, or by the kernel if the process dies.
class StateDirectoryLock {
  public:
    // Blocks until the lock is held; throws std::system_error when the directory
    // cannot be opened or locked.
    explicit StateDirectoryLock(const std::string& directory);
    StateDirectoryLock(const StateDirectoryLock&) = delete;
    StateDirectoryLock& operator=(const StateDirectoryLock&) = delete;
    ~StateDirectoryLock();

  private:
    int fd_ = -1;
};

} // namespace kestrune
