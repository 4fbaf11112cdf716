#include "agent/StateDirectoryLock.h"

#include "support/AtomicWrite.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kestrune {

StateDirectoryLock::StateDirectoryLock(const std::string& directory)
{
    fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "Failed to open the state directory " + directory);
    }
    while (lockCall(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int error = errno;
            ::close(fd_);
            throw std::system_error(error, std::generic_category(), "Failed to lock the state directory " + directory);
        }
    }
}

StateDirectoryLock::~StateDirectoryLock()
{
    ::close(fd_);
}

} // namespace kestrune
