#include "agent/SystemdUnitDefinition.h"

#include "support/TextEncoding.h"
#include "support/Utf8.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace kestrune {

namespace {

// Why the manager would drop or refuse `path` as a path setting, or nothing when it
// takes it as it stands: an absolute, normalised path in UTF-8. A line feed cannot be
// written at all, since a path setting has no quoting.
std::optional<std::string> unitPathFault(const std::string& path)
{
    if (std::ranges::any_of(path, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7f'; })) {
        return "holds a control character";
    }
    if (!isValidUtf8(path)) {
        return "is not valid UTF-8";
    }
    if (path.empty() || path.front() != '/') {
        return "is not absolute";
    }
    for (std::size_t begin = 1; begin <= path.size();) {
        const std::size_t end = std::min(path.find('/', begin), path.size());
        const std::string_view part(path.data() + begin, end - begin);
        if (part.empty() || part == "." || part == "..") {
            return "holds a \".\" or \"..\" part or a doubled slash";
        }
        begin = end + 1;
    }
    return std::nullopt;
}

// The path as a path setting: taken as it stands, with only `%` specifiers resolved.
std::string unitPathValue(const std::string& path)
{
    if (const std::optional<std::string> fault = unitPathFault(path)) {
        throw std::invalid_argument("The log path \"" + path + "\" " + *fault + ", which a systemd unit cannot name.");
    }
    std::string value;
    for (const char c : path) {
        value += c;
        if (c == '%') {
            value += '%';
        }
    }
    return value;
}

} // namespace

std::string systemdUnitText(const SystemdUnitValues& values)
{
    const std::string log = unitPathValue(values.logPath);
    std::string text;
    text += "[Unit]\n";
    text += "Description=Halvenix agent, started by Kestrune\n";
    // Never give up restarting, as launchd's KeepAlive does not.
    text += "StartLimitIntervalSec=0\n";
    text += "\n";
    text += "[Service]\n";
    text += "ExecStart=" + systemdQuote(values.shellPath) + " -lc " + systemdQuote(values.launchCommand) + "\n";
    text += "Restart=always\n";
    // A crashing agent is started again at most every few seconds, as launchd throttles.
    text += "RestartSec=5\n";
    text += "StandardOutput=append:" + log + "\n";
    text += "StandardError=append:" + log + "\n";
    text += "\n";
    text += "[Install]\n";
    text += "WantedBy=default.target\n";
    return text;
}

} // namespace kestrune
