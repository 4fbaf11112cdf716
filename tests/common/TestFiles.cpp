#include "common/TestFiles.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

namespace kestrune::testkit {

TemporaryDirectory::TemporaryDirectory()
    : path_(std::filesystem::temp_directory_path().string() + "/kestrune-test-XXXXXX")
{
    if (::mkdtemp(path_.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

void writeFile(const std::string& path, const std::string& content, mode_t mode)
{
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << content)) {
        throw std::runtime_error("cannot write " + path);
    }
    ::chmod(path.c_str(), mode);
}

std::vector<std::string> fileEvents(const std::string& folder, const std::function<void()>& action)
{
    const int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ::inotify_add_watch(inotify, folder.c_str(), IN_DELETE | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB);
    action();
    std::vector<std::string> events;
    std::set<std::string> written;
    alignas(inotify_event) char buffer[65536];
    for (ssize_t got = 0, at = 0; (got = ::read(inotify, buffer, sizeof buffer)) > 0; at = 0) {
        for (const inotify_event* event; at < got; at += static_cast<ssize_t>(sizeof(inotify_event) + event->len)) {
            event = reinterpret_cast<const inotify_event*>(buffer + at);
            const std::string name = event->len > 0 ? event->name : "";              // empty: the folder itself
            const char* kind = event->mask & IN_MOVED_TO ? "moved-to " : "touched "; // written, deleted or chmod-ed
            if ((!name.empty() && !name.ends_with(".tmp")) || (event->mask & IN_ATTRIB && written.contains(name))) {
                events.push_back(kind + name);
            }
            if (event->mask & IN_MODIFY) {
                written.insert(name);
            }
        }
    }
    ::close(inotify);
    return events;
}

} // namespace kestrune::testkit
