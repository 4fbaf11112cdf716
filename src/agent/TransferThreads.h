#pragma once

#include <functional>

namespace kestrune {

// Runs `task` on a thread of its own, reusing a thread that finished an earlier
// task when one is idle. A task never waits for another: when none is idle, a new
// thread starts. Idle threads end after a while, so a quiet app holds none.
void runOnTransferThread(std::function<void()> task);

} // namespace kestrune
