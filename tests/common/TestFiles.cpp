#include "common/TestFiles.h"

#include "support/ProcessRunner.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestrune::testkit {

TemporaryDirectory::TemporaryDirectory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrune-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content, mode_t mode)
{
    {
        std::ofstream stream(path, std::ios::binary | std::ios::trunc);
        stream << content;
        if (!stream) {
            throw std::runtime_error("cannot write " + path);
        }
    }
    ::chmod(path.c_str(), mode);
}

void writeScript(const std::string& path, const std::string& body)
{
    writeFile(path, "#!/bin/sh\n" + body, 0755);
}

mode_t fileMode(const std::string& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        throw std::runtime_error("cannot stat " + path);
    }
    return status.st_mode & 07777;
}

bool exists(const std::string& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string zshOutput(const std::string& script, const std::vector<std::string>& arguments)
{
    std::vector<std::string> all{"-c", script, "zsh"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return runProcess("/bin/zsh", all);
}

} // namespace kestrune::testkit
