#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace kestrune::testkit {

// A fresh directory under the system's temporary folder, removed with its contents.
class TemporaryDirectory {
  public:
    TemporaryDirectory()
    {
        if (::mkdtemp(path_.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_ = std::filesystem::temp_directory_path().string() + "/kestrune-test-XXXXXX";
};

inline std::string readFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(stream), {}};
}

inline void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644)
{
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << content)) {
        throw std::runtime_error("cannot write " + path);
    }
    ::chmod(path.c_str(), mode);
}

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
