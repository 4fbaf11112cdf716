#include "support/OutputAccumulator.h"

#include <unistd.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstdint>

namespace kestrune {

namespace {

constexpr std::size_t firstBlockSize = 64 * 1024; // most outputs fit: one small allocation
constexpr std::size_t largestBlockSize = 16 * 1024 * 1024;

// Large buffers are filled once, front to back: backing them with huge pages
// saves hundreds of page faults per megabyte. Only whole aligned pages inside the
// buffer are advised; where the system has no such advice this does nothing.
void preferHugePages([[maybe_unused]] char* bytes, [[maybe_unused]] std::size_t length)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t hugePage = 2 * 1024 * 1024;
    const auto begin = (reinterpret_cast<std::uintptr_t>(bytes) + hugePage - 1) & ~(hugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(bytes) + length) & ~(hugePage - 1);
    if (end > begin) {
        // Advice only: memory that stays in small pages is still correct.
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
}

} // namespace

OutputAccumulator::Block& OutputAccumulator::blockWithRoom()
{
    if (blocks_.empty() || blocks_.back().used == blocks_.back().capacity) {
        const std::size_t capacity =
            blocks_.empty() ? firstBlockSize : std::min(blocks_.back().capacity * 2, largestBlockSize);
        Block block;
        block.bytes.reset(new char[capacity]); // not value-initialised: read() fills it
        block.capacity = capacity;
        preferHugePages(block.bytes.get(), capacity);
        blocks_.push_back(std::move(block));
    }
    return blocks_.back();
}

ssize_t OutputAccumulator::readFrom(int descriptor)
{
    Block& block = blockWithRoom();
    const ssize_t got = ::read(descriptor, block.bytes.get() + block.used, block.capacity - block.used);
    if (got > 0) {
        block.used += static_cast<std::size_t>(got);
        size_ += static_cast<std::size_t>(got);
    }
    return got;
}

std::string OutputAccumulator::take()
{
    std::string joined;
    joined.reserve(size_);
    preferHugePages(joined.data(), size_);
    for (Block& block : blocks_) {
        joined.append(block.bytes.get(), block.used);
        block.bytes.reset(); // at most one block's worth more than the output at any time
    }
    blocks_.clear();
    size_ = 0;
    return joined;
}

} // namespace kestrune
