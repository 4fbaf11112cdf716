#include "agent/SystemdBus.h"
#include "agent/SystemdError.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kestrune::systemd {

namespace {

std::string errorText(int result)
{
    return std::strerror(-result);
}

// A D-Bus address value: bytes outside the few that may stand as they are go as %xx.
std::string escapedAddressValue(const std::string& value)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string escaped;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || std::strchr("-_/.\\*", c) != nullptr) {
            escaped += c;
        } else {
            escaped += {'%', hex[byte >> 4], hex[byte & 0xf]};
        }
    }
    return escaped;
}

// A connection started on `address`, or a negative errno.
std::pair<Bus, int> openAddress(const std::string& address)
{
    sd_bus* bus = nullptr;
    int result = sd_bus_new(&bus);
    Bus owned(bus);
    if (result >= 0) {
        result = sd_bus_set_address(bus, address.c_str());
    }
    if (result >= 0) {
        result = sd_bus_start(bus);
    }
    return {result < 0 ? nullptr : std::move(owned), result};
}

[[noreturn]] void failToConnect(int result)
{
    // systemctl's own hint where neither variable names a bus
    throw SystemdError(result == -ENOMEDIUM
                           ? "Failed to connect to bus: $DBUS_SESSION_BUS_ADDRESS and $XDG_RUNTIME_DIR not defined"
                           : "Failed to connect to bus: " + errorText(result));
}

int onJobRemoved(sd_bus_message* message, void* removed, sd_bus_error*)
{
    std::uint32_t id = 0;
    const char* job = nullptr;
    const char* unit = nullptr;
    const char* result = nullptr;
    if (sd_bus_message_read(message, "uoss", &id, &job, &unit, &result) >= 0) {
        try {
            static_cast<std::vector<std::pair<std::string, std::string>>*>(removed)->emplace_back(job, result);
        } catch (...) {
            return -ENOMEM; // the wait then runs out and says so
        }
    }
    return 0;
}

} // namespace

std::string BusError::message(int result) const
{
    if (sd_bus_error_is_set(&error_) != 0) {
        return error_.message != nullptr ? error_.message : error_.name;
    }
    return errorText(result);
}

void fail(const std::string& step, const std::string& reason)
{
    throw SystemdError("Failed to " + step + ": " + reason);
}

Bus connectToUserManager(const std::optional<std::string>& address)
{
    if (address) {
        auto [bus, result] = openAddress(*address);
        if (!bus) {
            failToConnect(result);
        }
        return std::move(bus);
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] != '\0') {
        if (auto [bus, result] = openAddress("unix:path=" + escapedAddressValue(runtime) + "/systemd/private"); bus) {
            return std::move(bus);
        }
    }
    sd_bus* bus = nullptr;
    const int result = sd_bus_open_user(&bus);
    if (result < 0) {
        failToConnect(result);
    }
    return Bus(bus);
}

const char* signalSender(sd_bus* bus)
{
    return sd_bus_is_bus_client(bus) > 0 ? managerService : nullptr;
}

std::string unitObjectPath(const std::string& unit)
{
    char* path = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/systemd1/unit", unit.c_str(), &path) < 0) {
        throw std::bad_alloc(); // its only failure
    }
    std::string owned(path);
    std::free(path);
    return owned;
}

std::string stringProperty(sd_bus* bus, const std::string& path, const char* interface, const char* name,
                           const std::string& step)
{
    BusError error;
    char* value = nullptr;
    const int result =
        sd_bus_get_property_string(bus, managerService, path.c_str(), interface, name, error.get(), &value);
    if (result < 0) {
        fail(step, error.message(result));
    }
    std::string owned(value);
    std::free(value);
    return owned;
}

std::vector<std::string> stringsProperty(sd_bus* bus, const std::string& path, const char* interface, const char* name,
                                         const std::string& step)
{
    BusError error;
    char** values = nullptr;
    const int result =
        sd_bus_get_property_strv(bus, managerService, path.c_str(), interface, name, error.get(), &values);
    if (result < 0) {
        fail(step, error.message(result));
    }
    std::vector<std::string> owned;
    for (char** value = values; value != nullptr && *value != nullptr; ++value) {
        owned.emplace_back(*value);
        std::free(*value);
    }
    std::free(values);
    return owned;
}

bool booleanProperty(sd_bus* bus, const std::string& path, const char* interface, const char* name,
                     const std::string& step)
{
    BusError error;
    int value = 0;
    const int result =
        sd_bus_get_property_trivial(bus, managerService, path.c_str(), interface, name, error.get(), 'b', &value);
    if (result < 0) {
        fail(step, error.message(result));
    }
    return value != 0;
}

void runUnitJob(sd_bus* bus, const char* member, const std::string& verb, const std::string& unit,
                std::chrono::seconds limit)
{
    const std::string step = verb + " " + unit;
    // Heard before the call, so that a job that ends at once is not missed; the job
    // is known only once the call returns, so every removal is kept until then.
    std::vector<std::pair<std::string, std::string>> removed;
    sd_bus_slot* slot = nullptr;
    int result = sd_bus_match_signal(bus, &slot, signalSender(bus), managerPath, managerInterface, "JobRemoved",
                                     onJobRemoved, &removed);
    const Slot match(slot);
    if (result < 0) {
        fail(step, errorText(result));
    }
    callManager(bus, step, "Subscribe", "");
    const Message reply = callManager(bus, step, member, "ss", unit.c_str(), "replace");
    const char* job = nullptr;
    if ((result = sd_bus_message_read(reply.get(), "o", &job)) < 0) {
        fail(step, errorText(result));
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto ended = std::ranges::find(removed, std::string(job), &std::pair<std::string, std::string>::first);
        if (ended != removed.end()) {
            if (ended->second != "done") {
                fail(step, "the job ended with the result \"" + ended->second + "\".");
            }
            return;
        }
        if ((result = sd_bus_process(bus, nullptr)) > 0) {
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (result < 0 || left.count() <= 0 ||
            (result = sd_bus_wait(bus, static_cast<std::uint64_t>(left.count()))) < 0) {
            fail(step, result < 0 ? errorText(result)
                                  : "the job had not ended after " + std::to_string(limit.count()) + " s.");
        }
    }
}

} // namespace kestrune::systemd
