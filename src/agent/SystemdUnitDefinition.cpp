#include "agent/SystemdUnitDefinition.h"

#include "support/TextEncoding.h"

#include <stdexcept>

namespace kestrune {

namespace {

// Path settings take the rest of the line as it stands, with only `%` specifiers
// resolved; there is no quoting, so a line feed cannot be written at all.
std::string unitPathValue(const std::string& path)
{
    std::string value;
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f') {
            throw std::invalid_argument("The log path \"" + path +
                                        "\" holds a control character, which a systemd unit cannot name.");
        }
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
