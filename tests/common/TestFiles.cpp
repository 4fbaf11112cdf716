#include "common/TestFiles.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace kestrune::testkit {

TemporaryDirectory::TemporaryDirectory()
{
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base && *base ? base : "/tmp") + "/kestrune-test-XXXXXX";
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

void writeScript(const std::string& path, const std::string& body)
{
    writeFile(path, "#!/bin/sh\n" + body, 0755);
}

mode_t fileMode(const std::string& path)
{
    return static_cast<mode_t>(std::filesystem::symlink_status(path).permissions());
}

bool exists(const std::string& path)
{
    return std::filesystem::symlink_status(path).type() != std::filesystem::file_type::not_found;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> fileEvents(const std::vector<std::string>& folders, const std::function<void()>& action)
{
    const int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    for (const std::string& folder : folders) {
        if (::inotify_add_watch(inotify, folder.c_str(), IN_DELETE | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB) < 0) {
            throw std::runtime_error("cannot watch " + folder);
        }
    }
    action();
    std::vector<std::string> events;
    std::set<std::string> written;
    alignas(inotify_event) char buffer[65536];
    for (ssize_t got = 0, at = 0; (got = ::read(inotify, buffer, sizeof buffer)) > 0; at = 0) {
        for (const inotify_event* event; at < got; at += static_cast<ssize_t>(sizeof(inotify_event) + event->len)) {
            event = reinterpret_cast<const inotify_event*>(buffer + at);
            const std::string name = event->len > 0 ? event->name : ""; // empty: the folder itself
            const bool finalName = !name.empty() && !name.ends_with(".tmp");
            if (event->mask & IN_ATTRIB) {
                if (finalName || written.contains(name)) {
                    events.push_back("mode changed " + name);
                }
            } else if (finalName) {
                events.push_back((event->mask & IN_MODIFY   ? "written "
                                  : event->mask & IN_DELETE ? "deleted "
                                                            : "moved-to ") +
                                 name);
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
