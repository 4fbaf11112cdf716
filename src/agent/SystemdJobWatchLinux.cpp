// The watch of the agent's unit: one thread with a connection of its own, asleep in
// poll on that connection and a wake pipe until the manager says something.

#include "agent/AbsorbedFailures.h"
#include "agent/SystemdBus.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

namespace kestrune::systemd {

namespace {

// After a connection is lost, the next is tried at once (a manager that re-executed
// is back by then); after a failed try, the wait doubles up to the cap.
constexpr std::chrono::milliseconds firstRetry{100};
constexpr std::chrono::milliseconds retryCap{30000};

// Takes ActiveState and SubState, where present, from an a{sv} of properties into `state`.
int readStates(sd_bus_message* message, AgentJobState& state)
{
    int result = sd_bus_message_enter_container(message, 'a', "{sv}");
    while (result >= 0 && (result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* name = nullptr;
        const char* value = nullptr;
        if ((result = sd_bus_message_read(message, "s", &name)) < 0) {
            break;
        }
        std::string* field = std::strcmp(name, "ActiveState") == 0 ? &state.activeState
                             : std::strcmp(name, "SubState") == 0  ? &state.subState
                                                                   : nullptr;
        result = field ? sd_bus_message_read(message, "v", "s", &value) : sd_bus_message_skip(message, "v");
        if (result >= 0 && field) {
            *field = value;
        }
        if (result >= 0) {
            result = sd_bus_message_exit_container(message);
        }
    }
    return result < 0 ? result : sd_bus_message_exit_container(message);
}

class UnitWatch final : public AgentJobWatch {
  public:
    UnitWatch(std::optional<std::string> address, std::string unit, AgentJobStateChanged changed)
        : address_(std::move(address)), unit_(std::move(unit)), path_(unitObjectPath(unit_)),
          changed_(std::move(changed))
    {
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::system_error(errno, std::generic_category(), "Failed to create the unit watch's wake pipe");
        }
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            closeWakePipe();
            throw;
        }
    }

    ~UnitWatch() override
    {
        ending_ = true;
        [[maybe_unused]] const ssize_t written = ::write(wake_[1], "", 1); // a full pipe wakes it as well
        thread_.join();
        closeWakePipe();
    }

