#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <string>

namespace kestrune {

// Collects a stream's bytes into one string, a read at a time.
class OutputAccumulator {
  public:
    // One read() into the buffer, appended to what came before; returns what read()
    // returned (errno is left as read() set it).
    ssize_t readFrom(int descriptor);

    std::size_t size() const { return bytes_.size(); }

    // The bytes collected so far, in order; leaves the accumulator empty.
    std::string take();

  private:
    std::string bytes_;
    std::array<char, std::size_t{64} * 1024> buffer_; // one pipe's worth: a read rarely returns more
};

} // namespace kestrune
