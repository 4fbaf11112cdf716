#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace kestrune::testkit {

// A fresh directory under the system's temporary folder, removed with its contents.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
// A `#!/bin/sh` script with the given body, mode 0755.
inline void writeScript(const std::string& path, const std::string& body)
{
    writeFile(path, "#!/bin/sh\n" + body, 0755);
}
inline mode_t fileMode(const std::string& path)
{
    return static_cast<mode_t>(std::filesystem::symlink_status(path).permissions());
}

} // namespace kestrune::testkit
