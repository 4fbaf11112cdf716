#pragma once

// sd-bus, owned: the calls of the systemd user manager's D-Bus API that the systemd
// backend and its watch make. Linux only: only *Linux.cpp files include this.

#include "agent/AgentJobWatch.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

namespace kestrune::systemd {

struct BusClose {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
struct MessageUnref {
    void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

// An sd_bus_error that frees what it holds.
class BusError {
  public:
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error_); }

    sd_bus_error* get() { return &error_; }
    // The manager's own message, else the text of `result` (a negative errno).
    std::string message(int result) const;

  private:
    sd_bus_error error_{}; // SD_BUS_ERROR_NULL, whose compound literal is not C++
};

inline constexpr const char* managerService = "org.freedesktop.systemd1";
inline constexpr const char* managerPath = "/org/freedesktop/systemd1";
inline constexpr const char* managerInterface = "org.freedesktop.systemd1.Manager";
inline constexpr const char* unitInterface = "org.freedesktop.systemd1.Unit";

// Throws SystemdError "Failed to <step>: <reason>", as systemctl words a failure.
[[noreturn]] void fail(const std::string& step, const std::string& reason);

// Opens a connection to the user manager at `address`, or, without one, as
// `systemctl --user` does: its private socket, $XDG_RUNTIME_DIR/systemd/private,
// else the user bus. Throws SystemdError "Failed to connect to bus: <reason>".
Bus connectToUserManager(const std::optional<std::string>& address);

// The sender of the manager's signals on `bus`: none on the private socket, a
// connection to the manager itself, whose messages carry no sender.
const char* signalSender(sd_bus* bus);

// The object path of the unit named `unit`.
std::string unitObjectPath(const std::string& unit);

// Calls the manager's `member` with `types` and `arguments` (sd_bus_call_method's
// form) and returns the reply. Throws SystemdError "Failed to <step>: <reason>".
template <class... Arguments>
Message callManager(sd_bus* bus, const std::string& step, const char* member, const char* types, Arguments... arguments)
{
    BusError error;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(bus, managerService, managerPath, managerInterface, member, error.get(),
                                          &reply, types, arguments...);
    Message owned(reply);
    if (result < 0) {
        fail(step, error.message(result));
    }
    return owned;
}

// The string, array of strings or boolean property `name` of `interface` at `path`.
// Throw SystemdError "Failed to <step>: <reason>".
std::string stringProperty(sd_bus* bus, const std::string& path, const char* interface, const char* name,
                           const std::string& step);
std::vector<std::string> stringsProperty(sd_bus* bus, const std::string& path, const char* interface, const char* name,
                                         const std::string& step);
bool booleanProperty(sd_bus* bus, const std::string& path, const char* interface, const char* name,
                     const std::string& step);

// Queues a job for `unit` through the manager's `member` (RestartUnit or StopUnit,
// replacing whatever job the unit has) and waits up to `limit` for the job to end.
// Throws SystemdError "Failed to <verb> <unit>: <reason>" when the call fails, the
// job ends other than done, or the wait runs out.
void runUnitJob(sd_bus* bus, const char* member, const std::string& verb, const std::string& unit,
                std::chrono::seconds limit);

// Starts the watch that AgentManager::watchAgentJob describes, of `unit`, over a
// connection of its own to `address` (as connectToUserManager takes it). Throws
// std::system_error when its wake pipe or its thread cannot be made.
std::unique_ptr<AgentJobWatch> watchUnit(std::optional<std::string> address, std::string unit,
                                         AgentJobStateChanged changed);

} // namespace kestrune::systemd
