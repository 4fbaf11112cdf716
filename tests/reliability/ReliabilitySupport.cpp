#include "ReliabilitySupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace kestrune::reliability {

namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void closeIfOpen(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

ChildProcess::ChildProcess(const std::string& executable, const std::vector<std::string>& arguments, bool pipedInput)
{
    std::array<int, 2> output{-1, -1};
    std::array<int, 2> input{-1, -1};
    if (::pipe2(output.data(), O_CLOEXEC) != 0 || (pipedInput && ::pipe2(input.data(), O_CLOEXEC) != 0)) {
        fail("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipedInput) {
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(executable.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const int result = posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    output_ = output[0];
    if (pipedInput) {
        ::close(input[0]);
        input_ = input[1];
    }
    if (result != 0) {
        closeIfOpen(output_);
        closeIfOpen(input_);
        errno = result;
        fail("spawn " + executable);
    }
}

ChildProcess::~ChildProcess()
{
    closeIfOpen(input_);
    if (!reaped_) {
        kill();
        wait();
    }
    closeIfOpen(output_);
}

int ChildProcess::readByte()
{
    unsigned char byte = 0;
    for (;;) {
        const ssize_t got = ::read(output_, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got == 0 || errno != EINTR) {
            return -1;
        }
    }
}

std::string ChildProcess::readAll()
{
    std::string text;
    std::array<char, 65536> buffer{};
    for (;;) {
        const ssize_t got = ::read(output_, buffer.data(), buffer.size());
        if (got > 0) {
            text.append(buffer.data(), static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            return text;
        }
    }
}

void ChildProcess::closeInput()
{
    closeIfOpen(input_);
}

void ChildProcess::kill()
{
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
    }
}

int ChildProcess::wait()
{
    while (!reaped_) {
        if (::waitpid(pid_, &status_, 0) == pid_) {
            reaped_ = true;
        } else if (errno != EINTR) {
            fail("waitpid");
        }
    }
    return status_;
}

std::string rawOutput(const std::string& executable, const std::vector<std::string>& arguments)
{
    ChildProcess child(executable, arguments);
    std::string output = child.readAll();
    const int status = child.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << executable << " ended with status " << status;
    return output;
}

std::vector<std::string> splitOnNul(const std::string& text)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start < text.size()) {
        auto end = text.find('\0', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string helperPath(const char* name)
{
    std::array<char, 4096> buffer{};
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) {
        fail("readlink /proc/self/exe");
    }
    std::string path(buffer.data(), static_cast<std::size_t>(length));
    return path.substr(0, path.find_last_of('/') + 1) + name;
}

int openDescriptorCount()
{
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) {
        fail("opendir /proc/self/fd");
    }
    int count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(directory);
    return count - 1;
}

long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    throw std::runtime_error("no VmHWM in /proc/self/status");
}

void resetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

RawServer::RawServer(Behaviour behaviour) : behaviour_(std::move(behaviour))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    stopEvent_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { serve(); });
}

RawServer::~RawServer()
{
    const std::uint64_t one = 1;
    (void)!::write(stopEvent_, &one, sizeof one);
    thread_.join();
    ::close(listener_);
    ::close(stopEvent_);
}

std::string RawServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void RawServer::serve()
{
    for (;;) {
        std::array<pollfd, 2> watched{pollfd{listener_, POLLIN, 0}, pollfd{stopEvent_, POLLIN, 0}};
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            continue;
        }
        if (watched[1].revents != 0) {
            return;
        }
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        ++connections_;
        behaviour_(connection, *this);
        ::close(connection);
    }
}

bool RawServer::idle(int connection, int milliseconds) const
{
    std::array<pollfd, 2> watched{pollfd{connection, POLLRDHUP, 0}, pollfd{stopEvent_, POLLIN, 0}};
    const int ready = ::poll(watched.data(), watched.size(), milliseconds);
    return ready == 0;
}

void readRequestHead(int connection)
{
    std::string head;
    std::array<char, 4096> buffer{};
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(connection, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            return;
        }
        head.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

bool sendAll(int connection, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void resetOnClose(int connection)
{
    const linger immediately{1, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
}

std::string httpReply(int status, const std::string& reason, const std::string& body, const std::string& extraHeaders)
{
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: application/json\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "Connection: close\r\n\r\n" +
           body;
}

void appendUtf8(std::string& text, char32_t codePoint)
{
    if (codePoint < 0x80) {
        text += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        text += static_cast<char>(0xC0 | (codePoint >> 6));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        text += static_cast<char>(0xE0 | (codePoint >> 12));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (codePoint >> 18));
        text += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

namespace {

// What quoting and escaping must get right: quotes, escapes, expansions, separators.
constexpr std::string_view specials = "'\"\\$`!*?[]{}()<>&;|~#%=^ \t\n";

} // namespace

std::string TextGenerator::anyBytes(std::size_t maxLength)
{
    const std::size_t length = std::uniform_int_distribution<std::size_t>(0, maxLength)(engine_);
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        if (engine_() % 4 == 0) {
            text += specials[engine_() % specials.size()];
        } else {
            text += static_cast<char>(1 + engine_() % 255);
        }
    }
    return text;
}

char32_t TextGenerator::codePoint(bool allowControls)
{
    for (;;) {
        char32_t c = 0;
        switch (engine_() % 5) {
        case 0:
            c = static_cast<unsigned char>(specials[engine_() % specials.size()]);
            break;
        case 1:
            c = static_cast<char32_t>(1 + engine_() % 0x7F);
            break;
        case 2:
            c = static_cast<char32_t>(0x80 + engine_() % (0x800 - 0x80));
            break;
        case 3:
            c = static_cast<char32_t>(0x800 + engine_() % (0x10000 - 0x800));
            break;
        default:
            c = static_cast<char32_t>(0x10000 + engine_() % (0x110000 - 0x10000));
            break;
        }
        const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
        const bool control = c < 0x20 && c != '\t' && c != '\n';
        const bool notXmlCharacter = c == 0xFFFE || c == 0xFFFF;
        if (!surrogate && (allowControls || (!control && !notXmlCharacter))) {
            return c;
        }
    }
}

std::string TextGenerator::utf8(std::size_t maxLength, bool allowControls)
{
    const std::size_t length = std::uniform_int_distribution<std::size_t>(0, maxLength)(engine_);
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        appendUtf8(text, codePoint(allowControls));
    }
    return text;
}

std::string TextGenerator::pathComponent(std::size_t maxLength)
{
    for (;;) {
        std::string text;
        const std::size_t length = std::uniform_int_distribution<std::size_t>(1, maxLength)(engine_);
        for (std::size_t i = 0; i < length; ++i) {
            const char32_t c = codePoint(false);
            if (c != '/') {
                appendUtf8(text, c);
            }
        }
        // "." and ".." name other folders; a component longer than NAME_MAX cannot exist.
        if (!text.empty() && text != "." && text != ".." && text.size() <= 255) {
            return text;
        }
    }
}

ScopedUmask::ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}

ScopedUmask::~ScopedUmask()
{
    ::umask(previous_);
}

} // namespace kestrune::reliability
