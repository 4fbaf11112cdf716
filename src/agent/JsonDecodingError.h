#pragma once

#include <stdexcept>

namespace kestrune {

// A reply body that could not be decoded: the decoder's own failure, passed on
// beside KestruneError rather than wrapped in it.
class JsonDecodingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace kestrune
