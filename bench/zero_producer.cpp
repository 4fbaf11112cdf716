// Writes the given number of zero bytes to standard output in large writes, so a
// reader, not the producer, sets the pace of the pipe.

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 2;
    }
    unsigned long long remaining = std::strtoull(argv[1], nullptr, 10);
    const std::vector<char> block(1 << 20, '\0');
    while (remaining > 0) {
        const std::size_t chunk = remaining < block.size() ? static_cast<std::size_t>(remaining) : block.size();
        const ssize_t written = ::write(STDOUT_FILENO, block.data(), chunk);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 1;
        }
        remaining -= static_cast<unsigned long long>(written);
    }
    return 0;
}
