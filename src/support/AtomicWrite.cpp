#include "support/AtomicWrite.h"

#include "support/Platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kestrune {

int (*lockCall)(int, int) = ::flock;
int (*changeModeCall)(int, mode_t) = ::fchmod;

namespace {

[[noreturn]] void throwErrno(const std::string& what, const std::string& path)
{
    throw std::system_error(errno, std::generic_category(), what + " " + path);
}

class LockedTemporaryFile {
  public:
    // Opens and exclusively locks the temporary file that currently stands at
    // `path`. A writer that waited for the lock may find that the file it locked
    // has meanwhile been renamed into place by the previous holder; it then starts
    // over on the fresh name.
    LockedTemporaryFile(const std::string& path, mode_t mode) : path_(path)
    {
        for (;;) {
            fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd_ < 0) {
                throwErrno("Failed to create", path);
            }
            while (lockCall(fd_, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    const int error = errno;
                    // Most likely our own creation, which nobody else would remove. A
                    // writer that does hold it fails its rename; the destination stays whole.
                    ::unlink(path.c_str());
                    closeQuietly();
                    errno = error;
                    throwErrno("Failed to lock", path);
                }
            }
            if (stillNamedByPath()) {
                return;
            }
            closeQuietly();
        }
    }
    LockedTemporaryFile(const LockedTemporaryFile&) = delete;
    LockedTemporaryFile& operator=(const LockedTemporaryFile&) = delete;
    ~LockedTemporaryFile()
    {
        if (!committed_) {
            ::unlink(path_.c_str());
        }
        closeQuietly();
    }

    int fd() const { return fd_; }
    void markCommitted() { committed_ = true; }

  private:
    bool stillNamedByPath() const
    {
        struct stat opened {};
        struct stat named {};
        return ::fstat(fd_, &opened) == 0 && ::lstat(path_.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
               opened.st_ino == named.st_ino;
    }
    void closeQuietly()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    std::string path_;
    int fd_ = -1;
    bool committed_ = false;
};

void writeAll(int fd, std::string_view bytes, const std::string& path)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno("Failed to write", path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::string parentDirectory(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the rename itself durable: without it a power cut can bring back the old
// name. Best effort: the file is already in place, and some file systems refuse to
// sync a folder (EINVAL), which must not turn a finished write into a failure.
void syncDirectoryQuietly(const std::string& directory)
{
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        platform::flushToStorage(fd);
        ::close(fd);
    }
}

} // namespace

void atomicWrite(std::string_view text, const std::string& destination, mode_t mode)
{
    const std::string temporaryPath = destination + ".tmp";
    LockedTemporaryFile temporary(temporaryPath, mode);
    // The umask can only narrow the creation mode; this sets it exactly, before
    // any byte is written. A leftover temporary file is narrowed here too.
    if (changeModeCall(temporary.fd(), mode) != 0) {
        throwErrno("Failed to set the mode of", temporaryPath);
    }
    if (::ftruncate(temporary.fd(), 0) != 0) {
        throwErrno("Failed to truncate", temporaryPath);
    }
    writeAll(temporary.fd(), text, temporaryPath);
    if (platform::flushToStorage(temporary.fd()) != 0) {
        throwErrno("Failed to flush", temporaryPath);
    }
    if (::rename(temporaryPath.c_str(), destination.c_str()) != 0) {
        throwErrno("Failed to replace", destination);
    }
    temporary.markCommitted();
    syncDirectoryQuietly(parentDirectory(destination));
}

} // namespace kestrune
