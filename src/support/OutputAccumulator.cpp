#include "support/OutputAccumulator.h"

#include <unistd.h>

#include <utility>

namespace kestrune {

ssize_t OutputAccumulator::readFrom(int descriptor)
{
    const ssize_t got = ::read(descriptor, buffer_.data(), buffer_.size());
    if (got > 0) {
        bytes_.append(buffer_.data(), static_cast<std::size_t>(got));
    }
    return got;
}

std::string OutputAccumulator::take()
{
    return std::exchange(bytes_, std::string());
}

} // namespace kestrune
