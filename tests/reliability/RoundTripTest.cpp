#include "ReliabilitySupport.h"
#include "agent/AgentConfiguration.h"
#include "agent/AgentManager.h"
#include "common/TestFiles.h"
#include "support/TextEncoding.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>

using namespace kestrune;
using namespace kestrune::reliability;
using namespace kestrune::testkit;

namespace {

// The environment a program gets when zsh sources `file` the way the launch command
// does ("set -a; source ...; set +a; exec ..."), as NAME -> value.
std::map<std::string, std::string> environmentAfterSourcing(const std::string& file)
{
    const std::string output =
        rawOutput("/bin/zsh", {"-c", "set -a; source \"$1\"; set +a; exec /usr/bin/env -0", "zsh", file});
    std::map<std::string, std::string> environment;
    for (const auto& entry : splitOnNul(output)) {
        const auto equals = entry.find('=');
        environment[entry.substr(0, equals)] = equals == std::string::npos ? "" : entry.substr(equals + 1);
    }
    return environment;
}

} // namespace

// Random values of any bytes but NUL, and random UTF-8, written as envLine lines and
// sourced by the agent's shell reach the program it starts byte for byte.
TEST(RoundTrip, RandomValuesThroughAConfigFileAndZshComeBackExactly)
{
    constexpr int batches = 10;
    constexpr int perBatch = 1000;
    TemporaryDirectory directory;
    TextGenerator generate(1206);
    int compared = 0;
    for (int batch = 0; batch < batches; ++batch) {
        std::vector<std::string> values;
        std::string file;
        for (int i = 0; i < perBatch; ++i) {
            values.push_back(i % 2 == 0 ? generate.anyBytes(40) : generate.utf8(20, true));
            file += envLine("RT_" + std::to_string(i), values.back()) + "\n";
        }
        const std::string path = directory / ("batch" + std::to_string(batch) + ".env");
        writeFile(path, file, 0600);
        const auto environment = environmentAfterSourcing(path);
        for (int i = 0; i < perBatch; ++i) {
            const auto found = environment.find("RT_" + std::to_string(i));
            ASSERT_NE(found, environment.end()) << "RT_" << i << " did not arrive";
            ASSERT_EQ(found->second, values[static_cast<std::size_t>(i)]) << "RT_" << i << " in batch " << batch;
            ++compared;
        }
    }
    std::cout << "config round trips: " << compared << "\n";
    RecordProperty("config_round_trips", compared);
}

namespace {

struct LaunchCase {
    std::string home;
    std::string resources;
    AgentConfigurationValues values;
};

// The job's program arguments as a real property list parser reads them, for each
// file: a count, then the arguments, all NUL-terminated.
std::vector<std::vector<std::string>> parsedProgramArguments(const std::vector<std::string>& plists)
{
    std::vector<std::string> arguments{"-c", "import plistlib,sys\n"
                                             "out=sys.stdout.buffer\n"
                                             "for path in sys.argv[1:]:\n"
                                             "    with open(path,'rb') as f: job=plistlib.load(f)\n"
                                             "    fields=job['ProgramArguments']+[job['StandardOutPath']]\n"
                                             "    out.write(str(len(fields)).encode()+b'\\0')\n"
                                             "    for a in fields: out.write(a.encode('utf-8')+b'\\0')\n"};
    arguments.insert(arguments.end(), plists.begin(), plists.end());
    const auto parts = splitOnNul(rawOutput("/usr/bin/python3", arguments));
    std::vector<std::vector<std::string>> all;
    for (std::size_t i = 0; i < parts.size();) {
        const std::size_t count = std::stoul(parts[i++]);
        all.emplace_back(parts.begin() + static_cast<std::ptrdiff_t>(i),
                         parts.begin() + static_cast<std::ptrdiff_t>(i + count));
        i += count;
    }
    return all;
}

} // namespace

// Random home and bundle paths go through the manager's launch command, into the
// property list, out of a real parser (python's plistlib), and through `zsh -lc` as
// launchd would run it: the agent starts at exactly its own path with exactly the
// configuration's values.
//
// The paths are well-formed UTF-8 without C0 control characters other than tab and
// line feed (and without U+FFFE/U+FFFF): XML 1.0 cannot carry the others at all, and
// every XML parser turns a carriage return into a line feed. The configuration values
// (any bytes but NUL) travel in config.env, which is no XML.
TEST(RoundTrip, RandomPathsThroughThePropertyListAndTheLoginShellReachTheAgent)
{
    const int cases = sanitized ? 500 : 10000;
    TemporaryDirectory root;
    TextGenerator generate(31);
    std::vector<LaunchCase> launches;
    std::vector<std::string> plists;
    for (int i = 0; i < cases; ++i) {
        LaunchCase launch;
        // A fresh prefix keeps random names from meeting, however alike they are.
        launch.home = root / (std::to_string(i) + "/" + generate.pathComponent(12) + "/" + generate.pathComponent(12));
        launch.resources = root / (std::to_string(i) + "-r/" + generate.pathComponent(16));
        std::filesystem::create_directories(launch.resources);
        std::filesystem::create_symlink(helperPath("kestrune_print_launch"), launch.resources + "/halvenix-server");

        AgentEnvironment environment;
        environment.homeDirectory = launch.home;
        environment.resourcesDirectory = launch.resources;
        environment.shellPath = "/bin/zsh";
        const AgentManager manager(environment);
        launch.values.provision = {generate.anyBytes(30), generate.anyBytes(30), generate.utf8(15, true)};
        launch.values.jwtSecret = generate.anyBytes(30);
        launch.values.relayURL = generate.utf8(15, true);
        launch.values.allowedPath = launch.home;
        manager.ensureStateDirectoryExists();
        writeFile(manager.configPath(), agentConfigurationText(launch.values), 0600);
        manager.writeLaunchAgent();
        plists.push_back(manager.launchAgentPath());
        launches.push_back(std::move(launch));
    }

    const auto parsed = parsedProgramArguments(plists);
    ASSERT_EQ(parsed.size(), launches.size());
    int reached = 0;
    for (int i = 0; i < cases; ++i) {
        const auto& launch = launches[static_cast<std::size_t>(i)];
        const auto& job = parsed[static_cast<std::size_t>(i)];
        ASSERT_EQ(job.size(), 4u) << "case " << i;
        ASSERT_EQ(job[0], "/bin/zsh");
        ASSERT_EQ(job[1], "-lc");
        ASSERT_EQ(job[3], launch.home + "/.halvenix/server.log") << "case " << i;

        const auto seen = splitOnNul(rawOutput(job[0], {job[1], job[2]}));
        const auto& values = launch.values;
        const std::vector<std::string> expected{launch.resources + "/halvenix-server",
                                                values.provision.deviceID,
                                                values.jwtSecret,
                                                values.provision.serverToken,
                                                values.provision.clientToken,
                                                values.relayURL,
                                                "8765",
                                                values.allowedPath};
        ASSERT_EQ(seen, expected) << "case " << i << ", home " << launch.home << ", resources " << launch.resources;
        ++reached;
    }
    std::cout << "property list round trips: " << reached << "\n";
    RecordProperty("plist_round_trips", reached);
}
