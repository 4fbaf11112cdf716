#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kestrune {

// Collects a stream's bytes in blocks that never move, read straight from the
// descriptor, and joins them once at the end. Growing one string instead copies
// every byte again at each doubling, which made capturing a large output several
// times slower than reading it.
class OutputAccumulator {
  public:
    // One read() into the spare room of the newest block; returns what read()
    // returned (errno is left as read() set it).
    ssize_t readFrom(int descriptor);

    std::size_t size() const { return size_; }

    // The bytes collected so far, in order; leaves the accumulator empty.
    std::string take();

  private:
    struct Block {
        std::unique_ptr<char[]> bytes;
        std::size_t capacity = 0;
        std::size_t used = 0;
    };

    Block& blockWithRoom();

    std::vector<Block> blocks_;
    std::size_t size_ = 0;
};

} // namespace kestrune
