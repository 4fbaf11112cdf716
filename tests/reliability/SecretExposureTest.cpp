#include "ReliabilitySupport.h"
#include "agent/AgentManager.h"
#include "common/AgentFixture.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

using namespace kestrune;
using namespace kestrune::reliability;
using namespace kestrune::testkit;

namespace {

// Watches folders on a thread of its own and, for every event about a name, looks
// at what stands there at once: a regular file must have mode 0600 (a name that has
// vanished meanwhile is fine).
class ModeWatcher {
  public:
    explicit ModeWatcher(const std::vector<std::string>& folders)
        : inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)), stop_(::eventfd(0, EFD_CLOEXEC))
    {
        for (const auto& folder : folders) {
            const int watch =
                ::inotify_add_watch(inotify_, folder.c_str(), IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_MOVED_TO);
            if (watch < 0) {
                throw std::system_error(errno, std::generic_category(), "inotify_add_watch " + folder);
            }
            folders_[watch] = folder;
        }
        thread_ = std::thread([this] { run(); });
    }
    ModeWatcher(const ModeWatcher&) = delete;
    ModeWatcher& operator=(const ModeWatcher&) = delete;
    ~ModeWatcher() { finish(); }

    // Stops after reading every event already queued.
    void finish()
    {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            (void)!::write(stop_, &one, sizeof one);
            thread_.join();
            ::close(inotify_);
            ::close(stop_);
        }
    }

    int events() const { return events_; }
    int filesChecked() const { return filesChecked_; }
    const std::vector<std::string>& exposures() const { return exposures_; }
    const std::map<std::string, int>& namesSeen() const { return names_; }

  private:
    void run()
    {
        for (;;) {
            std::array<pollfd, 2> watched{pollfd{inotify_, POLLIN, 0}, pollfd{stop_, POLLIN, 0}};
            ::poll(watched.data(), watched.size(), -1);
            const bool stopping = watched[1].revents != 0;
            while (readEvents()) {
            }
            if (stopping) {
                return;
            }
        }
    }

    bool readEvents()
    {
        alignas(inotify_event) std::array<char, 65536> buffer{};
        const ssize_t got = ::read(inotify_, buffer.data(), buffer.size());
        if (got <= 0) {
            return false;
        }
        for (ssize_t offset = 0; offset < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                exposures_.push_back("inotify queue overflowed: events were lost");
            }
            if (event->len == 0) {
                continue;
            }
            ++events_;
            const std::string path = folders_[event->wd] + "/" + event->name;
            ++names_[event->name];
            struct stat status {};
            if (::lstat(path.c_str(), &status) != 0) {
                continue; // renamed away or removed since
            }
            if (S_ISREG(status.st_mode)) {
                ++filesChecked_;
                if ((status.st_mode & 07777) != 0600) {
                    std::ostringstream text;
                    text << path << " seen with mode " << std::oct << (status.st_mode & 07777);
                    exposures_.push_back(text.str());
                }
            }
        }
        return true;
    }

    int inotify_;
    int stop_;
    std::map<int, std::string> folders_;
    std::thread thread_;
    int events_ = 0;
    int filesChecked_ = 0;
    std::vector<std::string> exposures_;
    std::map<std::string, int> names_;
};

} // namespace

// Nothing the manager writes is ever readable by others, not even for an instant:
// the umask is opened wide so that only the manager's own modes protect the files.
TEST(SecretExposure, NoFileIsEverSeenWithAWiderModeThanItsFinalOne)
{
    const ScopedUmask umask(0);
    const int rounds = sanitized ? 10 : 40;
    int events = 0;
    int checks = 0;
    for (int round = 0; round < rounds; ++round) {
        AgentFixture fixture;
        const AgentManager manager = fixture.manager();
        // The folders exist before anything is written into them, so every name is watched.
        manager.ensureStateDirectoryExists();
        const std::string launchAgents = std::filesystem::path(manager.launchAgentPath()).parent_path();
        std::filesystem::create_directories(launchAgents);
        if (round % 2 == 1) {
            // A stale, too-wide temporary file from an earlier crash must be narrowed
            // before a byte of the secret goes in.
            writeFile(manager.configPath() + ".tmp", "stale", 0666);
            writeFile(manager.launchAgentPath() + ".tmp", "stale", 0666);
        }

        ModeWatcher watcher({manager.stateDirectory(), launchAgents});
        manager.ensureConfigured();
        manager.writeLaunchAgent();
        watcher.finish();

        for (const auto& exposure : watcher.exposures()) {
            ADD_FAILURE() << exposure;
        }
        for (const char* name : {"config.env", "server.log", "app.halvenix.server.plist"}) {
            EXPECT_GT(watcher.namesSeen().count(name), 0u) << name << " was never seen being written";
        }
        EXPECT_EQ(fileMode(manager.configPath()), 0600u);
        EXPECT_EQ(fileMode(manager.logPath()), 0600u);
        EXPECT_EQ(fileMode(manager.launchAgentPath()), 0600u);
        events += watcher.events();
        checks += watcher.filesChecked();
    }
    std::cout << "rounds: " << rounds << ", file events: " << events << ", modes checked: " << checks << "\n";
    RecordProperty("mode_checks", checks);
}
