// The systemd backend's Linux half: the user manager's D-Bus API through sd-bus.

#include "agent/AbsorbedFailures.h"
#include "agent/ProgramConstants.h"
#include "agent/SystemdBus.h"
#include "agent/SystemdServiceManager.h"
#include "support/PathJoin.h"

namespace kestrune {

namespace {

using namespace systemd;

// A restart or stop ends within the manager's own stop time-out (90 s unless
// configured), after which it kills: the wait only guards against a manager that
// never answers.
constexpr std::chrono::seconds jobLimit{120};

void reportAbsorbed(const std::string& message)
{
    reportAbsorbedFailure("systemd user manager:", {}, message);
}

// True when the manager holds the unit as an older file said it. A unit it does not
// hold, or found missing, it reads afresh from disk when the restart names it: a
// reload (a tenth of a second and more of the manager's time) is not needed for it.
bool needsReload(sd_bus* bus, const std::string& unit)
{
    const std::string step = "read the state of " + unit;
    BusError error;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(bus, managerService, managerPath, managerInterface, "GetUnit", error.get(),
                                          &reply, "s", unit.c_str());
    const Message owned(reply);
    if (result < 0) {
        if (sd_bus_error_has_name(error.get(), "org.freedesktop.systemd1.NoSuchUnit") == 0) {
            fail(step, error.message(result));
        }
        return false;
    }
    const char* path = nullptr;
    if (sd_bus_message_read(reply, "o", &path) < 0) {
        return true;
    }
    return stringProperty(bus, path, unitInterface, "LoadState", step) != "not-found" &&
           booleanProperty(bus, path, unitInterface, "NeedDaemonReload", step);
}

// The unit file's state ("enabled", "disabled" ...), or the empty text when the
// manager cannot tell.
std::string unitFileState(sd_bus* bus, const std::string& unit)
{
    const char* state = nullptr;
    try {
        const Message reply = callManager(bus, "", "GetUnitFileState", "s", unit.c_str());
        if (sd_bus_message_read(reply.get(), "s", &state) > 0) {
            return state;
        }
    } catch (const std::exception&) {
    }
    return {};
}

} // namespace

// The manager reads the user's units from its own XDG_CONFIG_HOME, which the app's
// may not match (a session that sets it after the manager started, a terminal with
// another value): a unit written elsewhere is never seen. So the manager is asked,
// each time, as it may have been restarted since.
std::string SystemdServiceManager::definitionPath() const
{
    try {
        const Bus bus = connectToUserManager(busAddress_);
        const std::vector<std::string> unitPath =
            stringsProperty(bus.get(), managerPath, managerInterface, "UnitPath", "read the unit search path");
        if (std::optional<std::string> folder = persistentUserUnitFolder(unitPath)) {
            return joinPath(*folder, systemdUnitName);
        }
        std::string listed;
        for (const std::string& folder : unitPath) {
            listed += " " + folder;
        }
        reportAbsorbed("its unit search path names no folder for the user's own units:" + listed);
    } catch (const std::exception& error) {
        reportAbsorbed(error.what());
    }
    return joinPath(fallbackUnitDirectory_, systemdUnitName); // no manager to ask: starting will fail, and say so
}

void SystemdServiceManager::start() const
{
    // Every failure is absorbed: the status refresh that follows shows the outcome.
    // Each step is tried even after one failed, as a later one may still succeed.
    const auto attempt = [](const auto& step) {
        try {
            step();
        } catch (const std::exception& error) {
            reportAbsorbed(error.what());
        }
    };
    Bus bus;
    attempt([&] { bus = connectToUserManager(busAddress_); });
    if (!bus) {
        return;
    }
    const std::string unit = systemdUnitName;
    bool reload = true;
    attempt([&] { reload = needsReload(bus.get(), unit); });
    // A state that cannot be read counts as not enabled: enabling then says why.
    if (unitFileState(bus.get(), unit) != "enabled") {
        attempt([&] { callManager(bus.get(), "enable " + unit, "EnableUnitFiles", "asbb", 1, unit.c_str(), 0, 0); });
    }
    if (reload) {
        attempt([&] { callManager(bus.get(), "reload the user manager", "Reload", ""); });
    }
    attempt([&] { runUnitJob(bus.get(), "RestartUnit", "restart", unit, jobLimit); });
}

void SystemdServiceManager::stop() const
{
    const Bus bus = connectToUserManager(busAddress_);
    runUnitJob(bus.get(), "StopUnit", "stop", systemdUnitName, jobLimit);
}

std::unique_ptr<AgentJobWatch> SystemdServiceManager::watchJob(const AgentJobStateChanged& changed) const
{
    return watchUnit(busAddress_, systemdUnitName, changed);
}

} // namespace kestrune
