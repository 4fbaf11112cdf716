#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrune::testkit {

// A fresh directory under the system's temporary folder, removed with its contents.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    ~TemporaryDirectory();

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Sets the process's umask for its lifetime.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
// A `#!/bin/sh` script with the given body, mode 0755.
void writeScript(const std::string& path, const std::string& body);
mode_t fileMode(const std::string& path);
bool exists(const std::string& path);
std::vector<std::string> splitLines(const std::string& text);

// Runs `/bin/zsh -c script` with arguments and returns its standard output (the
// real reader of the files under test).
std::string zshOutput(const std::string& script, const std::vector<std::string>& arguments = {});

} // namespace kestrune::testkit
