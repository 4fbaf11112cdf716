#pragma once

#include <stdexcept>

namespace kestrune {

// A reply body that could not be decoded, passed on beside KestruneError rather
// than wrapped in it. Its text is a plain sentence naming the member at fault,
// ready for the alert, and quotes nothing of the reply.
class JsonDecodingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace kestrune
