#include "agent/LaunchAgentDefinition.h"

#include "support/TextEncoding.h"

namespace kestrune {

std::string launchAgentPropertyList(const LaunchAgentValues& values)
{
    const std::string log = xmlEscape(values.logPath);
    std::string text;
    text += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    text += "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
    text += "<plist version=\"1.0\">\n";
    text += "<dict>\n";
    text += "    <key>Label</key>\n";
    text += "    <string>" + values.label + "</string>\n"; // the label needs no escaping
    text += "    <key>ProgramArguments</key>\n";
    text += "    <array>\n";
    text += "        <string>" + xmlEscape(values.shellPath) + "</string>\n";
    text += "        <string>-lc</string>\n";
    text += "        <string>" + xmlEscape(values.launchCommand) + "</string>\n";
    text += "    </array>\n";
    text += "    <key>RunAtLoad</key>\n";
    text += "    <true/>\n";
    text += "    <key>KeepAlive</key>\n";
    text += "    <true/>\n";
    text += "    <key>StandardOutPath</key>\n";
    text += "    <string>" + log + "</string>\n";
    text += "    <key>StandardErrorPath</key>\n";
    text += "    <string>" + log + "</string>\n";
    text += "</dict>\n";
    text += "</plist>";
    return text;
}

} // namespace kestrune
