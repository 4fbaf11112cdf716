// Stand-in for the bundled background agent: reads its configuration from the
// environment, answers a health probe on loopback, and prints a pairing QR code.

#include <httplib.h>
#include <qrencode.h>
#include <sys/socket.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr const char* programName = "halvenix-server";

struct Settings {
    std::string deviceID;
    std::string jwtSecret;
    std::string relayServerToken;
    std::string relayClientToken;
    std::string relayURL;
    int port = 0;
    std::string allowedPaths;
};

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", programName, message.c_str());
    std::exit(1);
}

std::string requiredVariable(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        fail(std::string(name) + " is not set");
    }
    return value;
}

bool isLowerHex(std::string_view text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::optional<int> parsePort(std::string_view text)
{
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) {
        return std::nullopt;
    }
    return value;
}

// Checked in a fixed order so the message always names the first problem.
Settings readSettings()
{
    Settings settings;
    settings.deviceID = requiredVariable("HALVENIX_DEVICE_ID");
    settings.jwtSecret = requiredVariable("HALVENIX_JWT_SECRET");
    if (settings.jwtSecret.size() != 64 || !isLowerHex(settings.jwtSecret)) {
        fail("HALVENIX_JWT_SECRET must be 64 lower-case hexadecimal digits");
    }
    settings.relayServerToken = requiredVariable("HALVENIX_RELAY_SERVER_TOKEN");
    settings.relayClientToken = requiredVariable("HALVENIX_RELAY_CLIENT_TOKEN");
    settings.relayURL = requiredVariable("HALVENIX_RELAY_URL");
    const std::string portText = requiredVariable("HALVENIX_PORT");
    const std::optional<int> port = parsePort(portText);
    if (!port) {
        fail("HALVENIX_PORT must be a port number from 1 to 65535, got '" + portText + "'");
    }
    settings.port = *port;
    settings.allowedPaths = requiredVariable("HALVENIX_ALLOWED_PATHS");
    if (settings.allowedPaths.front() != '/') {
        fail("HALVENIX_ALLOWED_PATHS must be an absolute path");
    }
    return settings;
}

std::string percentEncode(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')
            || (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~';
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string pairingPayload(const Settings& settings)
{
    return "halvenix-pair:v1?device=" + percentEncode(settings.deviceID)
        + "&token=" + percentEncode(settings.relayClientToken)
        + "&relay=" + percentEncode(settings.relayURL);
}

// Dark modules are drawn as blocks and light ones as spaces, which is the right
// polarity on a light background; scanners also read the inverted picture a dark
// terminal shows. Two module rows make one text line.
std::string renderQR(const QRcode& code)
{
    constexpr int quietZone = 4;
    const int width = code.width;
    const int size = width + 2 * quietZone;
    const auto dark = [&](int row, int column) {
        const int y = row - quietZone;
        const int x = column - quietZone;
        if (x < 0 || y < 0 || x >= width || y >= width) {
            return false;
        }
        return (code.data[y * width + x] & 1) != 0;
    };
    std::string text;
    for (int row = 0; row < size; row += 2) {
        for (int column = 0; column < size; ++column) {
            const bool top = dark(row, column);
            const bool bottom = dark(row + 1, column);
            text += top ? (bottom ? "█" : "▀") : (bottom ? "▄" : " ");
        }
        text += '\n';
    }
    return text;
}

int printQR(const Settings& settings)
{
    const std::string payload = pairingPayload(settings);
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString(payload.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1), &QRcode_free);
    if (!code) {
        fail("could not encode the pairing code");
    }
    std::fputs(renderQR(*code).c_str(), stdout);
    std::fputs("\nScan this code with the Halvenix app to pair this machine.\n", stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int serve(const Settings& settings)
{
    // Blocked before any thread starts, so only the waiter below ever takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    // The library's default adds SO_REUSEPORT, which would let a second agent
    // share the port silently instead of failing.
    server.set_socket_options([](socket_t socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    server.Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("ok\n", "text/plain");
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        response.set_content(response.status == 404 ? "not found\n" : "error\n", "text/plain");
    });
    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
        std::printf("%s %s %d\n", request.method.c_str(), request.path.c_str(), response.status);
        std::fflush(stdout);
    });

    if (!server.bind_to_port("127.0.0.1", settings.port)) {
        fail("cannot listen on 127.0.0.1:" + std::to_string(settings.port) + " (port in use?)");
    }
    std::printf("halvenix-server stand-in listening on 127.0.0.1:%d for device %s\n", settings.port,
                settings.deviceID.c_str());
    std::fflush(stdout);

    std::atomic<bool> stoppedBySignal = false;
    std::thread waiter([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        stoppedBySignal = true;
        server.stop();
    });
    const bool listened = server.listen_after_bind();
    if (!stoppedBySignal) {
        pthread_kill(waiter.native_handle(), SIGTERM); // lets the waiter finish
    }
    waiter.join();
    if (!stoppedBySignal || !listened) {
        std::fprintf(stderr, "%s: the server stopped unexpectedly\n", programName);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (argc > 2 || (argc == 2 && mode != "--print-qr")) {
        std::fprintf(stderr, "usage: %s [--print-qr]\n", programName);
        return 2;
    }
    const Settings settings = readSettings();
    return mode == "--print-qr" ? printQR(settings) : serve(settings);
}