  private:
    void closeWakePipe() noexcept
    {
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    void run()
    {
        std::chrono::milliseconds delay = firstRetry;
        bool reported = false; // this outage
        while (!ending_) {
            bool followed = false;
            const std::string why = follow(followed);
            if (followed) {
                delay = firstRetry;
                reported = false;
                continue;
            }
            if (ending_) {
                return;
            }
            if (!reported) {
                reported = true;
                reportAbsorbedFailure("systemd user manager:", {},
                                      why + "; the agent's state is not watched meanwhile.", AbsorbedSeverity::routine);
            }
            if (!sleep(nullptr, delay)) {
                return;
            }
            delay = std::min(delay * 2, retryCap);
        }
    }

    // Follows the unit over one connection until it ends or the watch does. Sets
    // `followed` once the state has been read; returns why the connection failed.
    std::string follow(bool& followed)
    {
        Bus bus;
        try {
            bus = connectToUserManager(address_);
        } catch (const std::exception& error) {
            return error.what();
        }
        sd_bus_slot* slot = nullptr;
        int result = sd_bus_match_signal_async(bus.get(), &slot, signalSender(bus.get()), path_.c_str(),
                                               "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                               &UnitWatch::onPropertiesChanged, nullptr, this);
        const Slot match(slot);
        // On the user bus the manager signals to subscribers only; no reply is wanted.
        if (result >= 0) {
            result = sd_bus_call_method_async(bus.get(), nullptr, managerService, managerPath, managerInterface,
                                              "Subscribe", nullptr, nullptr, "");
        }
        slot = nullptr;
        if (result >= 0) {
            result = sd_bus_call_method_async(bus.get(), &slot, managerService, path_.c_str(),
                                              "org.freedesktop.DBus.Properties", "GetAll", &UnitWatch::onRead, this,
                                              "s", unitInterface);
        }
        const Slot read(slot);
        read_ = fresh_ = false;
        failure_.clear();
        while (result >= 0 && failure_.empty()) {
            if (fresh_) {
                fresh_ = false;
                if (!followed || state_ != told_) {
                    followed = true;
                    told_ = state_;
                    tell();
                }
            }
            if ((result = sd_bus_process(bus.get(), nullptr)) == 0 && !sleep(bus.get(), std::nullopt)) {
                return {};
            }
        }
        return failure_.empty() ? "Failed to watch " + unit_ + ": " + std::strerror(-result) : failure_;
    }

    // Sleeps until the bus (when given) has something, the bus's own time-out or
    // `limit` passes, or the watch is ending; false when it is.
    bool sleep(sd_bus* bus, std::optional<std::chrono::milliseconds> limit)
    {
        pollfd watched[2] = {{wake_[0], POLLIN, 0}, {-1, 0, 0}};
        long long timeout = limit ? limit->count() : -1;
        std::uint64_t until = UINT64_MAX;
        if (bus != nullptr) {
            watched[1] = {sd_bus_get_fd(bus), static_cast<short>(std::max(sd_bus_get_events(bus), 0)), 0};
            if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
                timespec now{};
                ::clock_gettime(CLOCK_MONOTONIC, &now);
                const auto nowMicroseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
                // sd-bus's time-out is absolute: relative milliseconds, rounded up
                timeout = until > nowMicroseconds ? static_cast<long long>((until - nowMicroseconds + 999) / 1000) : 0;
            }
        }
        while (::poll(watched, bus != nullptr ? 2 : 1, static_cast<int>(std::min(timeout, 1LL << 30))) < 0 &&
               errno == EINTR) {
        }
        return !ending_;
    }

    void tell() noexcept
    {
        try {
            changed_(told_);
        } catch (...) {
            // the handler's own failure: the next change is told all the same
        }
    }

    static int onRead(sd_bus_message* reply, void* self, sd_bus_error*)
    {
        auto& watch = *static_cast<UnitWatch*>(self);
        try {
            if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
                watch.failure_ = "Failed to read the state of " + watch.unit_ + ": " +
                                 (error->message != nullptr ? error->message : error->name);
            } else if (const int result = readStates(reply, watch.state_); result < 0) {
                watch.failure_ = "Failed to read the state of " + watch.unit_ + ": " + std::strerror(-result);
            } else {
                watch.read_ = watch.fresh_ = true;
            }
        } catch (...) {
            return -ENOMEM;
        }
        return 0;
    }

    // systemd sends both properties, with their values, on every change of the unit.
    static int onPropertiesChanged(sd_bus_message* message, void* self, sd_bus_error*)
    {
        auto& watch = *static_cast<UnitWatch*>(self);
        const char* interface = nullptr;
        try {
            AgentJobState state = watch.state_;
            if (sd_bus_message_read(message, "s", &interface) > 0 && std::strcmp(interface, unitInterface) == 0 &&
                readStates(message, state) >= 0) {
                watch.state_ = std::move(state);
                watch.fresh_ = watch.read_; // what came before the first read is news to nobody
            }
        } catch (...) {
            return -ENOMEM;
        }
        return 0;
    }

    const std::optional<std::string> address_;
    const std::string unit_;
    const std::string path_;
    const AgentJobStateChanged changed_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> ending_{false};
    // The watch thread's alone.
    AgentJobState state_;
    AgentJobState told_;
    bool read_ = false;  // this connection's first read has come
    bool fresh_ = false; // state_ may differ from told_
    std::string failure_;
    std::thread thread_; // last: it starts once everything above is in place
};

} // namespace

std::unique_ptr<AgentJobWatch> watchUnit(std::optional<std::string> address, std::string unit,
                                         AgentJobStateChanged changed)
{
    return std::make_unique<UnitWatch>(std::move(address), std::move(unit), std::move(changed));
}

} // namespace kestrune::systemd
