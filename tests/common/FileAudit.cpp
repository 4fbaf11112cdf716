#include "common/FileAudit.h"

#include <dlfcn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace {

std::atomic<bool> auditing{false};
std::mutex writesMutex;
std::vector<std::string> writes;

} // namespace

// Stands in front of the C library's write for the whole test program, so that a
// file's name and mode are seen at the instant bytes go in; it looks only when asked.
extern "C" ssize_t write(int fd, const void* data, size_t size)
{
    static const auto next = reinterpret_cast<ssize_t (*)(int, const void*, size_t)>(::dlsym(RTLD_NEXT, "write"));
    struct stat status {};
    if (auditing.load() && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        char path[4096] = {};
        (void)!::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
        char mode[8];
        std::snprintf(mode, sizeof mode, " %o", status.st_mode & 07777);
        std::lock_guard guard(writesMutex);
        writes.push_back(path + std::string(mode));
    }
    return next(fd, data, size);
}

namespace kestrune::testkit {

std::vector<std::string> fileWrites(const std::function<void()>& action)
{
    writes.clear();
    auditing = true;
    action();
    auditing = false;
    return writes;
}

std::vector<std::string> nameChanges(const std::string& folder, const std::function<void()>& action)
{
    const int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (::inotify_add_watch(inotify, folder.c_str(), IN_CREATE | IN_DELETE | IN_MOVE) < 0) {
        throw std::runtime_error("cannot watch " + folder);
    }
    action();
    std::vector<std::string> changes;
    alignas(inotify_event) char buffer[65536];
    for (ssize_t got = 0, at = 0; (got = ::read(inotify, buffer, sizeof buffer)) > 0; at = 0) {
        for (const inotify_event* event; at < got; at += static_cast<ssize_t>(sizeof(inotify_event) + event->len)) {
            event = reinterpret_cast<const inotify_event*>(buffer + at);
            const char* kind = event->mask & IN_CREATE     ? "created "
                               : event->mask & IN_DELETE   ? "deleted "
                               : event->mask & IN_MOVED_TO ? "moved-to "
                                                           : "moved-from ";
            changes.push_back(kind + std::string(event->name));
        }
    }
    ::close(inotify);
    return changes;
}

} // namespace kestrune::testkit
