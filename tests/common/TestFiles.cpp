#include "common/TestFiles.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kestrune::testkit {

TemporaryDirectory::TemporaryDirectory()
    : path_(std::filesystem::temp_directory_path().string() + "/kestrune-test-XXXXXX")
{
    if (::mkdtemp(path_.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

void writeFile(const std::string& path, const std::string& content, mode_t mode)
{
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << content)) {
        throw std::runtime_error("cannot write " + path);
    }
    ::chmod(path.c_str(), mode);
}

} // namespace kestrune::testkit
