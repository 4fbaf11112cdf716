#pragma once

#include <QLockFile>

#include <memory>

namespace kestrune::app {

// Keeps a second copy of the program from starting for the same user: two would
// show two icons and could both run first-time setup. The claim is a lock file in
// the user's runtime folder, held for as long as this object lives.
class SingleInstance {
  public:
    // Claims the user's instance; false when another live process holds it. A
    // claim left behind by a process that died is taken over.
    bool claim();

  private:
    std::unique_ptr<QLockFile> lock_;
};

} // namespace kestrune::app
